// Plain HTTP forwarding: the origin's reply relayed, or the image for a
// listed host.
#include "handlers.h"
#include "kelnet.h"
#include "pages.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace kel::server {

namespace {

bool is_blocked(const Connection &conn, const char *host) {
    const auto &list = conn.config().blocked;
    return host != nullptr && host[0] != '\0' && list != nullptr && list->blocks(host);
}

}  // namespace

int32_t forward_get(Connection &conn, kelHttpEntete *che) {
    if (is_blocked(conn, che->hote)) {
        Stats::instance().blocked(che->hote);
        send_ad_image(conn);
        conn.close();
        return 0;
    }
    return forward(conn, che);
}

int32_t send_ad_image(Connection &conn) {
    // The snapshot holds the image for as long as the connection lives.
    const auto &image = conn.config().image;
    if (image == nullptr) return -1;
    send_reply(conn, image->bytes, image->length, "image/gif", 200);
    conn.note_verdict(Verdict::AdImage);
    return 0;
}

int32_t forward(Connection &conn, kelHttpEntete *che) {
    // The origin closes after one reply, and that close ends the relay.
    if (kelHttpE_ajoute_param(che, "Connection", "close") < 0) {
        send_error_page(conn, HTTP_INTERNAL_ERROR);
        conn.close();
        return -1;
    }
    // Every address of the name, of both families, raced as careful clients do.
    int32_t failure = 0;
    const uint32_t server =
        kelnet_connecter_nom(che->hote, port_to_network(static_cast<uint16_t>(che->port)), &failure);
    if (server == KELNET_INVALIDE) {
        send_error_page(conn, failure == -2 ? HTTP_RESOLVE_FAIL : HTTP_CONNECTION_REFUSED);
        conn.close();
        return -1;
    }
    if (kelHttpE_en_net(server, che, 0) < 0) {
        kelnet_fermer(server);
        send_error_page(conn, HTTP_CONNECTION_REFUSED);
        conn.close();
        return -1;
    }
    const int32_t relayed = kelnet_redir2(server, conn.sd());
    conn.note_relay(/*origin_first=*/true, Verdict::Forwarded);
    if (relayed == -1) {
        // The relay could not start and left both sockets open.
        kelnet_fermer(server);
        return 0;
    }
    conn.handed_off();
    return 0;
}

}  // namespace kel::server

extern "C" int32_t http_traite_get_http(uint32_t sd, kelHttpEntete *che, CURL *) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::forward_get(conn, che);
}

extern "C" int32_t http_ad_domain(uint32_t sd) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::send_ad_image(conn);
}

extern "C" int32_t http_traite_tunnel(uint32_t sd, kelHttpEntete *che, CURL *) {
    auto conn = kel::server::Connection::borrowed(sd);
    return kel::server::forward(conn, che);
}
