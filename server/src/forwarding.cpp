// Plain HTTP forwarding: the origin's reply relayed, or the image for a
// listed host.
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "field_text.h"
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

// Hop-by-hop fields end at this hop (RFC 9110 §7.6.1): the client's
// Connection fields, the fields they name, Keep-Alive, Proxy-Connection,
// TE and Upgrade go, in whatever case they came. The first Connection
// field keeps its place, renamed as this hop writes it, for this hop's
// own value. Host and the framing fields stay whatever is named: the body
// is relayed as it came, so the origin must read it as the client sent it.
void drop_hop_by_hop(kelHttpEntete *che) {
    std::vector<std::string> named;
    for (int32_t i = 0; i < che->param_nb; ++i) {
        if (!equals_ignoring_case(che->param[i], "Connection") || che->param_val[i] == nullptr) continue;
        std::string_view rest = che->param_val[i];
        while (!rest.empty()) {
            const size_t comma = rest.find(',');
            const std::string_view token = trim_blanks(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (!token.empty()) named.emplace_back(token);
        }
    }
    auto hop_by_hop = [&](const char *name) {
        for (const char *kept : {"Host", "Content-Length", "Transfer-Encoding"})
            if (equals_ignoring_case(name, kept)) return false;
        for (const char *field : {"Keep-Alive", "Proxy-Connection", "TE", "Upgrade"})
            if (equals_ignoring_case(name, field)) return true;
        for (const std::string &n : named)
            if (equals_ignoring_case(name, n.c_str())) return true;
        return false;
    };
    bool connection_kept = false;
    int32_t kept = 0;
    for (int32_t i = 0; i < che->param_nb; ++i) {
        char *name = che->param[i];
        char *value = che->param_val[i];
        bool keep = !hop_by_hop(name);
        if (equals_ignoring_case(name, "Connection")) {
            keep = !connection_kept;
            if (keep && std::strcmp(name, "Connection") != 0) {
                if (char *renamed = ::strdup("Connection")) {
                    std::free(name);
                    name = renamed;
                } else {
                    keep = false;
                }
            }
            connection_kept = connection_kept || keep;
        }
        if (!keep) {
            std::free(name);
            std::free(value);
            continue;
        }
        che->param[kept] = name;
        che->param_val[kept] = value;
        ++kept;
    }
    for (int32_t i = kept; i < che->param_nb; ++i) che->param[i] = che->param_val[i] = nullptr;
    che->param_nb = kept;
}

// OPTIONS and TRACE with Max-Forwards stop at the proxy once it reaches 0
// and go on with it one lower (RFC 9110 §7.6.2). True when answered here.
bool answered_for_max_forwards(Connection &conn, kelHttpEntete *che) {
    if (!equals_ignoring_case(che->methode, "OPTIONS") && !equals_ignoring_case(che->methode, "TRACE")) return false;
    int32_t at = -1;
    for (int32_t i = 0; i < che->param_nb && at < 0; ++i)
        if (equals_ignoring_case(che->param[i], "Max-Forwards")) at = i;
    if (at < 0 || che->param_val[at] == nullptr) return false;
    // Digits alone; anything else is not a count and is passed on as it is.
    const std::string_view text = che->param_val[at];
    if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
    const long left = std::strtol(che->param_val[at], nullptr, 10);
    if (left > 0) {
        if (char *lower = ::strdup(std::to_string(left - 1).c_str())) {
            std::free(che->param_val[at]);
            che->param_val[at] = lower;
        }
        return false;
    }
    if (equals_ignoring_case(che->methode, "TRACE")) {
        // The message as it reached the last recipient, which is this one.
        char *echo = kelHttpE_en_str_requete(che, 1);
        if (echo == nullptr) return false;
        send_reply(conn, echo, static_cast<int32_t>(std::strlen(echo)), "message/http", 200);
        std::free(echo);
    } else {
        send_reply(conn, "", 0, "text/plain", 200);
    }
    conn.note_verdict(Verdict::Status);
    conn.close();
    return true;
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
    drop_hop_by_hop(che);
    if (answered_for_max_forwards(conn, che)) return 0;
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
