// Plain HTTP forwarding: what the origin receives and what the client gets back.
#include "harness.h"

namespace e2e {
namespace {

using namespace std::string_literals;

const std::string kSmallReply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nX-Origin: yes\r\n\r\nhello";

class Forwarding : public ProxyTest {};

TEST_F(Forwarding, SendsOriginFormAndReplacesKeepAliveInPlace) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    Reply reply = ask("GET http://" + host + "/path/x?y=1&z=%20 HTTP/1.1\r\n"
                      "Host: " + host + "\r\n"
                      "User-Agent: e2e/1.0\r\n"
                      "Connection: keep-alive\r\n"
                      "Proxy-Connection: keep-alive\r\n"
                      "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
                      "Cookie: a=1; b=2\r\n"
                      "Accept: */*\r\n\r\n");

    EXPECT_EQ(reply.bytes, kSmallReply);
    EXPECT_TRUE(reply.closed);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "GET /path/x?y=1&z=%20 HTTP/1.1\r\n"
                                    "Host: " + host + "\r\n"
                                    "User-Agent: e2e/1.0\r\n"
                                    "Connection: close\r\n"
                                    "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n"
                                    "Cookie: a=1; b=2\r\n"
                                    "Accept: */*\r\n\r\n");
}

// A field the client's Connection names is for the proxy alone, as are the
// other hop-by-hop fields, in whatever case they come; the framing fields
// stay even when named, as the body goes on as it came.
TEST_F(Forwarding, HopByHopFieldsAndThoseConnectionNamesStopAtTheProxy) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    Reply reply = ask("POST http://" + host + "/form HTTP/1.1\r\n"
                      "Host: " + host + "\r\n"
                      "connection: X-Foo, keep-alive ,Content-Length\r\n"
                      "X-Foo: secret\r\n"
                      "Keep-Alive: timeout=5\r\n"
                      "x-bar: kept\r\n"
                      "PROXY-CONNECTION: keep-alive\r\n"
                      "Connection: Upgrade,,x-other\r\n"
                      "Upgrade: h2c\r\n"
                      "TE: trailers\r\n"
                      "X-Other: gone\r\n"
                      "Content-Length: 5\r\n\r\nhello");
    EXPECT_EQ(reply.bytes, kSmallReply);
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "POST /form HTTP/1.1\r\n"
                           "Host: " + host + "\r\n"
                           "Connection: close\r\n"
                           "x-bar: kept\r\n"
                           "Content-Length: 5\r\n\r\nhello");
}

TEST_F(Forwarding, MaxForwardsStopsOptionsAndTraceAtZeroAndCountsDownOtherwise) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    auto request = [&](const char *method, const char *max_forwards) {
        return std::string(method) + " http://" + host + "/r HTTP/1.1\r\nHost: " + host +
               "\r\nmax-forwards: " + max_forwards + "\r\n\r\n";
    };
    Reply options = ask(request("OPTIONS", "0"));
    EXPECT_EQ(options.bytes.rfind("HTTP/1.1 200 ", 0), 0u) << options.bytes;
    EXPECT_NE(options.bytes.find("Content-Length: 0\r\n"), std::string::npos) << options.bytes;
    Reply trace = ask(request("TRACE", "0"));
    EXPECT_EQ(trace.bytes.rfind("HTTP/1.1 200 ", 0), 0u) << trace.bytes;
    EXPECT_NE(trace.bytes.find("Content-Type: message/http"), std::string::npos) << trace.bytes;
    EXPECT_NE(trace.bytes.find("\r\n\r\nTRACE http://" + host + "/r HTTP/1.1\r\n"), std::string::npos)
        << trace.bytes;
    EXPECT_EQ(origin.accepted(), 0) << "answered by the proxy, never forwarded";

    EXPECT_EQ(ask(request("OPTIONS", "3")).bytes, kSmallReply);
    EXPECT_EQ(ask(request("GET", "0")).bytes, kSmallReply);
    EXPECT_EQ(ask(request("TRACE", "many")).bytes, kSmallReply);
    const auto requests = origin.wait_requests(3);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_NE(requests[0].find("\r\nmax-forwards: 2\r\n"), std::string::npos) << requests[0];
    EXPECT_NE(requests[1].find("\r\nmax-forwards: 0\r\n"), std::string::npos) << "only OPTIONS and TRACE count";
    EXPECT_NE(requests[2].find("\r\nmax-forwards: many\r\n"), std::string::npos) << requests[2];
}

TEST_F(Forwarding, AppendsConnectionCloseAfterTheLastField) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    Reply reply = ask("GET http://" + host + "/ HTTP/1.0\r\nHost: " + host + "\r\nAccept: text/html\r\n\r\n");

    EXPECT_EQ(reply.bytes, kSmallReply);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "GET / HTTP/1.0\r\nHost: " + host +
                                        "\r\nAccept: text/html\r\nConnection: close\r\n\r\n");
}

TEST_F(Forwarding, KeepsAnEmptyFieldAndTheFieldsAfterIt) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    ask("GET http://" + host + "/e HTTP/1.1\r\nHost: " + host + "\r\nX-Empty:\r\nAccept: */*\r\n\r\n");

    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "GET /e HTTP/1.1\r\nHost: " + host +
                                        "\r\nX-Empty: \r\nAccept: */*\r\nConnection: close\r\n\r\n");
}

TEST_F(Forwarding, UrlWithoutPathBecomesSlash) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    Reply reply = ask("GET http://" + host + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");

    EXPECT_EQ(reply.bytes, kSmallReply);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
}

TEST_F(Forwarding, PostBodyOf100000BytesArrivesWhole) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    const std::string body = pattern_bytes(100'000, 7);
    const std::string header = "POST http://" + host + "/upload HTTP/1.1\r\nHost: " + host +
                               "\r\nContent-Type: application/octet-stream\r\nContent-Length: 100000\r\n\r\n";
    Reply reply = ask(header + body);

    EXPECT_EQ(reply.bytes, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n");
    ASSERT_EQ(origin.requests().size(), 1u);
    const std::string expected_header = "POST /upload HTTP/1.1\r\nHost: " + host +
                                        "\r\nContent-Type: application/octet-stream\r\nContent-Length: 100000"
                                        "\r\nConnection: close\r\n\r\n";
    const std::string got = origin.requests()[0];
    ASSERT_EQ(got.size(), expected_header.size() + body.size());
    EXPECT_EQ(got.substr(0, expected_header.size()), expected_header);
    EXPECT_TRUE(got.compare(expected_header.size(), std::string::npos, body) == 0) << "body differs";
}

TEST_F(Forwarding, RelaysTenMebibyteReplyByteForByte) {
    ASSERT_TRUE(start());
    const std::string body = pattern_bytes(10 * 1024 * 1024, 3);
    const std::string response =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    Origin origin(response);
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/big HTTP/1.1\r\n\r\n");

    EXPECT_TRUE(reply.closed);
    ASSERT_EQ(reply.bytes.size(), response.size());
    EXPECT_TRUE(reply.bytes == response) << "reply bytes differ";
}

TEST_F(Forwarding, RelaysChunkedReplyUnchanged) {
    ASSERT_TRUE(start());
    const std::string response =
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: text/plain\r\n\r\n"
        "5\r\nhello\r\n1a\r\nabcdefghijklmnopqrstuvwxyz\r\n3;ext=1\r\n\r\n\0\r\n0\r\nTrailer: t\r\n\r\n"s;
    Origin origin(response);
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/c HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, response);
}

TEST_F(Forwarding, PassesErrorAndRedirectRepliesUnchanged) {
    ASSERT_TRUE(start());
    for (const std::string response :
         {"HTTP/1.1 404 Nowhere To Be Found\r\nContent-Length: 3\r\n\r\nno!",
          "HTTP/1.0 302 Moved\r\nLocation: http://elsewhere.test/\r\n\r\n"}) {
        Origin origin(response);
        Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n");
        EXPECT_EQ(reply.bytes, response);
        EXPECT_EQ(origin.accepted(), 1);
    }
}

TEST_F(Forwarding, ForwardsEveryRelayedMethod) {
    ASSERT_TRUE(start());
    for (const std::string method : {"HEAD", "OPTIONS", "TRACE", "PUT", "PROPFIND", "PROPPATCH", "LOCK",
                                     "UNLOCK", "MOVE", "COPY", "MKCOL", "post", "get"}) {
        Origin origin(kSmallReply);
        const std::string host = "127.0.0.1:" + std::to_string(origin.port());
        Reply reply = ask(method + " http://" + host + "/m HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        EXPECT_EQ(reply.bytes, kSmallReply) << method;
        ASSERT_EQ(origin.requests().size(), 1u) << method;
        EXPECT_EQ(origin.requests()[0], method + " /m HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    }
}

TEST_F(Forwarding, PostIgnoresTheSchemeAndGoesByHttp) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    Reply reply = ask("POST ftp://" + host + "/form HTTP/1.1\r\nContent-Length: 3\r\n\r\na=b");
    EXPECT_EQ(reply.bytes, kSmallReply);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "POST /form HTTP/1.1\r\nContent-Length: 3\r\nConnection: close\r\n\r\na=b");
}

TEST_F(Forwarding, FullFieldListStillAsksTheOriginToClose) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    std::string fields;
    for (int i = 0; i < 100; ++i) fields += "X-F" + std::to_string(i) + ": v\r\n";
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n" + fields + "\r\n");
    auto requests = origin.requests();
    // Either the origin is told to close, or the proxy refuses the request:
    // forwarding it as keep-alive would leave the relay waiting on the origin.
    if (requests.empty()) {
        EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 ", 0), 0u) << reply.bytes;
    } else {
        EXPECT_NE(requests[0].find("\r\nConnection: close\r\n"), std::string::npos) << requests[0];
        EXPECT_EQ(reply.bytes, kSmallReply);
    }
}

TEST_F(Forwarding, ServesManyClientsAtOnce) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    constexpr int kClients = 24;
    std::vector<Fd> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(connect_tcp("127.0.0.1", port()));
        ASSERT_TRUE(clients.back().valid());
    }
    for (int i = 0; i < kClients; ++i)
        ASSERT_TRUE(send_all(clients[i], "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/" +
                                             std::to_string(i) + " HTTP/1.1\r\n\r\n"));
    for (int i = 0; i < kClients; ++i) EXPECT_EQ(talk(clients[i], "").bytes, kSmallReply) << "client " << i;
    EXPECT_EQ(origin.accepted(), kClients);
}

TEST_F(Forwarding, ReleasesTheSocketsOfFinishedConnections) {
    ASSERT_TRUE(start());
    Origin origin(kSmallReply);
    EchoServer echo;
    const std::string get = "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n";
    ASSERT_EQ(ask(get).bytes, kSmallReply);  // first use opens what stays open
    const size_t baseline = daemon().open_descriptors();

    for (int i = 0; i < 60; ++i) {
        ASSERT_EQ(ask(get).bytes, kSmallReply) << "request " << i;
        ask("BREW http://127.0.0.1/ HTTP/1.1\r\n\r\n");
        ask("GET http://" + unresolvable_name() + "/ HTTP/1.1\r\n\r\n");
        Fd fd = connect_tcp("127.0.0.1", port());
        talk(fd, "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\n\r\nx", 20);
    }
    // Connection threads end on their own; the bound only guards against a
    // leak that never ends.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    size_t now = daemon().open_descriptors();
    while (now > baseline && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(20ms);
        now = daemon().open_descriptors();
    }
    EXPECT_LE(now, baseline);
}

TEST_F(Forwarding, RealClientFetchesThroughTheProxy) {
    ASSERT_TRUE(start());
    const std::string body = pattern_bytes(50'000, 11);
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\n" + body);
    auto result = run_command({"/usr/bin/curl", "-s", "-S", "--max-time", "10", "-o", "body.bin", "-x",
                               "http://127.0.0.1:" + std::to_string(port()),
                               "http://127.0.0.1:" + std::to_string(origin.port()) + "/x"},
                              scratch(), 15'000ms);
    ASSERT_TRUE(exited_with(result.status, 0)) << describe_status(result.status) << "\n" << result.err;
    EXPECT_TRUE(read_file(scratch() / "body.bin") == body);
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0].rfind("GET /x HTTP/1.1\r\n", 0), 0u) << origin.requests()[0];
}

}  // namespace
}  // namespace e2e
