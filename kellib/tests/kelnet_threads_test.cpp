#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "kelnet.h"
#include "kelplat/net.h"
#include "kelplat/sync.h"
#include "kelplat/thread.h"
#include "net_helpers.h"

using namespace kel;
using namespace std::chrono_literals;

namespace {

struct DeepPath {
    std::promise<std::string> done;
};

// What a connection thread does at its deepest: a look-up through the
// system resolver and formatted output, on the connection stack size.
void deep_path(void *arg) {
    auto *d = static_cast<DeepPath *>(arg);
    char ip[16];
    kelnet_aff_adresse(kelnet_resoudre_adresse("localhost"), ip);
    char line[2048];
    std::snprintf(line, sizeof line, "%s %.300f %s", ip, 1e300, std::string(1500, 'x').c_str());
    d->done.set_value(std::string(line, 9));
}

// Tells OS threads apart even when the system reuses an ended thread's
// identifier: a new thread starts with a zero token.
std::atomic<int> g_next_token{0};
thread_local int t_token = 0;

int thread_token() {
    if (t_token == 0) t_token = ++g_next_token;
    return t_token;
}

template <class Pred>
bool wait_until(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A routine's report back to the test.
struct Report {
    std::promise<int> token;
    int last_error = -1;
    int errno_seen = -1;
};

void report_token(void *arg) {
    auto *r = static_cast<Report *>(arg);
    r->last_error = net::last_error();
    r->errno_seen = errno;
    // Leaves errors behind for whoever runs next on this thread.
    net::set_last_error(net::kErrHostNotFound);
    errno = EPERM;
    r->token.set_value(thread_token());
}

std::size_t busy_threads() {
    const thread::PoolCounts c = thread::pool_counts();
    return c.live - c.idle;
}

// Runs report_token on a pooled thread and waits for it to finish and for
// its thread to wait idle again. Returns the thread's token, 0 on failure.
int run_and_settle(Report &r) {
    const std::size_t busy_before = busy_threads();
    auto token = r.token.get_future();
    if (thread::start_detached(report_token, &r) != 0) return 0;
    if (token.wait_for(10s) != std::future_status::ready) return 0;
    const int t = token.get();
    if (!wait_until([&] { return busy_threads() <= busy_before; }, 10s)) return 0;
    return t;
}

// Blocks its routine until the test opens it; bounded.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    int arrived = 0;

    void arrive_and_wait() {
        std::unique_lock<std::mutex> hold(m);
        ++arrived;
        cv.notify_all();
        cv.wait_for(hold, 20s, [&] { return open; });
    }
    bool wait_arrivals(int n) {
        std::unique_lock<std::mutex> hold(m);
        return cv.wait_for(hold, 10s, [&] { return arrived >= n; });
    }
    void release() {
        std::lock_guard<std::mutex> hold(m);
        open = true;
        cv.notify_all();
    }
};

struct GateTask {
    Gate *gate;
    std::promise<void> done;
};

void gated(void *arg) {
    auto *t = static_cast<GateTask *>(arg);
    t->gate->arrive_and_wait();
    t->done.set_value();
}

// Holds "slow.test" in the look-up until the test releases it; answers
// "quick.test" at once.
Gate *g_slow_gate = nullptr;

bool gated_resolver(const char *name, uint32_t *addr) {
    if (std::string(name) == "slow.test") {
        g_slow_gate->arrive_and_wait();
        *addr = net::addr_from_octets(192, 0, 2, 1);
        return true;
    }
    if (std::string(name) == "quick.test") {
        *addr = net::addr_from_octets(192, 0, 2, 2);
        return true;
    }
    net::set_last_error(net::kErrHostNotFound);
    return false;
}

struct ResolverOverride {
    explicit ResolverOverride(net::Resolver r) : previous(net::set_resolver(r)) {}
    ~ResolverOverride() { net::set_resolver(previous); }
    net::Resolver previous;
};

// Puts the idle time back whatever the test's outcome.
struct IdleTime {
    int previous;
    explicit IdleTime(int ms) : previous(thread::set_idle_ms(ms)) {}
    ~IdleTime() { thread::set_idle_ms(previous); }
};

}  // namespace

TEST(Threads, ShortRoutinesReuseIdleThreads) {
    constexpr int kRoutines = 40;
    std::set<int> tokens;
    for (int i = 0; i < kRoutines; ++i) {
        Report r;
        const int token = run_and_settle(r);
        ASSERT_NE(token, 0) << "routine " << i;
        tokens.insert(token);
    }
    // One after another, each routine finds the previous one's thread idle.
    EXPECT_LT(tokens.size(), static_cast<std::size_t>(kRoutines));
    EXPECT_LE(tokens.size(), 2u);
}

TEST(Threads, EveryRoutineStartsWithClearedErrors) {
    Report first;
    const int token = run_and_settle(first);
    ASSERT_NE(token, 0);
    Report second;
    ASSERT_EQ(run_and_settle(second), token);  // the same thread, reused
    EXPECT_EQ(second.last_error, 0);
    EXPECT_EQ(second.errno_seen, 0);
}

TEST(Threads, LongRoutinesNeverBlockNewStarts) {
    // Idle threads are there to be taken first.
    Report warm;
    ASSERT_NE(run_and_settle(warm), 0);

    // Each routine has a thread to itself: all of them must be inside at
    // once, or none gets out before the gate opens.
    constexpr int kRoutines = 4;
    Gate gate;
    GateTask tasks[kRoutines];
    for (auto &t : tasks) {
        t.gate = &gate;
        ASSERT_EQ(thread::start_detached(gated, &t), 0);
    }
    const bool all_inside = gate.wait_arrivals(kRoutines);

    // A short routine still runs while they are all blocked.
    Report quick;
    auto token = quick.token.get_future();
    ASSERT_EQ(thread::start_detached(report_token, &quick), 0);
    const bool quick_ran = token.wait_for(10s) == std::future_status::ready;
    gate.release();
    for (auto &t : tasks) ASSERT_EQ(t.done.get_future().wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(all_inside);
    EXPECT_TRUE(quick_ran);
}

TEST(Threads, IdleThreadsEndAfterTheIdleTime) {
    IdleTime shorter(300);
    // Threads left idle by earlier tests end first.
    ASSERT_TRUE(wait_until([] { return thread::pool_counts().idle == 0; }, 10s));
    const std::size_t live_before = thread::pool_counts().live;

    Report r;
    const int first = run_and_settle(r);
    ASSERT_NE(first, 0);
    EXPECT_TRUE(wait_until(
        [&] {
            const thread::PoolCounts c = thread::pool_counts();
            return c.idle == 0 && c.live <= live_before;
        },
        10s));

    // The next routine gets a new thread.
    Report again;
    auto token = again.token.get_future();
    ASSERT_EQ(thread::start_detached(report_token, &again), 0);
    ASSERT_EQ(token.wait_for(10s), std::future_status::ready);
    EXPECT_NE(token.get(), first);
}

TEST(Threads, ConnectionStackHoldsTheResolverAndFormattedOutput) {
    DeepPath d;
    auto result = d.done.get_future();
    ASSERT_EQ(thread::start_detached(deep_path, &d), 0);
    ASSERT_EQ(result.wait_for(30s), std::future_status::ready);
    EXPECT_EQ(result.get(), "127.0.0.1");
}

TEST(Threads, StartFailureIsReportedAndLeavesTheArgumentToTheCaller) {
    // A stack too small for any thread makes the system refuse the start.
    int value = 0;
    const int err = thread::start_detached(
        [](void *p) { ++*static_cast<int *>(p); }, &value, 1);
    EXPECT_NE(err, 0);
    EXPECT_STRNE(thread::error_text(err), "");
    EXPECT_EQ(value, 0);
}

TEST(Threads, IdleThreadsOfAnotherStackSizeAreNotTaken) {
    Report warm;
    ASSERT_NE(run_and_settle(warm), 0);
    ASSERT_GE(thread::pool_counts().idle, 1u);
    int value = 0;
    EXPECT_NE(thread::start_detached([](void *p) { ++*static_cast<int *>(p); }, &value, 1), 0);
    EXPECT_EQ(value, 0);
}

TEST(Threads, ForkedChildStartsThreadsOfItsOwn) {
#if defined(KELPLAT_THREAD_SANITIZER)
    GTEST_SKIP() << "ThreadSanitizer ends a child of a threaded process that starts a thread";
#endif
    Report warm;
    ASSERT_NE(run_and_settle(warm), 0);
    ASSERT_GE(thread::pool_counts().idle, 1u);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The parent's idle threads don't exist here; a routine handed to
        // one of them would never run.
        if (thread::pool_counts().idle != 0) ::_exit(2);
        std::atomic<bool> ran{false};
        if (thread::start_detached([](void *p) { static_cast<std::atomic<bool> *>(p)->store(true); },
                                   &ran) != 0)
            ::_exit(3);
        ::_exit(wait_until([&] { return ran.load(); }, 10s) ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the routine never ran, 2: idle threads inherited";
}

TEST(Resolution, OtherNamesResolveWhileOneLookUpIsSlow) {
    Gate gate;
    g_slow_gate = &gate;
    ResolverOverride hook(gated_resolver);
    auto slow = std::async(std::launch::async, [] { return kelnet_resoudre_adresse("slow.test"); });
    const bool slow_inside = gate.wait_arrivals(1);

    const uint32_t quick = kelnet_resoudre_adresse("quick.test");
    const bool slow_still_blocked = slow.wait_for(0s) == std::future_status::timeout;
    gate.release();
    ASSERT_EQ(slow.wait_for(20s), std::future_status::ready);
    EXPECT_TRUE(slow_inside);
    EXPECT_EQ(quick, net::addr_from_octets(192, 0, 2, 2));
    EXPECT_TRUE(slow_still_blocked);
    EXPECT_EQ(slow.get(), net::addr_from_octets(192, 0, 2, 1));
}

TEST(Locks, MutexReportsMisuse) {
#if defined(KELPLAT_THREAD_SANITIZER)
    GTEST_SKIP() << "ThreadSanitizer reports the deliberate misuse itself";
#endif
    sync::Mutex m;
    ASSERT_TRUE(m.valid());
    EXPECT_FALSE(m.unlock());  // not held
    ASSERT_TRUE(m.lock());
    EXPECT_FALSE(m.lock());  // held by this thread already
    bool other_unlocked = true;
    std::thread([&] { other_unlocked = m.unlock(); }).join();
    EXPECT_FALSE(other_unlocked);
    EXPECT_TRUE(m.unlock());
}

TEST(Locks, ReadersShareAndAWriterExcludes) {
    sync::RwLock l;
    ASSERT_TRUE(l.valid());
    ASSERT_TRUE(l.lock_shared());
    // A second reader gets in while the first holds the lock.
    auto reader = std::async(std::launch::async, [&] {
        const bool in = l.lock_shared();
        return in && l.unlock_shared();
    });
    ASSERT_EQ(reader.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(reader.get());

    std::atomic<bool> writer_in{false};
    auto writer = std::async(std::launch::async, [&] {
        const bool in = l.lock();
        writer_in = true;
        return in && l.unlock();
    });
    EXPECT_EQ(writer.wait_for(50ms), std::future_status::timeout);
    EXPECT_FALSE(writer_in.load());
    ASSERT_TRUE(l.unlock_shared());
    ASSERT_EQ(writer.wait_for(10s), std::future_status::ready);
    EXPECT_TRUE(writer.get());
}
