// The connection thread: the request head read once, then dispatched by
// method and scheme.
#include <cstdlib>
#include <memory>

#include "handlers.h"
#include "kelhttpe.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "pages.h"
#include "request_framing.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

using Record = std::unique_ptr<kelHttpEntete, void (*)(kelHttpEntete *)>;

void destroy_record(kelHttpEntete *che) { kelHttpE_detruit(&che); }

// The request head from the client, read once: it is noted for the log,
// checked for framing and made into the record dispatch acts on, its target
// made plain ASCII. Null when none arrived, it did not parse, or its
// framing is ambiguous.
Record read_request(Connection &conn) {
    char *received = nullptr;
    const int32_t got = kelnet_recup_entete(conn.sd(), &received);
    std::unique_ptr<char, void (*)(void *)> text(received, &std::free);
    Record none(nullptr, destroy_record);
    if (!text) return none;
    RequestHead head;
    const char *fault = parse_request_head(text.get(), &head);
    conn.note_head(head);
    if (got < 0) return none;
    if (fault != nullptr) {
        kel::diag::message(fault, kModule, __LINE__);
        return none;
    }
    Record che(request_record(head), destroy_record);
    if (che != nullptr && !encode_target_non_ascii(che.get())) {
        KEL_DIAG();
        che.reset();
    }
    return che;
}

int32_t refuse_method(Connection &conn, const kelHttpEntete *che, http_Erreurs page) {
    send_error_page(conn, page);
    conn.close();
    kellog_log("Unsupported method %s", che->methode);
    return -1;
}

bool is_one_of(const char *method, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        if (equals_ignoring_case(method, name)) return true;
    }
    return false;
}

}  // namespace

int32_t serve_request(Connection &conn, CURL *curl) {
    Record che = read_request(conn);
    if (che == nullptr) {
        send_error_page(conn, HTTP_REQUETE_INVALIDE);
        conn.close();
        return -1;
    }
    const char *method = che->methode;
    int32_t result;
    if (equals_ignoring_case(method, "GET") && is_status_request(conn, che.get())) {
        serve_status(conn, che.get());
        conn.close();
        result = 0;
    } else if (equals_ignoring_case(method, "GET")) {
        if (equals_ignoring_case(che->protocole, "HTTP")) {
            result = forward_get(conn, che.get());
        } else if (equals_ignoring_case(che->protocole, "FTP")) {
            result = fetch_ftp(conn, che.get(), curl);
        } else {
            result = refuse_method(conn, che.get(), HTTP_REQUETE_INVALIDE);
        }
    } else if (is_one_of(method, {"POST", "PUT"})) {
        result = forward(conn, che.get());
    } else if (equals_ignoring_case(method, "CONNECT")) {
        serve_connect(conn, che.get());
        result = 0;
    } else if (is_one_of(method, {"PROPFIND", "PROPPATCH", "LOCK", "UNLOCK", "MOVE", "COPY", "MKCOL", "TRACE",
                                  "OPTIONS", "HEAD"})) {
        result = forward(conn, che.get());
    } else {
        result = refuse_method(conn, che.get(), HTTP_METHOD_NOT_ALLOWED);
    }
    if (result < 0) {
        KEL_DIAG();
        return -1;
    }
    return 0;
}

}  // namespace kel::server

extern "C" void http_servir(void *params) {
    kel::guard_void(__func__, [params] {
        if (params == nullptr) {
            KEL_DIAG();
            return;
        }
        auto *record = static_cast<kelnet_params *>(params);
        const uint32_t sd = record->sd;
        const kelnet_sockaddr sock_dist = record->sock_dist;
        std::free(record);
        // The snapshot this connection keeps to its end.
        kel::server::Connection conn(sd, kel::server::client_address(sock_dist), kel::server::current_config());
        kel::server::Stats::instance().opened(kelnet_nb_clients());
        // Admission checked the allow-list on accept; a reload since then
        // may have taken the client off it, and the snapshot taken here is
        // the one that decides.
        if (!kel::server::allows(conn.config().allowed, conn.peer())) {
            kel::server::send_error_page(conn, HTTP_NOT_ALLOWED);
            conn.note_verdict(kel::server::Verdict::Refused);
            conn.close();
            kel::server::Stats::instance().refused(conn.exchange().client);
            kellog_log("Connection from %s refused (HTTP/FTP)", conn.exchange().client.c_str());
            return;
        }
        // Only FTP needs a libcurl handle; its handler makes one.
        kel::server::serve_request(conn, nullptr);
    });
}

extern "C" int32_t http_traite(uint32_t sd, kelnet_sockaddr, CURL *curl) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::serve_request(conn, curl);
}
