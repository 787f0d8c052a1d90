#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "kelhttp.h"
#include "kellog.h"
#include "kelplat/netvec.h"
#include "loopback_servers.h"
#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

std::string image_reply(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/gif\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\n\r\n" + body;
}

TEST(ReplySend, HeaderAndBodyLeaveInOneCall) {
    const std::string body("GIF89a\0\x01\x02-bytes", 15);
    SocketPair pair;
    const uint64_t before = kel::net::gathered_send_calls_on_this_thread();
    EXPECT_EQ(kelHttp_envoie_E(pair.proxy_side(), body.data(), static_cast<int32_t>(body.size()),
                               "image/gif", 200),
              0);
    EXPECT_EQ(kel::net::gathered_send_calls_on_this_thread() - before, 1u);
    EXPECT_EQ(pair.read_all_from_proxy(), image_reply(body));
}

TEST(ReplySend, EmptyBodySendsTheHeaderAlone) {
    SocketPair pair;
    EXPECT_EQ(kelHttp_envoie_E(pair.proxy_side(), nullptr, 0, "image/gif", 200), 0);
    EXPECT_EQ(pair.read_all_from_proxy(), image_reply(""));
}

TEST(ReplySend, VanishedPeerIsReportedOnceAndIsNoFailure) {
    SocketPair pair;
    pair.close_peer_side();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttp_envoie_str_E(pair.proxy_side(), "page", "text/html", 500), 0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const std::string line = "ERROR: erreur a l'envoi : connexion fermee prematurement ?\n";
    ASSERT_EQ(err.rfind(line, 0), 0u) << err;
    EXPECT_EQ(err.find(line, 1), std::string::npos) << err;
}

std::atomic<int> g_interruptions{0};
void count_interruption(int) { g_interruptions.fetch_add(1, std::memory_order_relaxed); }

TEST(ReplySend, LargeBodyReachesASlowReaderWhateverInterruptsTheSender) {
    // 2 MiB through small socket buffers, while a signal without restart
    // keeps cutting the sender's calls short.
    struct sigaction action {}, previous{};
    action.sa_handler = count_interruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ASSERT_EQ(::sigaction(SIGUSR2, &action, &previous), 0);

    std::string body(2 * 1024 * 1024, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131 + i / 7919) & 0xFF);

    Listener listener;
    kel::net::Socket reader = kel::net::open(kel::net::Kind::Stream);
    int small = 16 * 1024;
    ::setsockopt(static_cast<int>(reader), SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    ASSERT_TRUE(kel::net::connect(reader, kel::net::addr_from_octets(127, 0, 0, 1),
                                  kel::net::host_to_net16(listener.port())));
    kel::net::Socket sender = listener.accept();
    ASSERT_NE(sender, kel::net::kInvalidSocket);
    ::setsockopt(static_cast<int>(sender), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);

    const pthread_t sending_thread = ::pthread_self();
    std::atomic<bool> sending{true};
    std::string received;
    std::thread slow([&] {
        char block[4096];
        for (int reads = 0; reads < 1000000; ++reads) {
            const long n = kel::net::recv(reader, block, sizeof block);
            if (n <= 0) break;
            received.append(block, static_cast<size_t>(n));
            if (reads % 8 == 0 && sending.load()) ::pthread_kill(sending_thread, SIGUSR2);
        }
    });
    const uint64_t before = kel::net::gathered_send_calls_on_this_thread();
    EXPECT_EQ(kelHttp_envoie_E(sender, body.data(), static_cast<int32_t>(body.size()), "image/gif",
                               200),
              0);
    const uint64_t calls = kel::net::gathered_send_calls_on_this_thread() - before;
    sending.store(false);
    kel::net::close(sender);
    slow.join();
    kel::net::close(reader);
    ::sigaction(SIGUSR2, &previous, nullptr);

    EXPECT_TRUE(received == image_reply(body)) << "received " << received.size() << " bytes";
    // Interrupted calls were resumed where they stopped.
    if (g_interruptions.load() > 0) {
        EXPECT_GT(calls, 1u);
    }
}

// Connection threads on a socket pair, as the listener would start them.
class ConnectionThread : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_NOTHING); }
    static void TearDownTestSuite() { curl_global_cleanup(); }
    void SetUp() override {
        reset_ip_mask_for_tests();
        valdrin_ip_mask_ajoute("127.0.0.1");
        ASSERT_EQ(kellog_init((folder_.path() / "log.txt").c_str(),
                              (folder_.path() / "err.txt").c_str(), 0),
                  0);
    }
    void TearDown() override { reset_ip_mask_for_tests(); }

    std::string serve(const std::string &request) {
        SocketPair pair;
        pair.send_from_peer(request);
        // The proxy's close waits for the client's end.
        kel::net::shutdown_send(pair.peer_side());
        auto *params = static_cast<kelnet_params *>(std::calloc(1, sizeof(kelnet_params)));
        params->sd = pair.proxy_side();
        params->sock_dist.famille = 2;
        params->sock_dist.adresse = ip(127, 0, 0, 1);
        std::thread connection(http_servir, params);
        connection.join();
        pair.forget_proxy_side();
        return SocketPair::read_to_end(pair.peer_side());
    }

    TempFolder folder_;
};

TEST_F(ConnectionThread, OnlyFtpRequestsMakeACurlHandle) {
    const uint16_t port = closed_port();
    const uint64_t before = curl_handles_created();
    std::string reply =
        serve("GET http://127.0.0.1:" + std::to_string(port) + "/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << reply;
    reply = serve("DELETE http://127.0.0.1/x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 405 Method Not Allowed\r\n", 0), 0u) << reply;
    EXPECT_EQ(curl_handles_created(), before);

    reply = serve("GET ftp://127.0.0.1:" + std::to_string(port) + "/f HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("<H1>Connection refused</H1>"), std::string::npos);
    EXPECT_EQ(curl_handles_created(), before + 1);
}

}  // namespace
}  // namespace kel::server::test
