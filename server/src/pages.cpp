// Error pages, and the answers to connections refused on accept.
#include "pages.h"

#include <cstring>
#include <string>

#include "kelhttp.h"
#include "kelhttp_reply.hpp"
#include "kellog.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

#define VALDRIN_PAGE_HEAD "<HTML><HEAD><TITLE>Valdrin Proxy Server : Error</TITLE></HEAD><BODY>"
#define VALDRIN_PAGE_FOOT                                                           \
    "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>"                                \
    "Valdrin Proxy Server r.1.1 - HTTP, FTP and CONNECT proxy for the local network" \
    "</I></FONT></DIV></BODY></HTML>"
#define VALDRIN_PAGE(body) VALDRIN_PAGE_HEAD body VALDRIN_PAGE_FOOT

constexpr ErrorPage kPages[] = {
    {VALDRIN_PAGE("<H1>Invalid request</H1>Your browser sent a request that could not be "
                  "understood."),
     400},
    {VALDRIN_PAGE("<H1>Method not allowed</H1>The method specified by your browser is "
                  "unsupported."),
     405},
    {VALDRIN_PAGE("<H1>Not Allowed</H1>You are not allowed to connect on this server."), 403},
    {VALDRIN_PAGE("<H1>Connection refused</H1>The connection to the application server was "
                  "refused."),
     503},
    {VALDRIN_PAGE("<H1>Failed to resolve</H1>Impossible to resolve the requested hostname."), 503},
    {VALDRIN_PAGE("<H1>Error</H1>An error occured while retrieving the page."), 500},
    {VALDRIN_PAGE("<H1>Too many connections</H1>The proxy serves as many connections as it "
                  "may; try again in a moment."),
     503},
    {VALDRIN_PAGE("<H1>Blocked host</H1>The host you asked for is on the proxy's list of "
                  "advertising and tracking hosts."),
     403},
    {VALDRIN_PAGE("<H1>Not found</H1>The proxy has no page at this address."), 404},
};
constexpr ErrorPage kUnknownCodePage = {kPages[5].html, 400};

// Answers a connection on the listener's thread, before anything is read
// from it: a new socket's send buffer takes the whole page, so this never
// waits. Counted and logged at once.
std::string refuse_on_accept(uint32_t sd, const kelnet_sockaddr &sock_dist, http_Erreurs code, Verdict verdict) {
    Connection conn(sd, client_address(sock_dist), current_config());
    // The listener closes the socket itself.
    conn.handed_off();
    const ErrorPage page = error_page(code);
    send_reply(conn, page.html, static_cast<int32_t>(std::strlen(page.html)), "text/html", page.status);
    conn.note_verdict(verdict);
    return conn.exchange().client;
}

int32_t limit_in_force(int32_t Limits::*which) {
    const auto config = current_config();
    return config != nullptr ? config->http.limits.*which : 0;
}

}  // namespace

ErrorPage error_page(int code) {
    if (code < 0 || code >= static_cast<int>(std::size(kPages))) return kUnknownCodePage;
    return kPages[code];
}

http_Erreurs ftp_failure_page(CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return HTTP_RESOLVE_FAIL;
        case CURLE_COULDNT_CONNECT:
            return HTTP_CONNECTION_REFUSED;
        default:
            return HTTP_INTERNAL_ERROR;
    }
}

void send_reply(Connection &conn, const void *body, int32_t length, const char *content_type, int32_t status) {
    const int64_t sent = kel::http::send_reply(conn.sd(), body, length, content_type, status);
    if (sent < 0) {
        KEL_DIAG();
        return;
    }
    conn.note_reply(status, static_cast<uint64_t>(sent));
}

void send_error_page(Connection &conn, int code) {
    const ErrorPage page = error_page(code);
    conn.note_verdict(Verdict::Error);
    if (kelnet_est_connecte(conn.sd()) != 1) return;
    send_reply(conn, page.html, static_cast<int32_t>(std::strlen(page.html)), "text/html", page.status);
}

}  // namespace kel::server

extern "C" void http_erreur(uint32_t sd, http_Erreurs code) {
    auto conn = kel::server::Connection::borrowed(sd);
    kel::server::send_error_page(conn, code);
}

extern "C" void ssl_erreur(uint32_t sd, ssl_Erreurs code) {
    auto conn = kel::server::Connection::borrowed(sd);
    kel::server::send_error_page(conn, code);
}

extern "C" void http_trop_de_clients(uint32_t sd, kelnet_sockaddr sock_dist) {
    kel::guard_void(__func__, [&] {
        const std::string address =
            kel::server::refuse_on_accept(sd, sock_dist, HTTP_TROP_DE_CLIENTS, kel::server::Verdict::TooMany);
        kellog_log("Connection from %s refused: too many connections (HTTPMaxClients %d)", address.c_str(),
                   kel::server::limit_in_force(&kel::server::Limits::max_clients));
    });
}

extern "C" void http_trop_en_attente(uint32_t sd, kelnet_sockaddr sock_dist) {
    kel::guard_void(__func__, [&] {
        const std::string address =
            kel::server::refuse_on_accept(sd, sock_dist, HTTP_TROP_DE_CLIENTS, kel::server::Verdict::TooMany);
        kellog_log("Connection from %s refused: too many connections waiting for their request "
                   "(HTTPMaxWaiting %d)",
                   address.c_str(), kel::server::limit_in_force(&kel::server::Limits::max_waiting));
    });
}

extern "C" int32_t http_admet(uint32_t sd, kelnet_sockaddr sock_dist) {
    return kel::guard(__func__, int32_t{0}, [&]() -> int32_t {
        if (kel::server::client_allowed(kel::server::client_address(sock_dist))) return 1;
        const std::string address =
            kel::server::refuse_on_accept(sd, sock_dist, HTTP_NOT_ALLOWED, kel::server::Verdict::Refused);
        kel::server::Stats::instance().refused(address);
        kellog_log("Connection from %s refused (HTTP/FTP)", address.c_str());
        return 0;
    });
}
