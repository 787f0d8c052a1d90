// CONNECT tunnel and its error page.
#include <cstring>

#include "kelhttp.h"
#include "kelhttpe.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_ssl";
// The bare status line that opens a tunnel.
constexpr char kEstablished[] = "HTTP/1.1 200 OK\r\n\r\n";
}

extern "C" int32_t ssl_tunnel(uint32_t sd, const char *hote, int32_t port) {
    if (hote == nullptr) {
        KEL_DIAG();
        return -1;
    }
    int32_t failure = 0;
    uint32_t target =
        kelnet_connecter_nom(hote, kel::server::port_to_network(static_cast<uint16_t>(port)), &failure);
    if (target == KELNET_INVALIDE && failure == -2) {
        KEL_DIAG();
        kel::diag::err_printf("Resolution de '%s' impossible", hote);
        return -2;
    }
    if (target == KELNET_INVALIDE) {
        KEL_DIAG();
        kel::diag::err_printf("Connexion a '%s' impossible", hote);
        return -3;
    }
    kelHttpEntete *reply = kelHttpE_cree_vide();
    if (reply == nullptr) {
        KEL_DIAG();
        kelnet_fermer(target);
        return -1;
    }
    if (kelHttpE_remplit_reponse(reply, 200, "HTTP/1.1") < 0) {
        kelHttpE_detruit(&reply);
        kelnet_fermer(target);
        return -1;
    }
    int32_t sent = kelHttpE_en_net(sd, reply, 0);
    kelHttpE_detruit(&reply);
    if (sent < 0) {
        kelnet_fermer(target);
        return -1;
    }
    kel::server::note_reply(200, sizeof kEstablished - 1);
    // Bytes the client sent behind its header are still in the socket and
    // reach the target first.
    const int32_t relayed = kelnet_redir2(sd, target);
    kel::server::note_relay(/*origin_first=*/false, kel::server::Verdict::Tunnel);
    if (relayed == -1) {
        // The relay could not start and left both sockets open.
        kelnet_fermer(target);
        return 0;
    }
    kel::server::mark_client_closed();
    return 0;
}

extern "C" int32_t ssl_servir(uint32_t sd, kelHttpEntete *che) {
    // Nearly every advertising and tracking host is reached over HTTPS: a
    // listed one gets no tunnel at all.
    if (valdrin_host_mask_contient(che->hote) == 1) {
        http_erreur(sd, HTTP_BLOCKED_HOST);
        kel::server::note_verdict(kel::server::Verdict::Blocked);
        kel::server::Stats::instance().blocked(che->hote);
        kellog_log("CONNECT to %s:%d blocked: listed advertising or tracking host", che->hote, che->port);
        return 0;
    }
    int32_t result = ssl_tunnel(sd, che->hote, che->port);
    if (result == -2) {
        ssl_erreur(sd, SSL_RESOLVE_FAIL);
    } else if (result == -3) {
        ssl_erreur(sd, SSL_CONNECTION_REFUSED);
    } else if (result < 0) {
        ssl_erreur(sd, SSL_INTERNAL_ERROR);
    }
    return result;
}

extern "C" void ssl_erreur(uint32_t sd, ssl_Erreurs code) {
    kel::server::ErrorPage page = kel::server::error_page(code);
    kel::server::note_verdict(kel::server::Verdict::Error);
    if (kelHttp_envoie_str_E(sd, page.html, "text/html", page.status) < 0) KEL_DIAG();
    kel::server::note_reply(page.status,
                            kel::server::reply_bytes(page.status, "text/html", std::strlen(page.html)));
}
