// SIGHUP: the daemon reads its configuration again and gives new
// connections the new lists and limits, while the listening socket, open
// tunnels and requests in flight go on; a configuration it cannot use is
// refused whole. A service manager hears when it is ready, reloading and
// stopping.
#include "harness.h"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";
const std::string kImage = "GIF89a reloaded image";

// The datagram socket a service manager reads its daemons' notices from.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path &path) : path_(path) {
        fd_ = Fd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
        ok_ = fd_.valid() && path.string().size() < sizeof sa.sun_path &&
              ::bind(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0;
    }
    bool ok() const { return ok_; }
    const fs::path &path() const { return path_; }

    // The next notice, or "" when none comes in time.
    std::string next(Millis timeout = kIoTimeout) {
        pollfd p{fd_.get(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
        char buffer[4096];
        const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, 0);
        return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
    }

private:
    fs::path path_;
    Fd fd_;
    bool ok_ = false;
};

// Sets an environment variable for the daemons launched in a scope.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

private:
    const char *name_;
};

size_t count_of(const std::string &text, std::string_view what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

class Reload : public ProxyTest {
protected:
    // Writes the configuration and the ad-host list anew, as an
    // administrator edits them.
    void rewrite(const std::string &extra_http = "") {
        std::string text = config_.render();
        text.insert(text.find("[HTTP]\n") + 7, extra_http);
        write_file(folder() / "valdrin.conf", text);
        std::string hosts;
        for (const auto &line : adhosts_.value_or(std::vector<std::string>{})) hosts += line + "\n";
        write_file(folder() / "adhosts", hosts);
    }

    // Sends SIGHUP and waits until the daemon has said how the reload went.
    ::testing::AssertionResult reload() {
        const size_t before = reloads_reported();
        if (::kill(daemon().pid(), SIGHUP) != 0) return ::testing::AssertionFailure() << "kill failed";
        const auto until = Clock::now() + kIoTimeout;
        while (reloads_reported() == before) {
            if (Clock::now() > until) return ::testing::AssertionFailure() << "no reload reported:\n" << daemon().output();
            std::this_thread::sleep_for(10ms);
        }
        return ::testing::AssertionSuccess();
    }
    size_t reloads_reported() {
        return count_of(daemon().out(), "configuration reloaded from") + count_of(daemon().err(), ": reload of ");
    }

    std::string get(uint16_t origin_port, const char *from = nullptr) {
        const std::string host = "127.0.0.1:" + std::to_string(origin_port);
        return ask("GET http://" + host + "/r HTTP/1.1\r\nHost: " + host + "\r\n\r\n", from).bytes;
    }
};

// Keeps a CONNECT tunnel busy: sends blocks and checks that each comes
// back byte for byte, until told to stop.
class BusyTunnel {
public:
    BusyTunnel(uint16_t proxy_port, uint16_t echo_port) {
        fd_ = connect_tcp("127.0.0.1", proxy_port);
        const std::string target = "127.0.0.1:" + std::to_string(echo_port);
        opened_ = fd_.valid() &&
                  talk(fd_, "CONNECT " + target + " HTTP/1.1\r\n\r\n", kEstablished.size()).bytes == kEstablished;
        if (opened_) thread_ = std::thread([this] { run(); });
    }
    ~BusyTunnel() { finish(); }
    bool opened() const { return opened_; }
    // Stops after the block in flight; the blocks that came back whole.
    size_t finish() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return good_.load();
    }
    size_t bad() const { return bad_.load(); }
    size_t good() const { return good_.load(); }

private:
    void run() {
        for (unsigned seed = 1; !stop_ && seed < 100'000; ++seed) {
            const std::string block = pattern_bytes(32 * 1024, seed);
            Reply back = talk(fd_, block, block.size());
            if (back.bytes == block) {
                ++good_;
            } else {
                ++bad_;
                return;
            }
        }
    }

    Fd fd_;
    bool opened_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<size_t> good_{0};
    std::atomic<size_t> bad_{0};
    std::thread thread_;
};

TEST_F(Reload, NewListsReachNewConnectionsWhileATunnelGoesOnByteForByte) {
    NotifySocket notify(scratch() / "notify");
    ASSERT_TRUE(notify.ok());
    adhosts_ = std::vector<std::string>{"ads.reload.test"};
    image_ = kImage;
    {
        ScopedEnv env("NOTIFY_SOCKET", notify.path().string());
        ASSERT_TRUE(start());
    }
    EXPECT_NE(notify.next().find("READY=1"), std::string::npos);
    Origin origin(kReply);
    EchoServer echo;
    EXPECT_EQ(get(origin.port()), kReply);
    EXPECT_TRUE(IsErrorPage(Reply{get(origin.port(), "127.0.0.2"), true, false}, 403, "Forbidden", kNotAllowed));

    BusyTunnel tunnel(port(), echo.port());
    ASSERT_TRUE(tunnel.opened());
    // The origin's own address becomes an ad host; 127.0.0.2 is let in.
    adhosts_->push_back("127.0.0.1");
    config_.allowed = {{0, "127.0.0.2"}};
    rewrite();
    ASSERT_TRUE(reload());
    EXPECT_NE(notify.next().find("RELOADING=1"), std::string::npos);
    EXPECT_NE(notify.next().find("READY=1"), std::string::npos);

    const std::string image_reply = get(origin.port());
    EXPECT_NE(image_reply.find("Content-Type: image/gif"), std::string::npos) << image_reply;
    EXPECT_EQ(image_reply.substr(image_reply.size() - kImage.size()), kImage);
    EXPECT_NE(get(origin.port(), "127.0.0.2").find("image/gif"), std::string::npos) << "127.0.0.2 still refused";

    // The tunnel carried blocks across the reload and still carries them.
    const size_t after_reload = tunnel.good();
    const auto until = Clock::now() + kIoTimeout;
    while (tunnel.good() < after_reload + 10 && tunnel.bad() == 0 && Clock::now() < until)
        std::this_thread::sleep_for(5ms);
    EXPECT_GE(tunnel.finish(), after_reload + 10);
    EXPECT_EQ(tunnel.bad(), 0u);
    EXPECT_NE(daemon().out().find("configuration reloaded from " + (folder() / "valdrin.conf").string()),
              std::string::npos)
        << daemon().out();
    EXPECT_EQ(origin.accepted(), 1) << "only the allowed request before the reload reaches the origin";
}

TEST_F(Reload, ConfigurationItCannotUseIsRefusedWhole) {
    adhosts_ = std::vector<std::string>{};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    adhosts_ = std::vector<std::string>{"127.0.0.1"};
    config_.allowed = {{0, "127.0.0.2"}};
    rewrite("HTTPMaxClients=abc\n");
    ASSERT_TRUE(reload());
    const std::string err = daemon().err();
    EXPECT_NE(err.find("invalid HTTPMaxClients 'abc' in section HTTP"), std::string::npos) << err;
    EXPECT_NE(err.find("valdrin_proxy: reload of " + (folder() / "valdrin.conf").string() +
                       " failed (see the line above); the running configuration is kept"),
              std::string::npos)
        << err;
    // Neither the lists nor anything else changed.
    EXPECT_EQ(get(origin.port()), kReply);
    EXPECT_TRUE(IsErrorPage(Reply{get(origin.port(), "127.0.0.2"), true, false}, 403, "Forbidden", kNotAllowed));

    rewrite();
    fs::remove(folder() / "adhosts");
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().out().find("Unable to open adhosts file"), std::string::npos);
    EXPECT_EQ(get(origin.port()), kReply);

    rewrite();
    ASSERT_TRUE(reload());
    EXPECT_NE(get(origin.port()).find("image/gif"), std::string::npos);
    EXPECT_NE(get(origin.port(), "127.0.0.2").find("image/gif"), std::string::npos);
}

// The line of the file on which a key stands, 1-based; 0 when it is not there.
size_t line_of(const std::string &text, const std::string &key) {
    size_t line = 1;
    for (size_t at = 0; at < text.size(); ++line) {
        if (text.compare(at, key.size() + 1, key + "=") == 0) return line;
        const size_t end = text.find('\n', at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return 0;
}

TEST_F(Reload, AFileThatIsGoneOrUnreadableKeepsTheRunningConfigurationAndItsBlocking) {
    // The origin's own address is listed: a GET for it gets the image.
    adhosts_ = std::vector<std::string>{"127.0.0.1"};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    ASSERT_NE(get(origin.port()).find("image/gif"), std::string::npos);
    const fs::path conf = folder() / "valdrin.conf";

    fs::rename(conf, scratch() / "moved.conf");
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().err().find(conf.string() + ": cannot be read (2: No such file or directory)"),
              std::string::npos)
        << daemon().err();
    EXPECT_NE(daemon().err().find("reload of " + conf.string() + " failed"), std::string::npos) << daemon().err();
    EXPECT_NE(get(origin.port()).find("image/gif"), std::string::npos) << "the running blocking goes on";

    // A folder in its place cannot be read, whoever the daemon runs as.
    fs::create_directory(conf);
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().err().find(conf.string() + ": cannot be read (21: Is a directory)"), std::string::npos)
        << daemon().err();
    EXPECT_NE(get(origin.port()).find("image/gif"), std::string::npos);
    EXPECT_EQ(origin.accepted(), 0) << "nothing reached the listed origin";
    fs::remove(conf);
    fs::rename(scratch() / "moved.conf", conf);
}

TEST_F(Reload, ABadValueIsNamedWithItsFileLineAndKey) {
    ASSERT_TRUE(start());
    rewrite("HTTPIdleTimeout=later\n");
    const std::string text = read_file(folder() / "valdrin.conf");
    const size_t line = line_of(text, "HTTPIdleTimeout");
    ASSERT_GT(line, 0u);
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().err().find((folder() / "valdrin.conf").string() + ":" + std::to_string(line) +
                                  ": invalid HTTPIdleTimeout 'later' in section HTTP"),
              std::string::npos)
        << daemon().err();
}

// Two versions of valdrin.conf, each whole: version A allows 127.0.0.2 and
// blocks the hosts of adhosts, which lists the origin's address; version B
// allows 127.0.0.3 and blocks nothing. From 127.0.0.2 a request gets the
// image (A) or the 403 page (B); from 127.0.0.3 the 403 page (A) or the
// origin's reply (B). A connection that took the allow-list of one version
// and the blocking of the other would reach the origin from 127.0.0.2, or
// get the image from 127.0.0.3.
TEST_F(Reload, RequestsDuringReloadsOfAFileBeingRewrittenSeeOneVersionOrTheOther) {
    adhosts_ = std::vector<std::string>{"127.0.0.1"};
    auto version = [&](bool a) {
        ProxyConfig c = config_;
        c.allowed = {{0, a ? "127.0.0.2" : "127.0.0.3"}};
        c.ad_hosts_enabled = a ? "true" : "false";
        return c.render();
    };
    const std::string version_a = version(true), version_b = version(false);
    config_.allowed = {{0, "127.0.0.2"}};
    ASSERT_TRUE(start());
    write_file(folder() / "valdrin.conf", version_a);
    ASSERT_TRUE(reload());
    Origin origin(kReply);

    std::atomic<bool> stop{false};
    std::atomic<int> faults{0}, as_a{0}, as_b{0}, requests{0};
    std::mutex fault_mutex;
    std::string first_fault;
    // The writer replaces the file whole, as the wizard saves it.
    std::thread writer([&] {
        const fs::path conf = folder() / "valdrin.conf", next = folder() / "valdrin.conf.next";
        for (int i = 0; i < 100000 && !stop; ++i) {
            write_file(next, i % 2 == 0 ? version_b : version_a);
            fs::rename(next, conf);
        }
    });
    std::vector<std::thread> clients;
    for (const char *from : {"127.0.0.2", "127.0.0.3"}) {
        clients.emplace_back([&, from] {
            const bool from_a_client = std::string(from) == "127.0.0.2";
            for (int i = 0; i < 2000 && !stop; ++i) {
                const std::string reply = get(origin.port(), from);
                ++requests;
                const bool image = reply.find("image/gif") != std::string::npos;
                const bool refused = reply.find(" 403 ") != std::string::npos;
                const bool forwarded = reply == kReply;
                const bool as_version_a = from_a_client ? image : refused;
                const bool as_version_b = from_a_client ? refused : forwarded;
                if (as_version_a) ++as_a;
                if (as_version_b) ++as_b;
                if (!as_version_a && !as_version_b && faults++ == 0) {
                    std::lock_guard<std::mutex> hold(fault_mutex);
                    first_fault = std::string("from ") + from + ":\n" + reply;
                }
            }
        });
    }
    int reloads = 0;
    for (; reloads < 40; ++reloads) {
        if (!reload()) break;
    }
    // Enough requests on each side of the reloads to have met both versions.
    const auto until = Clock::now() + kIoTimeout;
    while ((as_a.load() == 0 || as_b.load() == 0) && Clock::now() < until && reload()) {
    }
    stop = true;
    writer.join();
    for (auto &c : clients) c.join();
    EXPECT_EQ(reloads, 40);
    EXPECT_EQ(faults.load(), 0) << first_fault;
    EXPECT_GT(as_a.load(), 0) << requests.load() << " requests";
    EXPECT_GT(as_b.load(), 0) << requests.load() << " requests";
    EXPECT_EQ(count_of(daemon().err(), "reload of"), 0u) << "every reload read a whole file:\n" << daemon().err();
}

// One reload opens valdrin.conf once, as strace sees the daemon's calls.
TEST_F(Reload, ReadsTheFileOnce) {
    if (!fs::exists("/usr/bin/strace")) GTEST_SKIP() << "strace is not installed";
    ASSERT_TRUE(start());
    const fs::path trace = scratch() / "reload.trace";
    Process strace;
    ASSERT_TRUE(strace.spawn({"/usr/bin/strace", "-f", "-e", "trace=open,openat,openat2", "-o", trace.string(), "-p",
                              std::to_string(daemon().pid())},
                             scratch(), scratch() / "strace.out", scratch() / "strace.err"));
    // Attached once it says so for the daemon's every thread.
    ASSERT_TRUE(wait_for_text(scratch() / "strace.err", "attached", kIoTimeout)) << read_file(scratch() / "strace.err");
    if (!wait_for_text(scratch() / "strace.err", "Process " + std::to_string(daemon().pid()) + " attached", kIoTimeout))
        GTEST_SKIP() << "strace cannot attach here: " << read_file(scratch() / "strace.err");
    ASSERT_TRUE(reload());
    ASSERT_EQ(::kill(strace.pid(), SIGINT), 0);
    ASSERT_TRUE(strace.wait_exit(kExitTimeout).has_value());
    const std::string calls = read_file(trace);
    EXPECT_EQ(count_of(calls, (folder() / "valdrin.conf").string() + "\""), 1u) << calls;
}

TEST_F(Reload, PortChangeWaitsForARestartAndTheOldPortServesOn) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    const uint16_t other = free_port();
    std::string text = config_.render();
    text.insert(text.find("[HTTP]\n") + 7, "HTTPPort=" + std::to_string(other) + "\n");
    write_file(folder() / "valdrin.conf", text);
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().out().find("HTTPPort is " + std::to_string(other) + " in section HTTP now: the proxy goes on "
                                  "listening on " + std::to_string(port()) + " until it is restarted"),
              std::string::npos)
        << daemon().out();
    EXPECT_NE(daemon().out().find("(a restart is needed for the change of HTTPPort or HTTPEnabled)"),
              std::string::npos);
    EXPECT_EQ(get(origin.port()), kReply);
}

TEST_F(Reload, LogFileNamedAnewIsWrittenFromTheReloadOn) {
    ASSERT_TRUE(start());
    config_.log_file = "renamed.log";
    rewrite();
    ASSERT_TRUE(reload());
    EXPECT_TRUE(IsErrorPage(ask("GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n", "127.0.0.2"), 403, "Forbidden",
                            kNotAllowed));
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused (HTTP/FTP)"));
    EXPECT_FALSE(fs::exists(folder() / "valdrin.log") &&
                 read_file(folder() / "valdrin.log").find("127.0.0.2") != std::string::npos);
}

TEST_F(Reload, ReloadsDuringARunOfRequestsLoseNone) {
    adhosts_ = std::vector<std::string>{"ads.reload.test"};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    std::atomic<bool> stop{false};
    std::atomic<size_t> served{0}, failed{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t) {
        clients.emplace_back([&] {
            for (int i = 0; i < 400 && !stop; ++i) (get(origin.port()) == kReply ? served : failed)++;
        });
    }
    size_t reloads = 0;
    for (; reloads < 20; ++reloads) {
        if (!reload()) break;
        std::this_thread::sleep_for(20ms);
    }
    stop = true;
    for (auto &c : clients) c.join();
    EXPECT_EQ(reloads, 20u);
    EXPECT_EQ(failed.load(), 0u) << "of " << served.load() + failed.load() << " requests";
    EXPECT_GT(served.load(), 20u);
    EXPECT_EQ(count_of(daemon().err(), "reload of"), 0u) << daemon().err();
}

TEST(Readiness, ReadyOnlyOnceListeningAndStoppingOnSigterm) {
    TempDir dir;
    NotifySocket notify(dir.path() / "notify");
    ASSERT_TRUE(notify.ok());
    const fs::path folder = dir.path() / "proxy";
    fs::copy(dist_dir(), folder, fs::copy_options::recursive);
    ProxyConfig config;
    config.http_port = std::to_string(free_port());
    write_file(folder / "valdrin.conf", config.render());
    Daemon daemon(folder, dir.path());
    {
        ScopedEnv env("NOTIFY_SOCKET", notify.path().string());
        ASSERT_TRUE(daemon.launch());
    }
    const std::string ready = notify.next();
    EXPECT_NE(ready.find("READY=1"), std::string::npos) << ready;
    EXPECT_NE(ready.find("STATUS=listening on [::]:" + config.http_port), std::string::npos) << ready;
    // Ready means listening: a client connects at once.
    EXPECT_TRUE(connect_tcp("127.0.0.1", static_cast<uint16_t>(std::stoi(config.http_port))).valid());
    ASSERT_EQ(::kill(daemon.pid(), SIGTERM), 0);
    EXPECT_EQ(notify.next(), "STOPPING=1");
    EXPECT_TRUE(exited_with(daemon.wait_exit(), 0)) << daemon.output();
}

TEST(Readiness, DisabledProxyNeverSaysReady) {
    TempDir dir;
    NotifySocket notify(dir.path() / "notify");
    ASSERT_TRUE(notify.ok());
    const fs::path folder = dir.path() / "proxy";
    fs::copy(dist_dir(), folder, fs::copy_options::recursive);
    ProxyConfig config;
    config.http_enabled = "false";
    config.http_port = std::to_string(free_port());
    write_file(folder / "valdrin.conf", config.render());
    Daemon daemon(folder, dir.path());
    {
        ScopedEnv env("NOTIFY_SOCKET", notify.path().string());
        ASSERT_TRUE(daemon.launch());
    }
    EXPECT_TRUE(exited_with(daemon.wait_exit(), 0)) << daemon.output();
    EXPECT_EQ(notify.next(200ms), "");
}

}  // namespace
}  // namespace e2e
