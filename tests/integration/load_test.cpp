// Load and fault behaviour of the daemon end to end: thousands of clients at
// once, slow and silent clients, descriptor exhaustion, resets in the middle
// of bulk transfers, long runs of small requests, the connection cap, peers
// that stall and targets that never answer. After each load the daemon's
// descriptors, threads and memory are checked to come back where they started.
//
// Counts are scaled down by default so that the whole file stays under a
// minute in a plain build. Set VALDRIN_LOAD_FULL=1 in the environment for the
// full counts: 2,000 slow clients, 1,000 resets, 100,000 requests, 1,000
// refused clients, and longer exhausted periods.
//
// Everything runs on loopback; every loop is bounded in count and in time.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

bool full_size() {
    const char *v = std::getenv("VALDRIN_LOAD_FULL");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

// The full count, or the count that keeps the default run short.
size_t scaled(size_t full, size_t reduced) { return full_size() ? full : reduced; }

// Sanitizers hold freed memory back (ASan's quarantine) or keep state per
// thread (TSan), so only the plain build checks the daemon's memory.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kUnderAsan = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kUnderAsan = true;
#else
constexpr bool kUnderAsan = false;
#endif
#else
constexpr bool kUnderAsan = false;
#endif

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Polls `done` until it holds or the time runs out. For state that offers
// nothing to wait on: another process's /proc entries.
template <class Pred>
bool wait_until(Pred done, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (done()) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

// The numbers a leak shows up in, read from /proc/<pid>/status.
struct Usage {
    size_t threads = 0;
    size_t rss_kib = 0;
};

Usage usage_of(pid_t pid) {
    Usage u;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Threads:", 0) == 0) u.threads = std::strtoul(line.c_str() + 8, nullptr, 10);
        if (line.rfind("VmRSS:", 0) == 0) u.rss_kib = std::strtoul(line.c_str() + 6, nullptr, 10);
    }
    return u;
}

// User plus system CPU time of the whole process, in clock ticks.
long cpu_ticks(pid_t pid) {
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    // The command name may hold spaces; the fields that follow it are fixed.
    auto close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    // Fields 3.. after the name; utime is field 14 and stime field 15.
    for (int n = 3; n <= 15 && fields >> field; ++n) {
        if (n == 14) utime = std::atol(field.c_str());
        if (n == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

void raise_own_descriptor_limit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
    }
}

size_t own_descriptor_limit() {
    rlimit rl{};
    return ::getrlimit(RLIMIT_NOFILE, &rl) == 0 ? static_cast<size_t>(rl.rlim_cur) : 0;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Closes with a reset instead of an orderly end.
void reset_close(Fd &fd) {
    linger lg{1, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    fd.reset();
}

std::pair<Fd, Fd> stop_pipe() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    return {Fd(p[0]), Fd(p[1])};
}

// Small origin for request runs: several threads accept on one socket, read
// a header, answer, close. Unlike the harness's origin it keeps no record of
// the requests, so a run of 100,000 costs no memory here.
class QuickOrigin {
public:
    QuickOrigin(std::string reply, int workers) : reply_(std::move(reply)), listener_(listen_tcp("127.0.0.1")) {
        port_ = local_port(listener_);
        set_nonblocking(listener_.get());
        std::tie(stop_read_, stop_write_) = stop_pipe();
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { serve(); });
    }
    ~QuickOrigin() {
        (void)!::write(stop_write_.get(), "x", 1);
        for (auto &t : threads_) t.join();
    }
    uint16_t port() const { return port_; }
    size_t served() const { return served_.load(); }

private:
    void serve() {
        std::string buffer(16 * 1024, '\0');
        for (;;) {
            pollfd p[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!client.valid()) continue;  // another worker took it
            const auto deadline = Clock::now() + kIoTimeout;
            std::string got;
            while (got.find("\r\n\r\n") == std::string::npos) {
                pollfd c{client.get(), POLLIN, 0};
                if (::poll(&c, 1, remaining_ms(deadline)) <= 0) break;
                ssize_t n = ::recv(client.get(), buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                got.append(buffer.data(), static_cast<size_t>(n));
            }
            if (got.find("\r\n\r\n") == std::string::npos) continue;
            if (!send_all(client, reply_)) continue;
            ::shutdown(client.get(), SHUT_WR);
            // Read until the proxy closes its side, so nothing it sends is reset.
            for (;;) {
                pollfd c{client.get(), POLLIN, 0};
                if (::poll(&c, 1, remaining_ms(deadline)) <= 0) break;
                if (::recv(client.get(), buffer.data(), buffer.size(), 0) <= 0) break;
            }
            ++served_;
        }
    }

    std::string reply_;
    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::atomic<size_t> served_{0};
    std::vector<std::thread> threads_;
};

const std::string kSmallReply = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nContent-Type: text/plain\r\n\r\nloaded";

std::string get_request(uint16_t origin_port, std::string_view path) {
    const std::string host = "127.0.0.1:" + std::to_string(origin_port);
    return "GET http://" + host + std::string(path) + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
}

// Reads every client until it closes or the deadline passes; each reply
// records when its close came, counted from `since`.
struct TimedReply {
    Reply reply;
    double closed_after_s = -1;
};

std::vector<TimedReply> read_until_closed(const std::vector<Fd> &clients, Clock::time_point since,
                                          Clock::time_point deadline) {
    std::vector<TimedReply> replies(clients.size());
    std::vector<pollfd> polls;
    for (const auto &fd : clients) polls.push_back({fd.get(), POLLIN, 0});
    size_t open = clients.size();
    std::string buffer(8192, '\0');
    while (open > 0) {
        int n = ::poll(polls.data(), polls.size(), remaining_ms(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        for (size_t i = 0; i < clients.size(); ++i) {
            if (polls[i].fd < 0 || polls[i].revents == 0) continue;
            ssize_t got = ::recv(polls[i].fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got > 0) {
                replies[i].reply.bytes.append(buffer.data(), static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                replies[i].reply.closed = true;
                replies[i].closed_after_s = seconds_since(since);
                polls[i].fd = -1;
                --open;
            }
        }
    }
    for (auto &r : replies)
        if (!r.reply.closed) r.reply.timed_out = true;
    return replies;
}

class Load : public ProxyTest {
protected:
    void SetUp() override {
        raise_own_descriptor_limit();
        ProxyTest::SetUp();
    }

    // Starts the daemon with further keys in its "HTTP" section, and takes
    // its starting counts.
    ::testing::AssertionResult start_with(const std::vector<std::pair<std::string, std::string>> &http_keys) {
        auto started = ProxyTest::start_with(http_keys);
        if (started) {
            baseline_fds_ = daemon().open_descriptors();
            baseline_ = usage_of(daemon().pid());
        }
        return started;
    }

    size_t fds() { return daemon().open_descriptors(); }
    Usage usage() { return usage_of(daemon().pid()); }

    // Connections to the proxy's port that the daemon has accepted and still
    // holds, as its own view of the network shows them. Unlike its
    // descriptor count, no file or socket it opens for a moment on its own
    // can shift this; a connection still in the accept queue has no inode.
    size_t held() {
        size_t count = 0;
        for (const char *table : {"tcp", "tcp6"}) {
            std::ifstream in("/proc/" + std::to_string(daemon().pid()) + "/net/" + table);
            std::string line;
            std::getline(in, line);  // the column heads
            while (std::getline(in, line)) {
                std::istringstream row(line);
                std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
                if (!(row >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >>
                      inode))
                    continue;
                const auto colon = local.rfind(':');
                if (colon == std::string::npos) continue;
                const unsigned long local_port = std::strtoul(local.c_str() + colon + 1, nullptr, 16);
                // Any state but listening: a refused client's socket is
                // held half-closed while its page drains.
                if (local_port == port() && state != "0A" && inode != "0") ++count;
            }
        }
        return count;
    }

    // One small GET through the proxy; true when the origin's reply came back whole.
    bool small_get(const QuickOrigin &origin, std::string *why = nullptr, Millis timeout = kIoTimeout) {
        Fd fd = connect_tcp("127.0.0.1", port());
        if (!fd.valid()) {
            if (why) *why = std::string("connect to the proxy failed: ") + std::strerror(errno);
            return false;
        }
        Reply reply = talk(fd, get_request(origin.port(), "/small"), SIZE_MAX, timeout);
        if (reply.bytes == kSmallReply && reply.closed) return true;
        if (why)
            *why = "reply of " + std::to_string(reply.bytes.size()) + " bytes" +
                   (reply.timed_out ? ", timed out" : "") + (reply.closed ? ", closed" : "") + ":\n" +
                   reply.bytes.substr(0, 300);
        return false;
    }

    // Opens `count` connections, each sending `first` at once, and returns
    // when the daemon has accepted every one. Connects are paced so that the
    // listen queue never overflows: an overflow costs a client a one-second
    // SYN retry. Empty on failure, with the reason in `why`.
    std::vector<Fd> open_held(size_t count, std::string_view first, const char *from, std::string *why) {
        std::vector<Fd> held;
        held.reserve(count);
        const size_t base = this->held();
        constexpr size_t kBatch = 16;
        while (held.size() < count) {
            for (size_t i = 0; i < kBatch && held.size() < count; ++i) {
                Fd fd = connect_tcp("127.0.0.1", port(), from);
                if (!fd.valid()) {
                    *why = "connect " + std::to_string(held.size() + 1) + " failed: " + std::strerror(errno);
                    return {};
                }
                if (!first.empty() && !send_all(fd, first)) {
                    *why = "send on connection " + std::to_string(held.size() + 1) + " failed";
                    return {};
                }
                held.push_back(std::move(fd));
            }
            const size_t want = base + held.size();
            if (!wait_until([&] { return this->held() >= want; }, kIoTimeout)) {
                *why = "the daemon holds " + std::to_string(this->held()) + " connections, expected " +
                       std::to_string(want) + " after " + std::to_string(held.size()) + " connects";
                return {};
            }
        }
        return held;
    }

    // Waits until the daemon's descriptors are back at the count taken at
    // start (or below it: one it held for a moment then may be gone).
    ::testing::AssertionResult descriptors_back(Millis timeout = 30'000ms) {
        if (wait_until([&] { return fds() <= baseline_fds_; }, timeout)) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the daemon holds " << fds() << " descriptors, " << baseline_fds_
                                             << " at start";
    }

    // Waits until no more threads run than the start-up ones plus the idle
    // pooled ones (at most 64): threads of closed connections take a moment
    // to wind down after their descriptors are gone.
    ::testing::AssertionResult threads_settle(Millis timeout = kIoTimeout) {
        if (wait_until([&] { return usage().threads <= baseline_.threads + 64; }, timeout))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the daemon runs " << usage().threads << " threads, "
                                             << baseline_.threads << " at start";
    }

    // Waits for idle pooled threads to end (they do after 10 s idle) and
    // the thread count to be back at the count taken at start.
    ::testing::AssertionResult threads_back(Millis timeout = 20'000ms) {
        if (wait_until([&] { return usage().threads == baseline_.threads; }, timeout))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "the daemon runs " << usage().threads << " threads, "
                                             << baseline_.threads << " at start";
    }

    size_t baseline_fds_ = 0;
    Usage baseline_;
};

// Tells whether a held connection is still open and unanswered: nothing to
// read, no hang-up.
bool quiet(const Fd &fd) {
    pollfd p{fd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

// Whether the client had to send a segment again: for one that only
// connected, the SYN of a handshake that a full queue dropped.
bool sent_again(const Fd &fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    return ::getsockopt(fd.get(), IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_total_retrans > 0;
}

TEST_F(Load, SlowClientsWaitWithoutThreadsWhileOtherRequestsAreServed) {
    const size_t slow = scaled(2000, 300);
    ASSERT_GT(own_descriptor_limit(), slow + 200) << "the test needs a higher descriptor limit";
    // Far fewer connections may work at once than wait: waiting is not work.
    constexpr size_t kCap = 50;
    ASSERT_TRUE(start_with({{"HTTPMaxClients", std::to_string(kCap)}, {"HTTPHeaderTimeout", "0"}}));
    QuickOrigin origin(kSmallReply, 2);

    // Each slow client starts a header that never ends; every other one
    // then sends nothing more.
    const std::string head = "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/slow HTTP/1.1\r\nX-Pad: ";
    std::string why;
    const auto opening = Clock::now();
    std::vector<Fd> clients = open_held(slow, head.substr(0, 10), nullptr, &why);
    ASSERT_EQ(clients.size(), slow) << why;
    const double open_s = seconds_since(opening);
    EXPECT_LE(usage().threads, baseline_.threads + 4) << "waiting clients got threads";

    // One more byte per client every 200 ms while the other requests run.
    std::atomic<bool> stop{false};
    std::atomic<size_t> trickled{0};
    std::thread trickle([&] {
        size_t offset = 10;
        const auto deadline = Clock::now() + 120s;
        while (!stop.load() && Clock::now() < deadline) {
            const char c = offset < head.size() ? head[offset] : 'a';
            for (size_t i = 0; i < clients.size(); i += 2) {
                if (::send(clients[i].get(), &c, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++trickled;
            }
            ++offset;
            std::this_thread::sleep_for(200ms);
        }
    });
    // Ordinary requests from a few clients at once meanwhile.
    const size_t gets = scaled(2000, 400);
    constexpr size_t kGetters = 4;
    std::atomic<size_t> failed{0};
    std::string first_failure;
    std::mutex failure_mutex;
    const auto serving = Clock::now();
    std::vector<std::thread> getters;
    for (size_t t = 0; t < kGetters; ++t) {
        getters.emplace_back([&] {
            for (size_t i = 0; i < gets / kGetters; ++i) {
                std::string reason;
                if (!small_get(origin, &reason) && failed++ == 0) {
                    std::lock_guard lock(failure_mutex);
                    first_failure = reason;
                }
            }
        });
    }
    for (auto &g : getters) g.join();
    const double gets_s = seconds_since(serving);
    const size_t threads_meanwhile = usage().threads;
    // Hold the slow clients until the trickling ones have taken three bytes
    // each, in all; clients that stopped taking them keep the count short.
    const bool trickled_on = wait_until([&] { return trickled.load() >= slow / 2 * 3; }, 30'000ms);
    stop = true;
    trickle.join();

    EXPECT_EQ(failed.load(), 0u) << "of " << gets << " requests; first: " << first_failure;
    EXPECT_TRUE(wait_until([&] { return origin.served() == gets; }, kIoTimeout)) << origin.served();
    EXPECT_TRUE(trickled_on) << trickled.load() << " bytes: the slow clients stopped taking bytes";
    EXPECT_LE(threads_meanwhile, baseline_.threads + kCap + 2 + 64) << "waiting clients got threads";
    size_t answered = 0;
    for (const auto &fd : clients)
        if (!quiet(fd)) ++answered;
    EXPECT_EQ(answered, 0u) << "slow clients answered or closed before their header ended";
    EXPECT_GE(held(), slow) << "the daemon let waiting clients go";
    const Usage loaded = usage();
    std::printf("[ load ] %zu slow clients (half of them silent) opened in %.2f s; %zu requests in %.2f s "
                "beside them, %zu failed; daemon threads %zu (%zu at start), RSS %zu KiB\n",
                slow, open_s, gets, gets_s, failed.load(), loaded.threads, baseline_.threads, loaded.rss_kib);

    clients.clear();
    EXPECT_TRUE(descriptors_back());
    EXPECT_TRUE(threads_settle());
    EXPECT_EQ(origin.served(), gets) << "a slow client's request reached the origin";
}

// Sends `request` one byte every 200 ms until the proxy closes the
// connection. Returns what came back and when the close came.
struct Trickled {
    Reply reply;
    double closed_after_s = 0;
    size_t bytes_sent = 0;
};

Trickled trickle_until_closed(const Fd &fd, std::string_view request, Millis limit) {
    Trickled out;
    const auto start = Clock::now();
    const auto deadline = start + limit;
    auto next_send = start;
    std::string buffer(4096, '\0');
    for (;;) {
        if (out.bytes_sent < request.size() && Clock::now() >= next_send) {
            if (::send(fd.get(), request.data() + out.bytes_sent, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1)
                ++out.bytes_sent;
            next_send += 200ms;
        }
        const int wait = std::min(remaining_ms(deadline), std::max(1, remaining_ms(next_send)));
        if (wait <= 0) {
            out.reply.timed_out = true;
            break;
        }
        pollfd p{fd.get(), POLLIN, 0};
        if (::poll(&p, 1, wait) <= 0) continue;
        ssize_t n = ::recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n > 0) {
            out.reply.bytes.append(buffer.data(), static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            out.reply.closed = true;
            break;
        }
    }
    out.closed_after_s = seconds_since(start);
    return out;
}

TEST_F(Load, HeaderDeadlineClosesTricklingAndSilentClients) {
    ASSERT_TRUE(start_with({{"HTTPHeaderTimeout", "2"}}));
    QuickOrigin origin(kSmallReply, 1);
    // Complete after about 20 s at one byte per 200 ms: far past the deadline.
    const std::string request = "GET http://127.0.0.1:" + std::to_string(origin.port()) +
                                "/late HTTP/1.1\r\nX-Pad: " + std::string(40, 'p') + "\r\n\r\n";
    ASSERT_GT(request.size() * 200, 12'000u);

    // The trickler and the silent client run side by side, so the daemon
    // meets both deadlines at once.
    Fd silent = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(silent.valid());
    Reply silent_reply;
    double silent_after_s = 0;
    std::thread silent_thread([&] {
        const auto start = Clock::now();
        silent_reply = talk(silent, "", SIZE_MAX, 15'000ms);
        silent_after_s = seconds_since(start);
    });
    Fd slow = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(slow.valid());
    Trickled trickled = trickle_until_closed(slow, request, 15'000ms);
    silent_thread.join();

    // Closed at the deadline: not before it, and before the header was whole
    // (about 20 s) or the silent client's own 15 s bound ran out.
    EXPECT_TRUE(IsErrorPage(trickled.reply, 400, "Bad Request", kInvalidRequest));
    EXPECT_GE(trickled.closed_after_s, 1.5);
    EXPECT_LT(trickled.bytes_sent, request.size()) << "the header was complete before the close";
    EXPECT_TRUE(IsErrorPage(silent_reply, 400, "Bad Request", kInvalidRequest));
    EXPECT_GE(silent_after_s, 1.5);
    EXPECT_EQ(origin.served(), 0u);
    std::printf("[ load ] trickling client closed after %.2f s (%zu of %zu bytes sent), silent client after %.2f s\n",
                trickled.closed_after_s, trickled.bytes_sent, request.size(), silent_after_s);

    // A client that beats the deadline is served as usual.
    std::string why;
    EXPECT_TRUE(small_get(origin, &why)) << why;
    slow.reset();
    silent.reset();
    EXPECT_TRUE(descriptors_back());
}

TEST_F(Load, ManyWaitingClientsAreEachClosedAtTheHeaderDeadline) {
    const size_t count = scaled(2000, 300);
    ASSERT_GT(own_descriptor_limit(), count + 200) << "the test needs a higher descriptor limit";
    constexpr int kDeadlineS = 3;
    ASSERT_TRUE(start_with({{"HTTPHeaderTimeout", std::to_string(kDeadlineS)}}));
    std::string why;
    const auto opened = Clock::now();
    std::vector<Fd> clients = open_held(count, "", nullptr, &why);
    ASSERT_EQ(clients.size(), count) << why;
    const double open_s = seconds_since(opened);
    // Half of them trickle a header that would end far past the deadline.
    const std::string head = "GET http://127.0.0.1:1/late HTTP/1.1\r\nX-Pad: " + std::string(200, 'p');
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (size_t offset = 0; offset < head.size() && !stop.load(); ++offset) {
            for (size_t i = 0; i < clients.size(); i += 2)
                (void)::send(clients[i].get(), &head[offset], 1, MSG_NOSIGNAL | MSG_DONTWAIT);
            std::this_thread::sleep_for(100ms);
        }
    });
    const auto replies = read_until_closed(clients, opened, opened + std::chrono::seconds(kDeadlineS + 20));
    stop = true;
    trickle.join();
    size_t pages = 0, early = 0, unclosed = 0;
    double first_s = 1e9, last_s = 0;
    for (const TimedReply &r : replies) {
        if (IsErrorPage(r.reply, 400, "Bad Request", kInvalidRequest)) ++pages;
        first_s = std::min(first_s, r.closed_after_s);
        last_s = std::max(last_s, r.closed_after_s);
        // Connects took open_s in all; each deadline runs from its own.
        if (r.closed_after_s < kDeadlineS - 0.05) ++early;
        // The read's bound, 20 s past the deadline, only guards against a hang.
        if (!r.reply.closed) ++unclosed;
    }
    EXPECT_EQ(pages, count) << "clients without the whole 400 page";
    EXPECT_EQ(early, 0u) << "closed before their deadline";
    EXPECT_EQ(unclosed, 0u) << "not closed at all";
    std::printf("[ load ] %zu waiting clients (half trickling) opened in %.2f s, closed with the 400 page "
                "between %.2f and %.2f s after the first connect\n",
                count, open_s, first_s, last_s);
    clients.clear();
    EXPECT_TRUE(descriptors_back());
}

TEST_F(Load, ListenerSurvivesDescriptorExhaustionWithoutSpinning) {
    constexpr rlim_t kLimit = 64;
    ASSERT_TRUE(start_with({{"HTTPHeaderTimeout", "0"}}));
    QuickOrigin origin(kSmallReply, 1);
    const pid_t pid = daemon().pid();
    // Lowered after start-up, so that the daemon's own raise of its soft
    // limit can't lift it again.
    rlimit low{kLimit, kLimit};
    ASSERT_EQ(::prlimit(pid, RLIMIT_NOFILE, &low, nullptr), 0) << std::strerror(errno);
    ASSERT_LT(fds(), kLimit - 8) << "the daemon holds too many descriptors at start for this test";

    // Idle connections until the daemon has no descriptor left.
    std::vector<Fd> idle;
    while (fds() < kLimit) {
        ASSERT_LT(idle.size(), size_t{kLimit}) << "descriptors do not run out";
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        idle.push_back(std::move(fd));
        ASSERT_TRUE(wait_until([&] { return held() >= idle.size() || fds() >= kLimit; }, kIoTimeout))
            << "the daemon holds " << fds() << " descriptors after " << idle.size() << " connections";
    }
    // These wait in the listen queue: each accept of them fails for want of
    // a descriptor. One carries a whole request, to be served once the
    // descriptors come back.
    std::vector<Fd> queued;
    for (int i = 0; i < 3; ++i) {
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        queued.push_back(std::move(fd));
    }
    ASSERT_TRUE(send_all(queued[0], get_request(origin.port(), "/queued")));

    const auto period = full_size() ? 10s : 2s;
    const long ticks_before = cpu_ticks(pid);
    std::this_thread::sleep_for(period);
    const long ticks_after = cpu_ticks(pid);
    ASSERT_TRUE(daemon().running()) << daemon().output();
    EXPECT_EQ(fds(), size_t{kLimit});
    EXPECT_TRUE(quiet(queued[0])) << "a queued request was served while no descriptor was free";
    const double cpu_s = static_cast<double>(ticks_after - ticks_before) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    const double period_s = std::chrono::duration<double>(period).count();
    // A listener retrying at once would burn a whole core.
    EXPECT_LT(cpu_s, 0.2 * period_s) << "the daemon used " << cpu_s << " s of CPU in " << period_s << " s";

    // Free the descriptors; a new request gets through: a listener that
    // gave up would leave it unanswered.
    idle.clear();
    const auto freed = Clock::now();
    std::string why;
    const bool served = small_get(origin, &why);
    const double served_after_s = seconds_since(freed);
    EXPECT_TRUE(served) << why;
    Reply late = talk(queued[0], "");
    EXPECT_EQ(late.bytes, kSmallReply) << "the request queued during the exhaustion";
    std::printf("[ load ] exhausted at %zu descriptors for %.1f s: daemon CPU %.3f s; "
                "request served %.3f s after the descriptors came back\n",
                static_cast<size_t>(kLimit), period_s, cpu_s, served_after_s);
    queued.clear();
    EXPECT_TRUE(descriptors_back());
}

// ---- Resets in the middle of bulk transfers --------------------------------

constexpr size_t kBulkBytes = 10 * 1024 * 1024;

const std::string &bulk_body() {
    static const std::string body = pattern_bytes(kBulkBytes, 23);
    return body;
}

std::string bulk_header() { return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBulkBytes) + "\r\n\r\n"; }

// A deterministic spread of cut points over the whole transfer.
size_t cut_point(size_t index, unsigned salt) {
    std::mt19937 rng(static_cast<unsigned>(index) * 7919u + salt);
    return std::uniform_int_distribution<size_t>(0, kBulkBytes - 1)(rng);
}

// Origin that sends 10 MiB on each connection and discards what it receives:
// as a plain origin it first reads the request header and sends a reply
// header; as a tunnel target it starts at once. When resetting, each
// connection ends with a reset at its own point of the body.
class BulkOrigin {
public:
    BulkOrigin(bool http, bool resets, int workers) : http_(http), resets_(resets), listener_(listen_tcp("127.0.0.1")) {
        port_ = local_port(listener_);
        set_nonblocking(listener_.get());
        std::tie(stop_read_, stop_write_) = stop_pipe();
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { serve(); });
    }
    ~BulkOrigin() {
        (void)!::write(stop_write_.get(), "x", 1);
        for (auto &t : threads_) t.join();
    }
    uint16_t port() const { return port_; }
    size_t accepted() const { return accepted_.load(); }
    size_t finished() const { return finished_.load(); }
    size_t timed_out() const { return timed_out_.load(); }

private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            Fd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
            if (!conn.valid()) continue;
            const size_t index = accepted_++;
            serve_one(conn, index);
            ++finished_;
        }
    }

    void serve_one(Fd &conn, size_t index) {
        const auto deadline = Clock::now() + 60s;
        std::string head;
        std::string out = http_ ? bulk_header() : std::string();
        const size_t body_start = out.size();
        const size_t reset_at = resets_ ? body_start + cut_point(index, 17) : SIZE_MAX;
        const std::string &body = bulk_body();
        size_t sent = 0;
        const size_t total = body_start + kBulkBytes;
        bool header_done = !http_;
        bool peer_done = false;
        std::string buffer(64 * 1024, '\0');
        for (;;) {
            if (header_done && sent >= reset_at) {
                reset_close(conn);
                return;
            }
            const bool sending = header_done && sent < total;
            if (!sending && peer_done) return;
            pollfd p{conn.get(), static_cast<short>((peer_done ? 0 : POLLIN) | (sending ? POLLOUT : 0)), 0};
            int n = ::poll(&p, 1, remaining_ms(deadline));
            if (n <= 0) {
                if (n == 0) ++timed_out_;
                return;
            }
            if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
                ssize_t got = ::recv(conn.get(), buffer.data(), buffer.size(), 0);
                if (got > 0) {
                    if (!header_done) {
                        head.append(buffer.data(), static_cast<size_t>(got));
                        header_done = head.find("\r\n\r\n") != std::string::npos;
                    }
                } else if (got == 0) {
                    peer_done = true;
                    if (!header_done) return;
                } else if (errno != EAGAIN && errno != EINTR) {
                    return;
                }
            }
            if (sending && (p.revents & POLLOUT)) {
                size_t limit = std::min(total, reset_at) - sent;
                const char *from = sent < body_start ? out.data() + sent : body.data() + (sent - body_start);
                size_t chunk = sent < body_start ? body_start - sent : std::min<size_t>(limit, 256 * 1024);
                chunk = std::min(chunk, limit);
                ssize_t w = ::send(conn.get(), from, chunk, MSG_NOSIGNAL);
                if (w > 0) sent += static_cast<size_t>(w);
                else if (w < 0 && errno != EAGAIN && errno != EINTR) return;  // the proxy went away
                if (sent == total) ::shutdown(conn.get(), SHUT_WR);
            }
        }
    }

    bool http_;
    bool resets_;
    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> finished_{0};
    std::atomic<size_t> timed_out_{0};
    std::vector<std::thread> threads_;
};

enum class Via { kGet, kTunnel };
enum class Resetter { kClient, kOrigin };

struct TransferResult {
    bool ok = false;
    std::string why;
    size_t received = 0;
};

// One 10 MiB transfer through the proxy that a reset cuts short. Through a
// tunnel the client uploads 10 MiB at the same time.
TransferResult run_transfer(uint16_t proxy_port, uint16_t origin_port, Via via, Resetter resetter, size_t index) {
    TransferResult r;
    Fd fd = connect_tcp("127.0.0.1", proxy_port);
    if (!fd.valid()) {
        r.why = std::string("connect failed: ") + std::strerror(errno);
        return r;
    }
    set_nonblocking(fd.get());
    const std::string target = "127.0.0.1:" + std::to_string(origin_port);
    std::string expected_head;
    std::string out;
    if (via == Via::kGet) {
        out = "GET http://" + target + "/bulk/" + std::to_string(index) + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
        expected_head = bulk_header();
    } else {
        out = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
        expected_head = "HTTP/1.1 200 OK\r\n\r\n";
    }
    const std::string &body = bulk_body();
    const size_t upload = via == Via::kTunnel ? kBulkBytes : 0;
    const size_t reset_after = resetter == Resetter::kClient ? expected_head.size() + cut_point(index, 31) : SIZE_MAX;
    const size_t expected_total = expected_head.size() + kBulkBytes;
    size_t out_sent = 0, up_sent = 0;
    bool established = via == Via::kGet;
    std::string head;
    std::string buffer(256 * 1024, '\0');
    const auto deadline = Clock::now() + 60s;
    for (;;) {
        if (r.received >= reset_after) {
            reset_close(fd);
            r.ok = true;
            return r;
        }
        const bool sending = out_sent < out.size() || (established && up_sent < upload);
        pollfd p{fd.get(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n <= 0) {
            r.why = "timed out after " + std::to_string(r.received) + " bytes";
            return r;
        }
        if (sending && (p.revents & POLLOUT)) {
            ssize_t w;
            if (out_sent < out.size()) {
                w = ::send(fd.get(), out.data() + out_sent, out.size() - out_sent, MSG_NOSIGNAL);
                if (w > 0) out_sent += static_cast<size_t>(w);
            } else {
                w = ::send(fd.get(), body.data() + up_sent, std::min<size_t>(upload - up_sent, 256 * 1024), MSG_NOSIGNAL);
                if (w > 0) up_sent += static_cast<size_t>(w);
            }
            if (w < 0 && errno != EAGAIN && errno != EINTR) {
                // The proxy ended the connection; what it sent before still counts.
                if (resetter == Resetter::kOrigin) {
                    r.ok = true;
                    return r;
                }
                r.why = std::string("send failed: ") + std::strerror(errno);
                return r;
            }
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            const size_t room = std::min(buffer.size(), std::min(reset_after, SIZE_MAX - 1) - r.received);
            ssize_t got = ::recv(fd.get(), buffer.data(), std::max<size_t>(room, 1), 0);
            if (got > 0) {
                // Every byte is checked against what the origin sent at that point.
                for (size_t i = 0; i < static_cast<size_t>(got);) {
                    const size_t at = r.received + i;
                    if (at >= expected_total) {
                        r.why = "more bytes than the origin sent";
                        return r;
                    }
                    const char *want = at < expected_head.size() ? expected_head.data() + at
                                                                 : body.data() + (at - expected_head.size());
                    const size_t span = std::min(static_cast<size_t>(got) - i,
                                                 at < expected_head.size() ? expected_head.size() - at
                                                                           : expected_total - at);
                    if (std::memcmp(buffer.data() + i, want, span) != 0) {
                        r.why = "bytes differ near offset " + std::to_string(at);
                        return r;
                    }
                    i += span;
                }
                r.received += static_cast<size_t>(got);
                if (!established && r.received >= expected_head.size()) established = true;
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                // The proxy ended the connection: expected only after the origin's reset.
                if (resetter == Resetter::kOrigin && r.received < expected_total) {
                    r.ok = true;
                } else {
                    r.why = "connection ended after " + std::to_string(r.received) + " bytes (" +
                            (got == 0 ? "EOF" : std::strerror(errno)) + ")";
                }
                return r;
            }
        }
    }
}

TEST_F(Load, ResetsMidTransferLeaveNoDescriptorOrThread) {
    const size_t per_kind = scaled(250, 20);
    constexpr int kConcurrency = 16;
    ASSERT_TRUE(start_with({}));
    bulk_body();
    BulkOrigin get_whole(true, false, kConcurrency + 4);
    BulkOrigin get_cut(true, true, kConcurrency + 4);
    BulkOrigin tunnel_whole(false, false, kConcurrency + 4);
    BulkOrigin tunnel_cut(false, true, kConcurrency + 4);

    struct Kind {
        const char *name;
        Via via;
        Resetter resetter;
        const BulkOrigin *origin;
    };
    const Kind kinds[4] = {{"GET, client resets", Via::kGet, Resetter::kClient, &get_whole},
                           {"GET, origin resets", Via::kGet, Resetter::kOrigin, &get_cut},
                           {"CONNECT, client resets", Via::kTunnel, Resetter::kClient, &tunnel_whole},
                           {"CONNECT, origin resets", Via::kTunnel, Resetter::kOrigin, &tunnel_cut}};

    std::atomic<size_t> next{0};
    std::atomic<size_t> failures[4] = {};
    std::atomic<uint64_t> bytes{0};
    std::mutex why_mutex;
    std::string first_why[4];
    const size_t total = 4 * per_kind;
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int t = 0; t < kConcurrency; ++t) {
        clients.emplace_back([&] {
            for (size_t i = next++; i < total; i = next++) {
                const Kind &k = kinds[i % 4];
                TransferResult r = run_transfer(port(), k.origin->port(), k.via, k.resetter, i / 4);
                bytes += r.received;
                if (!r.ok && failures[i % 4]++ == 0) {
                    std::lock_guard lock(why_mutex);
                    first_why[i % 4] = "transfer " + std::to_string(i / 4) + ": " + r.why;
                }
            }
        });
    }
    for (auto &t : clients) t.join();
    const double run_s = seconds_since(start);

    for (int k = 0; k < 4; ++k)
        EXPECT_EQ(failures[k].load(), 0u) << kinds[k].name << ", first: " << first_why[k];
    // Every origin connection has ended too: the proxy let none of them hang.
    for (const Kind &k : kinds) {
        EXPECT_EQ(k.origin->accepted(), per_kind) << k.name;
        EXPECT_TRUE(wait_until([&] { return k.origin->finished() == k.origin->accepted(); }, 30'000ms))
            << k.name << ": " << k.origin->accepted() - k.origin->finished() << " origin connections still open";
        EXPECT_EQ(k.origin->timed_out(), 0u) << k.name;
    }
    EXPECT_TRUE(descriptors_back());
    EXPECT_TRUE(threads_settle());
    const Usage settled = usage();
    EXPECT_TRUE(threads_back());
    std::printf("[ load ] %zu transfers cut by resets (%zu of each kind, %d at a time) in %.1f s, %.0f MiB received; "
                "daemon threads %zu after the run, %zu once idle ones ended, %zu at start; descriptors %zu\n",
                total, per_kind, kConcurrency, run_s, static_cast<double>(bytes.load()) / (1024.0 * 1024.0),
                settled.threads, usage().threads, baseline_.threads, fds());
}

TEST_F(Load, ManySmallRequestsDoNotGrowDescriptorsThreadsOrMemory) {
    const size_t total = scaled(100'000, 10'000);
    const size_t warm_up = scaled(5'000, 1'000);
    constexpr int kConcurrency = 4;
    ASSERT_TRUE(start_with({}));
    QuickOrigin origin(kSmallReply, kConcurrency + 2);

    std::atomic<size_t> failed{0};
    std::mutex why_mutex;
    std::string first_why;
    auto run = [&](size_t count) {
        std::atomic<size_t> next{0};
        std::vector<std::thread> clients;
        for (int t = 0; t < kConcurrency; ++t) {
            clients.emplace_back([&] {
                while (next++ < count) {
                    std::string why;
                    if (!small_get(origin, &why) && failed++ == 0) {
                        std::lock_guard lock(why_mutex);
                        first_why = why;
                    }
                }
            });
        }
        for (auto &t : clients) t.join();
    };

    run(warm_up);
    ASSERT_EQ(failed.load(), 0u) << first_why;
    ASSERT_TRUE(descriptors_back());
    const Usage warm = usage();
    const auto start = Clock::now();
    run(total - warm_up);
    const double run_s = seconds_since(start);
    EXPECT_EQ(failed.load(), 0u) << first_why;
    EXPECT_TRUE(wait_until([&] { return origin.served() == total; }, kIoTimeout)) << origin.served();
    EXPECT_TRUE(descriptors_back());
    EXPECT_TRUE(threads_settle());
    const Usage end = usage();
    // The same few pooled threads serve every request, so the heap reaches its
    // working size during the warm-up. What may still move is allocator noise:
    // free blocks handed back or kept per arena, a page of log buffer. 2 MiB
    // is far below what a leak of even a few bytes per request amounts to
    // over the run, and no reply comes out of the heap unevenly.
    const long grown_kib = static_cast<long>(end.rss_kib) - static_cast<long>(warm.rss_kib);
    if (!kUnderAsan) {
        EXPECT_LE(grown_kib, 2 * 1024) << "VmRSS " << warm.rss_kib << " KiB -> " << end.rss_kib << " KiB";
    }
    EXPECT_TRUE(threads_back());
    std::printf("[ load ] %zu requests (%d at a time) in %.1f s after a warm-up of %zu: %.0f requests/s; "
                "VmRSS %zu KiB after the warm-up, %zu KiB at the end (%+ld KiB); threads %zu at the end, %zu at start; "
                "descriptors %zu\n",
                total - warm_up, kConcurrency, run_s, warm_up, static_cast<double>(total - warm_up) / run_s,
                warm.rss_kib, end.rss_kib, grown_kib, end.threads, baseline_.threads, fds());
}

// Starts `count` connections from `from` as fast as the sockets allow,
// without waiting for any handshake: a burst, as many machines or a page
// full of resources make one. Empty on failure, with the reason in `why`.
std::vector<Fd> connect_burst(size_t count, uint16_t port, const char *from, std::string *why) {
    std::vector<Fd> clients;
    clients.reserve(count);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    ::inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    ::inet_pton(AF_INET, "127.0.0.1", &target.sin_addr);
    for (size_t i = 0; i < count; ++i) {
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        if (!fd.valid() || ::bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
            *why = "socket " + std::to_string(i + 1) + ": " + std::strerror(errno);
            return {};
        }
        if (::connect(fd.get(), reinterpret_cast<sockaddr *>(&target), sizeof target) != 0 &&
            errno != EINPROGRESS) {
            *why = "connect " + std::to_string(i + 1) + ": " + std::strerror(errno);
            return {};
        }
        clients.push_back(std::move(fd));
    }
    return clients;
}

TEST_F(Load, EveryOneOfABurstOfRefusedClientsIsAnsweredAtOnce) {
    // Far more than a short accept queue holds: a handshake the queue drops
    // costs its client a retry one, three, seven ... seconds later, which
    // its count of retransmissions shows however busy the machine is.
    constexpr size_t kCount = 1000;
    ASSERT_GT(own_descriptor_limit(), kCount + 100) << "the test needs a higher descriptor limit";
    ASSERT_TRUE(start_with({}));  // only 127.0.0.1 is allowed
    std::string why;
    const auto burst = Clock::now();
    std::vector<Fd> clients = connect_burst(kCount, port(), "127.0.0.2", &why);
    ASSERT_EQ(clients.size(), kCount) << why;
    const double opened_s = seconds_since(burst);
    const std::vector<TimedReply> replies = read_until_closed(clients, burst, burst + 20s);

    size_t answered = 0, retried = 0, unanswered = 0, wrong = 0;
    double slowest_s = 0;
    for (size_t i = 0; i < kCount; ++i) {
        const TimedReply &r = replies[i];
        if (sent_again(clients[i])) ++retried;
        if (r.reply.timed_out && r.reply.bytes.empty()) {
            ++unanswered;
            continue;
        }
        auto page = IsErrorPage(r.reply, 403, "Forbidden", kNotAllowed);
        if (!page) {
            if (wrong++ == 0) ADD_FAILURE() << "client " << i << ": " << page.message();
            continue;
        }
        slowest_s = std::max(slowest_s, r.closed_after_s);
        ++answered;
    }
    EXPECT_EQ(answered, kCount) << unanswered << " not answered in 20 s, " << wrong << " with a wrong reply";
    EXPECT_EQ(retried, 0u) << "handshakes dropped by a full queue and sent again (slowest answer "
                           << slowest_s << " s)";
    std::printf("[ load ] burst of %zu refused clients opened in %.3f s: %zu answered (slowest %.3f s), "
                "%zu handshakes sent again, %zu not answered in 20 s\n",
                kCount, opened_s, answered, slowest_s, retried, unanswered);
    clients.clear();
    EXPECT_TRUE(descriptors_back());
}

TEST_F(Load, EveryOneOfManyRefusedClientsGetsTheWholePage) {
    const size_t count = scaled(1000, 200);
    ASSERT_TRUE(start_with({}));  // only 127.0.0.1 is allowed
    // The page is sent on connect: all clients are connected before any
    // reads. The daemon lets a refused socket go once its page has drained
    // (at most a short linger), so what shows that it served every one is
    // its page waiting at each client, not the sockets it still holds.
    std::vector<Fd> clients;
    for (size_t i = 0; i < count; ++i) {
        Fd fd = connect_tcp("127.0.0.1", port(), "127.0.0.2");
        ASSERT_TRUE(fd.valid()) << "connect " << i + 1 << " failed: " << std::strerror(errno);
        clients.push_back(std::move(fd));
    }
    auto pages_waiting = [&] {
        std::vector<pollfd> fds;
        for (const Fd &c : clients) fds.push_back({c.get(), POLLIN, 0});
        if (::poll(fds.data(), fds.size(), 0) < 0) return false;
        return std::all_of(fds.begin(), fds.end(), [](const pollfd &p) { return (p.revents & (POLLIN | POLLHUP)) != 0; });
    };
    ASSERT_TRUE(wait_until(pages_waiting, 30'000ms)) << "not every refused client has its page waiting";

    const auto start = Clock::now();
    std::vector<Reply> replies;
    for (TimedReply &r : read_until_closed(clients, start, start + 30s)) replies.push_back(std::move(r.reply));
    size_t bad = 0;
    for (size_t i = 0; i < count; ++i) {
        auto page = IsErrorPage(replies[i], 403, "Forbidden", kNotAllowed);
        if (!page && bad++ == 0) ADD_FAILURE() << "client " << i << ": " << page.message();
    }
    EXPECT_EQ(bad, 0u) << "of " << count << " refused clients";
    clients.clear();
    EXPECT_TRUE(descriptors_back());

    // One log line per refused client.
    const std::string line = "Connection from 127.0.0.2 refused (HTTP/FTP)";
    auto logged = [&] {
        const std::string log = read_file(folder() / config_.log_file);
        size_t lines = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++lines;
        return lines;
    };
    EXPECT_TRUE(wait_until([&] { return logged() == count; }, 10'000ms)) << logged() << " log lines for " << count;
    std::printf("[ load ] %zu refused clients at once, %zu whole pages\n", count, count - bad);
}

const std::string_view kTooManyConnections =
    "<H1>Too many connections</H1>The proxy serves as many connections as it may; try again in a moment.";

TEST_F(Load, ConnectionPastTheCapGets503AtOnce) {
    constexpr size_t kCap = 50;
    ASSERT_TRUE(start_with({{"HTTPMaxClients", std::to_string(kCap)}, {"HTTPHeaderTimeout", "0"}}));
    QuickOrigin origin(kSmallReply, 1);
    // Tunnels to a target that takes the connection and never speaks: each
    // holds a connection thread, the work the cap counts.
    Fd target = listen_tcp("127.0.0.1");
    const std::string connect = "CONNECT 127.0.0.1:" + std::to_string(local_port(target)) + " HTTP/1.1\r\n\r\n";
    std::vector<Fd> held;
    for (size_t i = 0; i < kCap; ++i) {
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        ASSERT_EQ(talk(fd, connect, 19).bytes, "HTTP/1.1 200 OK\r\n\r\n") << "tunnel " << i;
        held.push_back(std::move(fd));
    }
    ASSERT_TRUE(wait_until([&] { return usage().threads >= baseline_.threads + kCap; }, kIoTimeout));
    const size_t threads_held = usage().threads;

    // A client still sending its request is not at work: it waits,
    // unanswered. Connected before the refused clients below, it has met
    // the listener before any of them is answered.
    Fd silent = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(silent.valid());
    // A request past the cap gets the page at once and goes nowhere.
    Fd eager = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(eager.valid());
    const auto asked = Clock::now();
    Reply eager_reply = talk(eager, get_request(origin.port(), "/eager"));
    const double answered_s = seconds_since(asked);
    EXPECT_TRUE(IsErrorPage(eager_reply, 503, "Service Unavailable", kTooManyConnections));
    // More of them cost no thread each: at most the one that closes them all.
    std::vector<Fd> refused;
    for (int i = 0; i < 20; ++i) {
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        Reply reply = talk(fd, get_request(origin.port(), "/past"));
        EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kTooManyConnections)) << "refused client " << i;
        refused.push_back(std::move(fd));
    }
    EXPECT_TRUE(quiet(silent)) << "a client that sent nothing was answered";
    EXPECT_EQ(origin.served(), 0u);
    EXPECT_LE(usage().threads, threads_held + 1) << "refused connections got threads of their own";
    for (const auto &fd : held) EXPECT_TRUE(quiet(fd)) << "a held tunnel was answered";
    EXPECT_TRUE(log_contains("Connection from 127.0.0.1 refused: too many connections (HTTPMaxClients 50)"));

    held.clear();
    // Its queued connections get a reset, which ends the tunnels' drains.
    target.reset();
    refused.clear();
    silent.reset();
    eager.reset();
    ASSERT_TRUE(descriptors_back());
    std::string why;
    EXPECT_TRUE(small_get(origin, &why)) << why;
    std::printf("[ load ] %zu tunnels held; a request past them answered in %.3f s\n", kCap, answered_s);
}

// Origin that answers every request with a reply that never ends, until the
// proxy closes the connection or a minute passes. It notes how long each
// connection lasted.
class StreamOrigin {
public:
    explicit StreamOrigin(int workers) : listener_(listen_tcp("127.0.0.1")) {
        port_ = local_port(listener_);
        set_nonblocking(listener_.get());
        std::tie(stop_read_, stop_write_) = stop_pipe();
        for (int i = 0; i < workers; ++i) threads_.emplace_back([this] { serve(); });
    }
    ~StreamOrigin() {
        (void)!::write(stop_write_.get(), "x", 1);
        for (auto &t : threads_) t.join();
    }
    uint16_t port() const { return port_; }
    size_t accepted() const { return accepted_.load(); }
    size_t ended() const { return ended_.load(); }
    // Seconds each finished connection lasted, from accept to its end.
    std::vector<double> lifetimes() const {
        std::lock_guard lock(mutex_);
        return lifetimes_;
    }

private:
    void serve() {
        for (;;) {
            pollfd p[2] = {{listener_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
            if (p[1].revents) return;
            Fd conn(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            if (!conn.valid()) continue;
            ++accepted_;
            const auto start = Clock::now();
            stream(conn, start + 60s);
            {
                std::lock_guard lock(mutex_);
                lifetimes_.push_back(seconds_since(start));
            }
            ++ended_;
        }
    }

    void stream(const Fd &conn, Clock::time_point deadline) {
        std::string head;
        std::string buffer(4096, '\0');
        while (head.find("\r\n\r\n") == std::string::npos) {
            pollfd c{conn.get(), POLLIN, 0};
            if (::poll(&c, 1, remaining_ms(deadline)) <= 0) return;
            ssize_t n = ::recv(conn.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0) return;
            head.append(buffer.data(), static_cast<size_t>(n));
        }
        if (!send_all(conn, "HTTP/1.1 200 OK\r\nContent-Type: audio/mpeg\r\n\r\n")) return;
        const std::string &body = bulk_body();
        size_t at = 0;
        pollfd stop{stop_read_.get(), POLLIN, 0};
        while (Clock::now() < deadline && ::poll(&stop, 1, 0) == 0) {
            pollfd c{conn.get(), POLLOUT, 0};
            if (::poll(&c, 1, 100) < 0) return;
            if (!(c.revents & (POLLOUT | POLLERR | POLLHUP))) continue;
            ssize_t w = ::send(conn.get(), body.data() + at, 64 * 1024, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (w < 0 && errno != EAGAIN && errno != EINTR) return;  // the proxy closed it
            if (w > 0) at = (at + static_cast<size_t>(w)) % (kBulkBytes - 64 * 1024);
        }
    }

    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::atomic<size_t> accepted_{0};
    std::atomic<size_t> ended_{0};
    mutable std::mutex mutex_;
    std::vector<double> lifetimes_;
    std::vector<std::thread> threads_;
};

TEST_F(Load, IdleTimeEndsStalledTunnelsDrainsAndStreams) {
    ASSERT_TRUE(start_with({{"HTTPIdleTimeout", "2"}}));
    EchoServer echo;
    StreamOrigin radio(2);
    const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";

    // A tunnel in which nothing moves.
    Fd tunnel = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(tunnel.valid());
    Reply opened = talk(tunnel, "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\n\r\n",
                        kEstablished.size());
    ASSERT_EQ(opened.bytes, kEstablished);
    const auto tunnel_opened = Clock::now();

    // A refused client that reads its page and then neither reads nor closes.
    Fd refused = connect_tcp("127.0.0.1", port(), "127.0.0.2");
    ASSERT_TRUE(refused.valid());
    EXPECT_TRUE(IsErrorPage(talk(refused, ""), 403, "Forbidden", kNotAllowed));

    // A client of an endless reply that goes away with a reset...
    Fd leaving = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(leaving.valid());
    Reply some = talk(leaving, get_request(radio.port(), "/stream"), 1024 * 1024);
    ASSERT_EQ(some.bytes.size(), 1024u * 1024u) << "the stream did not start";
    reset_close(leaving);
    // ...and one that stops reading but stays connected.
    Fd stalled = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(stalled.valid());
    ASSERT_TRUE(send_all(stalled, get_request(radio.port(), "/stream")));

    Reply ended = talk(tunnel, "", SIZE_MAX, 15'000ms);
    const double tunnel_s = seconds_since(tunnel_opened);
    // The client's own 15 s bound only guards against a tunnel left open.
    EXPECT_TRUE(ended.closed) << "the idle tunnel stayed open";
    EXPECT_EQ(ended.bytes, "");
    EXPECT_GE(tunnel_s, 1.5);

    // The proxy lets go of both streams although their origin never stops,
    // and of the refused client although it never closes. The stalled
    // reader's kernel buffer still takes a few bytes now and then as it is
    // compacted, and each such move restarts its idle time: allow a few.
    EXPECT_TRUE(wait_until([&] { return radio.ended() == 2; }, 30'000ms))
        << radio.ended() << " of " << radio.accepted() << " streams ended";
    EXPECT_TRUE(descriptors_back(10'000ms));
    std::string lifetimes;
    for (double s : radio.lifetimes()) lifetimes += std::to_string(s) + " s ";
    std::printf("[ load ] idle tunnel closed after %.2f s; endless replies cut after %s; descriptors %zu (%zu at start)\n",
                tunnel_s, lifetimes.c_str(), fds(), baseline_fds_);
}

// A listening socket whose queue is full and never accepted from: further
// connects to it get no answer at all, as with a host that drops them.
class JammedPort {
public:
    JammedPort() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || ::listen(listener_.get(), 0) != 0)
            throw std::runtime_error("cannot listen for the jammed port");
        port_ = local_port(listener_);
        for (int i = 0; i < 4; ++i) {
            Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
            sa.sin_port = htons(port_);
            (void)::connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
            fillers_.push_back(std::move(fd));
        }
    }
    uint16_t port() const { return port_; }
    // True when some connect is still unanswered after 300 ms: past the
    // first SYN's answer, well before its retry.
    bool jammed() const {
        std::vector<pollfd> polls;
        for (const auto &fd : fillers_) polls.push_back({fd.get(), POLLOUT, 0});
        const auto deadline = Clock::now() + 300ms;
        while (Clock::now() < deadline) {
            for (auto &p : polls) p.revents = 0;
            ::poll(polls.data(), polls.size(), remaining_ms(deadline));
            // Answered connects are taken out; poll then waits for the rest.
            for (auto &p : polls)
                if (p.revents) p.fd = -1;
        }
        return std::any_of(polls.begin(), polls.end(), [](const pollfd &p) { return p.fd >= 0; });
    }

private:
    Fd listener_;
    uint16_t port_ = 0;
    std::vector<Fd> fillers_;
};

TEST_F(Load, ConnectTimeoutAnswersSilentTargetsWithTheRefusedPage) {
    ASSERT_TRUE(start_with({{"HTTPConnectTimeout", "2"}}));
    JammedPort target;
    ASSERT_TRUE(target.jammed()) << "the listen queue did not fill";
    const std::string where = "127.0.0.1:" + std::to_string(target.port());

    Reply tunnel, get;
    double tunnel_s = 0, get_s = 0;
    std::thread tunnel_client([&] {
        const auto start = Clock::now();
        Fd fd = connect_tcp("127.0.0.1", port());
        if (fd.valid()) tunnel = talk(fd, "CONNECT " + where + " HTTP/1.1\r\n\r\n", SIZE_MAX, 20'000ms);
        tunnel_s = seconds_since(start);
    });
    const auto start = Clock::now();
    Fd fd = connect_tcp("127.0.0.1", port());
    if (fd.valid()) get = talk(fd, "GET http://" + where + "/ HTTP/1.1\r\nHost: " + where + "\r\n\r\n", SIZE_MAX, 20'000ms);
    get_s = seconds_since(start);
    tunnel_client.join();

    // Without the time-out the connects would go on for minutes, and no page
    // would come within the clients' own 20 s bound.
    EXPECT_TRUE(IsErrorPage(tunnel, 503, "Service Unavailable", kConnectionRefused));
    EXPECT_TRUE(IsErrorPage(get, 503, "Service Unavailable", kConnectionRefused));
    EXPECT_GE(tunnel_s, 1.5);
    EXPECT_GE(get_s, 1.5);
    fd.reset();
    EXPECT_TRUE(descriptors_back());
    std::printf("[ load ] connects to a silent target given up after %.2f s (CONNECT) and %.2f s (GET)\n", tunnel_s,
                get_s);
}

}  // namespace
}  // namespace e2e
