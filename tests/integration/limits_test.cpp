// Time limits of the connection path, as a client and an origin see them.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>

#include "harness.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

class Limits : public ProxyTest {};

// A listener whose accept queue is full: further handshakes get no answer.
class SilentPort {
public:
    SilentPort() : listener_(::socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        if (::bind(listener_.get(), reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
            ::listen(listener_.get(), 0) != 0 ||
            ::getsockname(listener_.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0)
            return;
        // Each filler either completes into the queue or hangs in its handshake.
        for (int i = 0; i < 3; ++i) {
            Fd f(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
            (void)::connect(f.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            fillers_.push_back(std::move(f));
        }
        // One queued fills the queue of length 0; the port is usable from then on.
        pollfd queued{listener_.get(), POLLIN, 0};
        if (::poll(&queued, 1, static_cast<int>(kIoTimeout.count())) == 1) port_ = ntohs(sa.sin_port);
    }
    uint16_t port() const { return port_; }

private:
    Fd listener_;
    std::vector<Fd> fillers_;
    uint16_t port_ = 0;
};

TEST_F(Limits, OriginThatNeverAnswersTheConnectGetsTheConnectionRefusedPage) {
    ASSERT_TRUE(start_with({{"HTTPConnectTimeout", "1"}}));
    SilentPort silent;
    ASSERT_NE(silent.port(), 0);
    const std::string host = "127.0.0.1:" + std::to_string(silent.port());
    const auto start = Clock::now();
    Reply reply = ask("GET http://" + host + "/ HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    const double took = seconds_since(start);
    EXPECT_EQ(reply.bytes.rfind("HTTP/1.1 503 Service Unavailable\r\n", 0), 0u) << reply.bytes;
    EXPECT_NE(reply.bytes.find("<H1>Connection refused</H1>"), std::string::npos);
    EXPECT_TRUE(reply.closed);
    // Without the time-out the connect would go on for minutes, and no page
    // would come within the client's own bound.
    EXPECT_GE(took, 0.9);

    // A CONNECT to it likewise.
    Reply tunnel = ask("CONNECT " + host + " HTTP/1.1\r\n\r\n");
    EXPECT_NE(tunnel.bytes.find("<H1>Connection refused</H1>"), std::string::npos) << tunnel.bytes;
}

TEST_F(Limits, TunnelQuietInBothDirectionsIsClosedAtTheIdleTime) {
    ASSERT_TRUE(start_with({{"HTTPIdleTimeout", "1"}}));
    EchoServer echo;
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    Fd fd = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(fd.valid());
    Reply opened = talk(fd, "CONNECT " + target + " HTTP/1.1\r\n\r\n", 19);
    ASSERT_EQ(opened.bytes, "HTTP/1.1 200 OK\r\n\r\n");
    // Traffic for longer than the idle time keeps it open: echoes far more
    // often than the idle time, so that no pause of a busy machine makes a
    // gap as long...
    const auto busy = Clock::now();
    for (int i = 0; i < 1000 && seconds_since(busy) < 1.6; ++i) {
        std::this_thread::sleep_for(50ms);
        Reply echoed = talk(fd, "ping", 4);
        ASSERT_EQ(echoed.bytes, "ping") << "round " << i;
    }
    // ...and silence closes it; the client's own bound only guards against
    // a tunnel that stays open.
    const auto quiet = Clock::now();
    Reply rest = talk(fd, "", SIZE_MAX, 10'000ms);
    EXPECT_TRUE(rest.closed);
    EXPECT_EQ(rest.bytes, "");
    EXPECT_GE(seconds_since(quiet), 0.9);
}

TEST_F(Limits, ZeroMeansNoLimit) {
    ASSERT_TRUE(start_with({{"HTTPIdleTimeout", "0"}, {"HTTPHeaderTimeout", "0"}}));
    EchoServer echo;
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    Fd fd = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(fd.valid());
    Reply opened = talk(fd, "CONNECT " + target + " HTTP/1.1\r\n\r\n", 19);
    ASSERT_EQ(opened.bytes, "HTTP/1.1 200 OK\r\n\r\n");
    Reply quiet = talk(fd, "", SIZE_MAX, 2'500ms);
    EXPECT_TRUE(quiet.timed_out);
    EXPECT_FALSE(quiet.closed);
    EXPECT_EQ(talk(fd, "still", 5).bytes, "still");
}

TEST_F(Limits, MalformedLimitStopsTheStartNamingTheKey) {
    for (const auto &[key, value] : std::vector<std::pair<std::string, std::string>>{
             {"HTTPIdleTimeout", "ten"}, {"HTTPMaxClients", "-5"}, {"HTTPHeaderTimeout", "30s"},
             {"HTTPMaxWaiting", "2000001"}}) {
        auto status = run_to_exit({"--config", write_config_with({{key, value}}).string()});
        EXPECT_FALSE(exited_with(status, 0)) << key << ": " << describe_status(status);
        EXPECT_NE(daemon().output().find("invalid " + key + " '" + value + "'"), std::string::npos)
            << daemon().output();
    }
}

}  // namespace
}  // namespace e2e
