#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

const std::string kHead = "<HTML><HEAD><TITLE>Valdrin Proxy Server : Error</TITLE></HEAD><BODY>";
const std::string kFoot =
    "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>"
    "Valdrin Proxy Server r.1.1 - HTTP, FTP and CONNECT proxy for the local network"
    "</I></FONT></DIV></BODY></HTML>";

std::string reply(const std::string &status_line, const std::string &body) {
    std::string page = kHead + body + kFoot;
    return status_line + "\r\nConnection: close\r\nContent-Type: text/html\r\nContent-Length: " +
           std::to_string(page.size()) + "\r\n\r\n" + page;
}

struct Expected {
    int code;
    std::string status_line;
    std::string body;
};

const Expected kExpected[] = {
    {0, "HTTP/1.1 400 Bad Request",
     "<H1>Invalid request</H1>Your browser sent a request that could not be understood."},
    {1, "HTTP/1.1 405 Method Not Allowed",
     "<H1>Method not allowed</H1>The method specified by your browser is unsupported."},
    {2, "HTTP/1.1 403 Forbidden",
     "<H1>Not Allowed</H1>You are not allowed to connect on this server."},
    {3, "HTTP/1.1 503 Service Unavailable",
     "<H1>Connection refused</H1>The connection to the application server was refused."},
    {4, "HTTP/1.1 503 Service Unavailable",
     "<H1>Failed to resolve</H1>Impossible to resolve the requested hostname."},
    {5, "HTTP/1.1 500 Internal Server Error",
     "<H1>Error</H1>An error occured while retrieving the page."},
    {6, "HTTP/1.1 503 Service Unavailable",
     "<H1>Too many connections</H1>The proxy serves as many connections as it may; try again in "
     "a moment."},
    {7, "HTTP/1.1 403 Forbidden",
     "<H1>Blocked host</H1>The host you asked for is on the proxy's list of advertising and "
     "tracking hosts."},
    {8, "HTTP/1.1 404 Not Found", "<H1>Not found</H1>The proxy has no page at this address."},
    {9, "HTTP/1.1 400 Bad Request", "<H1>Error</H1>An error occured while retrieving the page."},
    {-1, "HTTP/1.1 400 Bad Request", "<H1>Error</H1>An error occured while retrieving the page."},
    {1000, "HTTP/1.1 400 Bad Request",
     "<H1>Error</H1>An error occured while retrieving the page."},
};

TEST(ErrorPage, HttpPagesAreExactOnTheWire) {
    for (const Expected &e : kExpected) {
        SocketPair pair;
        http_erreur(pair.proxy_side(), static_cast<http_Erreurs>(e.code));
        EXPECT_EQ(pair.read_all_from_proxy(), reply(e.status_line, e.body)) << "code " << e.code;
    }
}

TEST(ErrorPage, TunnelPagesAreTheSameBytes) {
    for (const Expected &e : kExpected) {
        SocketPair pair;
        ssl_erreur(pair.proxy_side(), static_cast<ssl_Erreurs>(e.code));
        EXPECT_EQ(pair.read_all_from_proxy(), reply(e.status_line, e.body)) << "code " << e.code;
    }
}

TEST(ErrorPage, LeavesTheConnectionOpen) {
    SocketPair pair;
    http_erreur(pair.proxy_side(), HTTP_NOT_ALLOWED);
    // The caller closes; the socket still takes more bytes.
    EXPECT_EQ(kel::net::send(pair.proxy_side(), "x", 1), 1);
    std::string all = pair.read_all_from_proxy();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.back(), 'x');
}

}  // namespace
}  // namespace kel::server::test
