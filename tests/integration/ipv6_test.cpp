// Both address families: clients on ::1 and through the dual-stack socket,
// IPv6 and CIDR entries of the allow-list, origins and CONNECT targets that
// only have IPv6, FTP over IPv6, and a name whose IPv6 address does not
// answer (the connect races on to the next address).
#include "harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nv6";
const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";

bool have_ipv6_loopback() {
    Fd fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    return ::bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
}

class Ipv6 : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        if (!have_ipv6_loopback()) GTEST_SKIP() << "no IPv6 on this host's loopback";
    }
    Reply ask6(std::string_view request, const char *from = "::1") {
        Fd fd = connect_tcp("::1", port(), from);
        if (!fd.valid()) {
            ADD_FAILURE() << "cannot connect to [::1]:" << port();
            return {};
        }
        return talk(fd, request);
    }
};

TEST_F(Ipv6, ClientOnLoopbackReachesAnOriginThatHasOnlyIpv6) {
    ASSERT_TRUE(start());
    Origin origin(kReply, "::1");
    const std::string host = "[::1]:" + std::to_string(origin.port());
    EXPECT_EQ(ask6("GET http://" + host + "/only-v6 HTTP/1.1\r\nHost: " + host + "\r\n\r\n").bytes, kReply);
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /only-v6 HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    // The same through the IPv4 client of the dual-stack socket.
    EXPECT_EQ(ask("GET http://" + host + "/from-v4 HTTP/1.1\r\nHost: " + host + "\r\n\r\n").bytes, kReply);
    EXPECT_TRUE(wait_for_text(scratch() / "daemon.out", "listening on [::]:" + std::to_string(port()), kIoTimeout))
        << daemon().out();
}

TEST_F(Ipv6, Ipv4ClientOfTheDualStackSocketIsTheIpv4ClientItIs) {
    ASSERT_TRUE(start());
    EXPECT_TRUE(IsErrorPage(ask("", "127.0.0.2"), 403, "Forbidden", kNotAllowed));
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused (HTTP/FTP)"));
    EXPECT_EQ(read_file(folder() / config_.log_file).find("::ffff:"), std::string::npos);
}

TEST_F(Ipv6, ConnectToABracketedLiteralTunnels) {
    ASSERT_TRUE(start());
    EchoServer echo("::1");
    Fd fd = connect_tcp("::1", port());
    ASSERT_TRUE(fd.valid());
    const std::string target = "[::1]:" + std::to_string(echo.port());
    EXPECT_EQ(talk(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\nping", kEstablished.size() + 4)
                  .bytes,
              kEstablished + "ping");
}

TEST_F(Ipv6, FtpServerOnIpv6Loopback) {
    const fs::path root = scratch() / "ftproot";
    fs::create_directories(root);
    write_file(root / "v6.txt", "over IPv6\n");
    FtpServer ftp(root, scratch(), "::1");
    ASSERT_TRUE(ftp.ready()) << ftp.log();
    ASSERT_TRUE(start());
    const Reply reply = ask6("GET ftp://[::1]:" + std::to_string(ftp.port()) + "/v6.txt HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_EQ(reply.bytes, "HTTP/1.0 200 Ok\r\nConnection: close\r\n\r\nover IPv6\n");
}

TEST_F(Ipv6, ListenOnlyWhereHttpListenSays) {
    ASSERT_TRUE(start_with({{"HTTPListen", "::1"}}));
    EXPECT_TRUE(connect_tcp("::1", port()).valid());
    EXPECT_FALSE(connect_tcp("127.0.0.1", port()).valid()) << "IPv4 reached a proxy told to listen on ::1 alone";
    EXPECT_TRUE(wait_for_text(scratch() / "daemon.out", "listening on [::1]:" + std::to_string(port()), kIoTimeout))
        << daemon().out();
}

TEST_F(Ipv6, BadHttpListenEntryStopsTheStartNamingIt) {
    const auto status = run_to_exit({"--config", write_config_with({{"HTTPListen", "127.0.0.1, ::1, 300.1.1.1"}}).string()});
    EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
    EXPECT_NE(daemon().err().find("invalid address '300.1.1.1' in HTTPListen in section HTTP"), std::string::npos)
        << daemon().err();
}

// A listener on [::1]:port whose accept queue is full: connects to it
// neither succeed nor fail, as with a host that does not answer.
class SilentIpv6Listener {
public:
    explicit SilentIpv6Listener(uint16_t port) {
        fd_ = Fd(::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int one = 1;
        ::setsockopt(fd_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        sa.sin6_port = htons(port);
        ok_ = ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 && ::listen(fd_.get(), 0) == 0;
        // One connection fills a queue of length 0.
        if (ok_) filler_ = connect_tcp("::1", port);
        ok_ = ok_ && filler_.valid();
    }
    bool ok() const { return ok_; }

private:
    Fd fd_, filler_;
    bool ok_ = false;
};

TEST_F(Ipv6, NameWhoseIpv6AddressDoesNotAnswerIsReachedOverIpv4WithinTheStep) {
    if (!can_use_private_hosts_file()) GTEST_SKIP() << "needs root to give the daemon its own /etc/hosts";
    Origin origin(kReply, "127.0.0.1");
    SilentIpv6Listener silent(origin.port());
    ASSERT_TRUE(silent.ok());
    hosts_ = "::1 dual.eyeballs.test\n127.0.0.1 dual.eyeballs.test\n";
    ASSERT_TRUE(start_with({{"HTTPConnectTimeout", "10"}}));
    const std::string host = "dual.eyeballs.test:" + std::to_string(origin.port());
    const auto asked = Clock::now();
    EXPECT_EQ(ask("GET http://" + host + "/raced HTTP/1.1\r\nHost: " + host + "\r\n\r\n").bytes, kReply);
    const double took_s = std::chrono::duration<double>(Clock::now() - asked).count();
    // IPv6 first, IPv4 after the 250 ms step. Without the step the silent
    // IPv6 attempt would run into the 10 s time-out and the reply would be
    // the error page.
    EXPECT_GE(took_s, 0.2);
    EXPECT_EQ(origin.accepted(), 1);
    std::printf("[ ipv6 ] silent IPv6 address, IPv4 answered after %.3f s\n", took_s);
}

// The clients people use, through the proxy's IPv6 address, to an origin
// that has no IPv4 address at all.
TEST_F(Ipv6, CurlWgetAndChromiumBrowseFromLoopbackToAnIpv6OnlyOrigin) {
    ASSERT_TRUE(start());
    const std::string html = "<!DOCTYPE html><html><head><title>v6</title></head><body><p>only over IPv6</p></body></html>";
    Origin origin("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(html.size()) +
                      "\r\n\r\n" + html,
                  "::1");
    const std::string proxy = "http://[::1]:" + std::to_string(port());
    const std::string url = "http://[::1]:" + std::to_string(origin.port()) + "/index.html";
    int served = 0;

    auto curl = run_command({"/usr/bin/curl", "-s", "-S", "--max-time", "10", "-x", proxy, url}, scratch());
    EXPECT_TRUE(exited_with(curl.status, 0)) << describe_status(curl.status) << curl.err;
    EXPECT_EQ(curl.out, html);
    ++served;
    // The same through a tunnel: CONNECT [::1]:port.
    auto tunnel = run_command({"/usr/bin/curl", "-s", "-S", "--max-time", "10", "-p", "-x", proxy, url}, scratch());
    EXPECT_TRUE(exited_with(tunnel.status, 0)) << describe_status(tunnel.status) << tunnel.err;
    EXPECT_EQ(tunnel.out, html);
    ++served;
    // The access log names the IPv6 client and the bracketed target.
    EXPECT_TRUE(wait_for_text(folder() / "access.log",
                              "::1 - - [", kIoTimeout));
    EXPECT_TRUE(wait_for_text(folder() / "access.log",
                              "\"CONNECT [::1]:" + std::to_string(origin.port()) + " HTTP/1.1\" 200", kIoTimeout))
        << read_file(folder() / "access.log");

    if (::access("/usr/bin/wget", X_OK) == 0) {
        // wget takes its proxy from the environment only.
        auto wget = run_command({"/usr/bin/env", "http_proxy=" + proxy, "/usr/bin/wget", "-q", "-O", "-", "--tries=1",
                                 "--timeout=10", url},
                                scratch());
        EXPECT_TRUE(exited_with(wget.status, 0)) << describe_status(wget.status) << wget.err;
        EXPECT_EQ(wget.out, html);
        ++served;
    } else {
        ADD_FAILURE() << "no /usr/bin/wget (scripts/setup.sh installs it)";
    }

    if (::access("/usr/bin/chromium", X_OK) == 0) {
        const fs::path profile = scratch() / "chromium-profile";
        fs::create_directories(profile);
        auto chromium = run_command({"/usr/bin/chromium", "--headless", "--no-sandbox", "--disable-gpu",
                                     "--disable-quic", "--no-first-run", "--disable-background-networking",
                                     "--disable-component-update", "--disable-sync",
                                     "--user-data-dir=" + profile.string(), "--proxy-server=" + proxy,
                                     // Loopback would otherwise bypass the proxy.
                                     "--proxy-bypass-list=<-loopback>", "--dump-dom", url},
                                    scratch(), 60'000ms);
        EXPECT_TRUE(exited_with(chromium.status, 0)) << describe_status(chromium.status) << chromium.err.substr(0, 2000);
        EXPECT_NE(chromium.out.find("only over IPv6"), std::string::npos) << chromium.out;
        ++served;
    } else {
        ADD_FAILURE() << "no /usr/bin/chromium (scripts/setup.sh installs it)";
    }
    // Every page came through the proxy: the origin saw each client once
    // (Chromium may also ask for a favicon).
    EXPECT_GE(origin.accepted(), served);
    std::printf("[ ipv6 ] %d clients browsed over IPv6 only; the origin took %d connections\n", served,
                origin.accepted());
}

// A network namespace of the test's own, whose loopback carries two more
// IPv6 addresses: a client from one the allow-list names, and one it does
// not.
class Namespace : public NetNamespace {
public:
    Namespace() : NetNamespace("valdrin-v6") {
        for (const char *a : {"fd00:5::1/128", "fd00:5::2/128"})
            addresses_ = addresses_ && exited_with(run({"/usr/sbin/ip", "-6", "addr", "add", a, "dev", "lo", "nodad"}).status, 0);
    }
    // Made, with both addresses.
    bool ready() const { return ok() && addresses_; }

    // Connects from inside the namespace, on a thread that enters it.
    Fd connect(const char *address, uint16_t port, const char *from) const {
        return std::async(std::launch::async, [&] {
                   Fd ns(::open(("/var/run/netns/" + name()).c_str(), O_RDONLY | O_CLOEXEC));
                   if (!ns.valid() || ::setns(ns.get(), CLONE_NEWNET) != 0) return Fd();
                   return connect_tcp(address, port, from);
               })
            .get();
    }

private:
    bool addresses_ = true;
};

TEST_F(Ipv6, AllowListTakesIpv6AddressesAndPrefixesOfBothFamilies) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    Namespace ns;
    if (!ns.ready()) GTEST_SKIP() << "no network namespace could be made";
    netns_ = ns.name();
    config_.allowed = {{0, "fd00:5::1"}, {1, "127.0.0.0/30"}};
    ASSERT_TRUE(start());
    auto page_from = [&](const char *address, const char *from) {
        Fd fd = ns.connect(address, port(), from);
        return fd.valid() ? talk(fd, "GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n") : Reply{};
    };
    // Allowed clients get as far as the origin (none listens there).
    EXPECT_TRUE(IsErrorPage(page_from("fd00:5::1", "fd00:5::1"), 503, "Service Unavailable", kConnectionRefused));
    EXPECT_TRUE(IsErrorPage(page_from("::1", "::1"), 503, "Service Unavailable", kConnectionRefused));
    EXPECT_TRUE(IsErrorPage(page_from("127.0.0.1", "127.0.0.3"), 503, "Service Unavailable", kConnectionRefused));
    EXPECT_TRUE(IsErrorPage(page_from("fd00:5::1", "fd00:5::2"), 403, "Forbidden", kNotAllowed));
    EXPECT_TRUE(IsErrorPage(page_from("127.0.0.1", "127.0.0.4"), 403, "Forbidden", kNotAllowed));
    EXPECT_TRUE(log_contains("Connection from fd00:5::2 refused (HTTP/FTP)"));

    // A reload widens the list to the whole prefix.
    config_.allowed = {{0, "fd00:5::/64"}};
    std::string text = config_.render();
    write_file(folder() / "valdrin.conf", text);
    ASSERT_EQ(::kill(daemon().pid(), SIGHUP), 0);
    ASSERT_TRUE(wait_for_text(scratch() / "daemon.out", "configuration reloaded", kIoTimeout)) << daemon().output();
    EXPECT_TRUE(IsErrorPage(page_from("fd00:5::1", "fd00:5::2"), 503, "Service Unavailable", kConnectionRefused));
}

}  // namespace
}  // namespace e2e
