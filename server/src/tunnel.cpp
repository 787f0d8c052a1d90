// CONNECT tunnel and its error page.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "handlers.h"
#include "kelhttpe.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "pages.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_ssl";
}

namespace kel::server {

int32_t open_tunnel(Connection &conn, const char *host, int32_t port) {
    if (host == nullptr) {
        KEL_DIAG();
        return -1;
    }
    int32_t failure = 0;
    const uint32_t target = kelnet_connecter_nom(host, port_to_network(static_cast<uint16_t>(port)), &failure);
    if (target == KELNET_INVALIDE && failure == -2) {
        KEL_DIAG();
        kel::diag::err_printf("Resolution de '%s' impossible", host);
        return -2;
    }
    if (target == KELNET_INVALIDE) {
        KEL_DIAG();
        kel::diag::err_printf("Connexion a '%s' impossible", host);
        return -3;
    }
    // The bare status line, as the message library writes it.
    std::unique_ptr<kelHttpEntete, void (*)(kelHttpEntete *)> reply(kelHttpE_cree_vide(),
                                                                     [](kelHttpEntete *r) { kelHttpE_detruit(&r); });
    std::unique_ptr<char, void (*)(void *)> text(nullptr, &std::free);
    if (reply != nullptr && kelHttpE_remplit_reponse(reply.get(), 200, "HTTP/1.1") == 0)
        text.reset(kelHttpE_en_str(reply.get(), 0));
    if (text == nullptr) {
        KEL_DIAG();
        kelnet_fermer(target);
        return -1;
    }
    const size_t length = std::strlen(text.get());
    if (kelnet_envoie(conn.sd(), text.get(), static_cast<int32_t>(length)) < 0) {
        kelnet_fermer(target);
        return -1;
    }
    conn.note_reply(200, length);
    // Bytes the client sent behind its header are still in the socket and
    // reach the target first.
    const int32_t relayed = kelnet_redir2(conn.sd(), target);
    conn.note_relay(/*origin_first=*/false, Verdict::Tunnel);
    if (relayed == -1) {
        // The relay could not start and left both sockets open.
        kelnet_fermer(target);
        return 0;
    }
    conn.handed_off();
    return 0;
}

int32_t serve_connect(Connection &conn, kelHttpEntete *che) {
    // Nearly every advertising and tracking host is reached over HTTPS: a
    // listed one gets no tunnel at all.
    const auto &blocked = conn.config().blocked;
    if (che->hote != nullptr && che->hote[0] != '\0' && blocked != nullptr && blocked->blocks(che->hote)) {
        send_error_page(conn, HTTP_BLOCKED_HOST);
        conn.note_verdict(Verdict::Blocked);
        Stats::instance().blocked(che->hote);
        kellog_log("CONNECT to %s:%d blocked: listed advertising or tracking host", che->hote, che->port);
        return 0;
    }
    const int32_t result = open_tunnel(conn, che->hote, che->port);
    if (result == -2) {
        send_error_page(conn, SSL_RESOLVE_FAIL);
    } else if (result == -3) {
        send_error_page(conn, SSL_CONNECTION_REFUSED);
    } else if (result < 0) {
        send_error_page(conn, SSL_INTERNAL_ERROR);
    }
    return result;
}

}  // namespace kel::server

extern "C" int32_t ssl_tunnel(uint32_t sd, const char *hote, int32_t port) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::open_tunnel(conn, hote, port);
}

extern "C" int32_t ssl_servir(uint32_t sd, kelHttpEntete *che) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::serve_connect(conn, che);
}
