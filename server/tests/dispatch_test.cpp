#include <gtest/gtest.h>

#include <atomic>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "kellog.h"
#include "loopback_servers.h"
#include "test_support.h"
#include "handlers.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

const std::string kImage("GIF89a-image-bytes", 18);

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        reset_ad_hosts_for_tests();
        folder_.enter();
        use_configuration(folder_, "[HTTP]\nAdHostsEnabled=true\n");
        folder_.write("adhosts", "ads.test\nads.never-resolved.test\n");
        ::testing::internal::CaptureStdout();
        ASSERT_EQ(valdrin_host_mask_init(), 2);
        ::testing::internal::GetCapturedStdout();
        auto image = folder_.write("image.sys", kImage);
        ASSERT_EQ(load_replacement_image(image.c_str()), 0);
        log_ = folder_.path() / "log.txt";
        ASSERT_EQ(kellog_init(log_.c_str(), (folder_.path() / "err.txt").c_str(), 0), 0);
        curl_ = curl_easy_init();
    }
    void TearDown() override {
        curl_easy_cleanup(curl_);
        reset_ad_hosts_for_tests();
    }

    // Serves one request as a connection thread would, and returns
    // everything the client received. The client reads as a browser does,
    // and ends its side once the proxy has ended its own. With half_close
    // it ends its sending side right after the request.
    std::string serve(const std::string &request, bool half_close = true, int32_t *result = nullptr) {
        SocketPair pair;
        pair.send_from_peer(request);
        if (half_close) kel::net::shutdown_send(pair.peer_side());
        std::string received;
        std::thread client([&] {
            received = SocketPair::read_to_end(pair.peer_side());
            kel::net::shutdown_send(pair.peer_side());
        });
        {
            // A connection of the listener: it closes the socket once, at its end.
            Connection conn(pair.proxy_side(), net::ipv4_address(net::addr_from_octets(127, 0, 0, 1)),
                            current_config());
            const int32_t r = serve_request(conn, curl_);
            if (result != nullptr) *result = r;
        }
        pair.forget_proxy_side();
        client.join();
        return received;
    }

    std::string log_text() const {
        std::ifstream in(log_);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    }

    TempFolder folder_;
    std::filesystem::path log_;
    CURL *curl_ = nullptr;
};

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.rfind(prefix, 0) == 0;
}

TEST_F(Dispatch, UnknownMethodGets405AndALogLine) {
    int32_t result = 0;
    ::testing::internal::CaptureStderr();
    std::string reply = serve("DELETE http://127.0.0.1/x HTTP/1.1\r\n\r\n", true, &result);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 405 Method Not Allowed\r\n")) << reply;
    EXPECT_NE(log_text().find("Unsupported method DELETE\r\n"), std::string::npos);
}

TEST_F(Dispatch, GetOfAnotherSchemeGets400AndALogLine) {
    ::testing::internal::CaptureStderr();
    std::string reply = serve("GET https://127.0.0.1/ HTTP/1.1\r\n\r\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 400 Bad Request\r\n")) << reply;
    EXPECT_NE(reply.find("<H1>Invalid request</H1>"), std::string::npos);
    EXPECT_NE(log_text().find("Unsupported method GET\r\n"), std::string::npos);
}

TEST_F(Dispatch, UnreadableHeaderGets400WithoutALogLine) {
    ::testing::internal::CaptureStderr();
    std::string reply = serve("GET\r\n\r\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 400 Bad Request\r\n")) << reply;
    EXPECT_EQ(log_text(), "");
}

TEST_F(Dispatch, ListedHostGetsTheImageWhateverTheCase) {
    std::string reply = serve("get http://ads.test/banner.js HTTP/1.1\r\nHost: ads.test\r\n\r\n");
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/gif\r\n"
                     "Content-Length: " + std::to_string(kImage.size()) + "\r\n\r\n" + kImage);
}

std::atomic<int> g_lookups{0};
bool failing_resolver(const char *, uint32_t *) {
    ++g_lookups;
    kel::net::set_last_error(kel::net::kErrHostNotFound);
    return false;
}

TEST_F(Dispatch, ListedHostIsNeverContactedNorResolved) {
    // Every look-up fails, and is counted; an attempt would give a 503 page.
    g_lookups = 0;
    const auto previous = kel::net::set_resolver(failing_resolver);
    std::string reply = serve("GET http://ads.never-resolved.test/ad.gif HTTP/1.0\r\n\r\n");
    kel::net::set_resolver(previous);
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 200 OK\r\n")) << reply;
    EXPECT_EQ(g_lookups.load(), 0);
}

TEST_F(Dispatch, EmptyHostIsNotTreatedAsListed) {
    ::testing::internal::CaptureStderr();
    // A path alone is a request for the proxy's own page, never the image.
    std::string reply = serve("GET / HTTP/1.1\r\n\r\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(reply.find("image/gif"), std::string::npos) << reply;
    EXPECT_EQ(valdrin_host_mask_contient(""), 0);
}

TEST_F(Dispatch, ForwardingReplacesConnectionInPlace) {
    RecordingOrigin origin("HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope");
    std::string target = "127.0.0.1:" + std::to_string(origin.port());
    std::string reply = serve("GET http://" + target + "/p?q=1 HTTP/1.1\r\nHost: " + target +
                                  "\r\nConnection: keep-alive\r\nAccept: */*\r\n\r\n",
                              false);
    EXPECT_EQ(origin.received(), "GET /p?q=1 HTTP/1.1\r\nHost: " + target +
                                     "\r\nConnection: close\r\nAccept: */*\r\n\r\n");
    EXPECT_EQ(reply, "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnope");
}

TEST_F(Dispatch, ForwardingAppendsConnectionLast) {
    RecordingOrigin origin("HTTP/1.1 200 OK\r\n\r\n");
    std::string target = "127.0.0.1:" + std::to_string(origin.port());
    serve("HEAD http://" + target + "/ HTTP/1.0\r\nHost: " + target + "\r\nX-A: 1\r\n\r\n", false);
    EXPECT_EQ(origin.received(),
              "HEAD / HTTP/1.0\r\nHost: " + target + "\r\nX-A: 1\r\nConnection: close\r\n\r\n");
}

TEST_F(Dispatch, UnresolvableHostGetsTheResolvePage) {
    ::testing::internal::CaptureStderr();
    std::string reply = serve("POST http://" + std::string(71, 'y') + ".invalid/ HTTP/1.1\r\n\r\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 503 Service Unavailable\r\n")) << reply;
    EXPECT_NE(reply.find("<H1>Failed to resolve</H1>"), std::string::npos);
}

TEST_F(Dispatch, RefusedOriginGetsTheConnectionRefusedPage) {
    ::testing::internal::CaptureStderr();
    std::string reply =
        serve("GET http://127.0.0.1:" + std::to_string(closed_port()) + "/ HTTP/1.1\r\n\r\n");
    ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 503 Service Unavailable\r\n")) << reply;
    EXPECT_NE(reply.find("<H1>Connection refused</H1>"), std::string::npos);
}

TEST_F(Dispatch, ConnectAnswersThenRelaysEarlyBytes) {
    Listener target;
    std::string seen;
    std::thread echo([&] {
        kel::net::Socket c = target.accept();
        char block[64];
        // The early bytes arrive first; answer once and close.
        for (int reads = 0; reads < 100 && seen.size() < 5; ++reads) {
            long n = kel::net::recv(c, block, sizeof block);
            if (n <= 0) break;
            seen.append(block, static_cast<size_t>(n));
        }
        send_text(c, "pong");
        kel::net::close(c);
    });
    std::string reply = serve("CONNECT 127.0.0.1:" + std::to_string(target.port()) +
                                  " HTTP/1.1\r\nHost: x\r\n\r\nhello",
                              false);
    echo.join();
    EXPECT_EQ(seen, "hello");
    EXPECT_EQ(reply, "HTTP/1.1 200 OK\r\n\r\npong");
}

TEST_F(Dispatch, ConnectToAClosedPortGetsTheRefusedPage) {
    ::testing::internal::CaptureStderr();
    std::string reply = serve("CONNECT 127.0.0.1:" + std::to_string(closed_port()) +
                              " HTTP/1.1\r\n\r\n");
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(starts_with(reply, "HTTP/1.1 503 Service Unavailable\r\n")) << reply;
    EXPECT_NE(reply.find("<H1>Connection refused</H1>"), std::string::npos);
    EXPECT_NE(err.find("Connexion a '127.0.0.1' impossible"), std::string::npos) << err;
}

}  // namespace
}  // namespace kel::server::test
