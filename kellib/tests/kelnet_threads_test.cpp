#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
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

}  // namespace

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

TEST(Locks, MutexReportsMisuse) {
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
