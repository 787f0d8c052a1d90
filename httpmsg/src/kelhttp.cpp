// Message exchange helpers: whole responses on a socket, and a one-shot GET.
#include "kelhttp.h"
#include "kelhttp_reply.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kelchaine.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/netvec.h"
#include "kelplat/owned.h"

namespace kel::http {
namespace {

constexpr const char *kModule = "kelhttp";

using Owned = std::unique_ptr<char, FreeDeleter>;

struct RecordDeleter {
    void operator()(kelHttpEntete *p) const noexcept { kelHttpE_detruit(&p); }
};
using Record = std::unique_ptr<kelHttpEntete, RecordDeleter>;

// The connection a fetch opens; closed on every way out.
class Connection {
public:
    explicit Connection(uint32_t sd) : sd_(sd) {}
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    ~Connection() {
        if (sd_ != KELNET_INVALIDE) kelnet_fermer(sd_);
    }
    uint32_t sd() const { return sd_; }

private:
    uint32_t sd_;
};

uint16_t to_network_order(int32_t port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>((port >> 8) & 0xFF),
                                    static_cast<unsigned char>(port & 0xFF)};
    uint16_t value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool equals_ignoring_case(const char *a, const char *b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        char x = *a, y = *b;
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return *a == *b;
}

// Field names are case-insensitive on the wire, whatever the record's own
// lookups do.
const char *find_field_any_case(const kelHttpEntete *che, const char *name) {
    for (int32_t i = 0; i < che->param_nb && i < KEL_HE_MAX_PARAMS; ++i) {
        if (che->param[i] != nullptr && equals_ignoring_case(che->param[i], name))
            return che->param_val[i];
    }
    return nullptr;
}

}  // namespace

int64_t send_reply(uint32_t sd, const void *body, int32_t body_len, const char *content_type, int32_t code) {
    if (content_type == nullptr || body_len < 0 || (body == nullptr && body_len > 0)) {
        KEL_DIAG();
        return -1;
    }
    Record che(kelHttpE_cree_vide());
    if (!che || kelHttpE_remplit_reponse(che.get(), code, "HTTP/1.1") < 0) {
        KEL_DIAG();
        return -1;
    }
    const std::string length = std::to_string(body_len);
    if (kelHttpE_ajoute_param(che.get(), "Connection", "close") < 0 ||
        kelHttpE_ajoute_param(che.get(), "Content-Type", content_type) < 0 ||
        kelHttpE_ajoute_param(che.get(), "Content-Length", length.c_str()) < 0) {
        KEL_DIAG();
        return -1;
    }
    Owned header(kelHttpE_en_str(che.get(), 0));
    if (!header) {
        KEL_DIAG();
        return -1;
    }
    // Header and body leave in one write: a body sent on its own can wait
    // for the peer's delayed acknowledgement of the header. A failed send
    // has its diagnostic line and the caller closes the connection anyway.
    const kel::net::Chunk reply[2] = {{header.get(), std::strlen(header.get())},
                                      {body, static_cast<size_t>(body_len)}};
    if (!kel::net::send_gathered(sd, reply, body_len > 0 ? 2 : 1)) {
        KEL_DIAG_MSG("erreur a l'envoi : connexion fermee prematurement ?");
        return 0;
    }
    return static_cast<int64_t>(reply[0].len + reply[1].len);
}

namespace {

int32_t send_response(uint32_t sd, const void *body, int32_t body_len, const char *content_type, int32_t code) {
    return send_reply(sd, body, body_len, content_type, code) < 0 ? -1 : 0;
}

void print_exchange(const kelHttpEntete *request, const kelHttpEntete *response) {
    Owned said_by_server(kelHttpE_en_str(response, 0));
    if (said_by_server) kel::diag::out_printf("Le serveur a dit : \n%s", said_by_server.get());
    Owned said_by_us(kelHttpE_en_str(request, 0));
    if (said_by_us) kel::diag::out_printf("J'ai dit : \n%s", said_by_us.get());
}

int32_t fetch(char **content, char **content_type, const char *url, int32_t *length) {
    if (content == nullptr || url == nullptr) {
        KEL_DIAG();
        return -1;
    }
    Record request(kelHttpE_cree_vide());
    if (!request || kelHttpE_remplit_get(request.get(), url) < 0) {
        KEL_DIAG();
        return -1;
    }
    if (request->port != 80) {
        const std::string host = std::string(request->hote) + ":" + std::to_string(request->port);
        if (kelHttpE_ajoute_param(request.get(), "Host", host.c_str()) < 0) {
            KEL_DIAG();
            return -1;
        }
    }
    if (kelHttpE_ajoute_param(request.get(), "Connection", "close") < 0) {
        KEL_DIAG();
        return -1;
    }

    const uint32_t address = kelnet_resoudre_adresse(request->hote);
    if (address == KELNET_AUCUNE_ADRESSE) return -1;
    Connection origin(kelnet_connecter(address, to_network_order(request->port)));
    if (origin.sd() == KELNET_INVALIDE) {
        KEL_DIAG();
        return -1;
    }
    if (kelHttpE_en_net(origin.sd(), request.get(), 0) < 0) {
        KEL_DIAG();
        return -1;
    }
    Record response(kelHttpE_cree_net(origin.sd(), KEL_HE_REPONSE));
    if (!response) {
        KEL_DIAG();
        return -1;
    }
    if (response->code != 200) {
        print_exchange(request.get(), response.get());
        return -2;
    }

    Owned type_copy;
    if (content_type != nullptr) {
        if (const char *type = find_field_any_case(response.get(), "Content-Type")) {
            type_copy.reset(kelstr_cree(type));
            if (!type_copy) {
                KEL_DIAG();
                return -3;
            }
        }
    }

    // The body runs to the origin's close: that close is the one good end.
    char *received = nullptr;
    int32_t received_len = 0;
    const int32_t got = kelnet_recup(origin.sd(), &received, &received_len, 0, 1);
    Owned body(received);
    if (got != -2 || !body || received_len < 0) {
        KEL_DIAG();
        return -3;
    }
    // NUL behind the last byte; the body itself may hold NULs, hence the length.
    auto *terminated = static_cast<char *>(std::realloc(body.get(), static_cast<size_t>(received_len) + 1));
    if (terminated == nullptr) {
        KEL_DIAG();
        return -3;
    }
    body.release();
    body.reset(terminated);
    body.get()[received_len] = '\0';

    *content = body.release();
    if (length != nullptr) *length = received_len;
    if (content_type != nullptr) *content_type = type_copy.release();
    return 0;
}

}  // namespace
}  // namespace kel::http

using namespace kel::http;

extern "C" KELHTTP_API int32_t kelHttp_envoie_E(uint32_t sd, const void *ptr, int32_t ptr_len,
                                                const char *cs_cnt_type, int32_t i_code) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return send_response(sd, ptr, ptr_len, cs_cnt_type, i_code); });
}

extern "C" KELHTTP_API int32_t kelHttp_envoie_str_E(uint32_t sd, const char *str,
                                                    const char *cs_cnt_type, int32_t i_code) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (str == nullptr) {
            KEL_DIAG();
            return -1;
        }
        const size_t len = std::strlen(str);
        if (len > 0x7FFFFFFF) {
            KEL_DIAG();
            return -1;
        }
        return send_response(sd, str, static_cast<int32_t>(len), cs_cnt_type, i_code);
    });
}

extern "C" KELHTTP_API int32_t kelHttp_envoie_str(uint32_t sd, const char *str,
                                                  const char *cs_cnt_type) {
    return kelHttp_envoie_str_E(sd, str, cs_cnt_type, 200);
}

extern "C" KELHTTP_API int32_t kelHttp_recup_str(char **content, char **content_type,
                                                 const char *url, int32_t *longueur) {
    return kel::guard(__func__, int32_t{-1},
                      [&] { return fetch(content, content_type, url, longueur); });
}
