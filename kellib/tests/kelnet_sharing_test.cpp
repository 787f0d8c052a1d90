// What the network core shares between threads that do not otherwise
// synchronise: a ThreadSanitizer build turns a missing order into a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

#include "kelnet.h"
#include "kelplat/net.h"
#include "net_helpers.h"

using namespace kel;
using namespace kel::test;
using namespace std::chrono_literals;

namespace {

using Clock = std::chrono::steady_clock;

bool quick_resolver(const char *, uint32_t *addr) {
    *addr = net::addr_from_octets(192, 0, 2, 9);
    return true;
}

}  // namespace

// The server's status polls the listening socket from the host's thread
// while the server thread opens it.
TEST(Sharing, ListeningSocketIsPublishedToAThreadThatPolls) {
    uint32_t sd = KELNET_INVALIDE;
    std::atomic<bool> polled{false};
    std::atomic<bool> seen{false};
    std::thread poller([&] {
        const auto deadline = Clock::now() + 10s;
        while (Clock::now() < deadline) {
            const bool valid = std::atomic_ref<uint32_t>(sd).load() != KELNET_INVALIDE;
            // Relaxed on purpose: only the socket's publication may order
            // the two threads, as in the server.
            polled.store(true, std::memory_order_relaxed);
            if (valid) {
                seen.store(true, std::memory_order_relaxed);
                return;
            }
        }
    });
    const auto deadline = Clock::now() + 10s;
    while (!polled.load(std::memory_order_relaxed) && Clock::now() < deadline) {
    }
    ASSERT_EQ(kelnet_cree_ecouteur(0, loopback(), &sd), 0);
    poller.join();
    Sock owned(sd);
    EXPECT_TRUE(seen.load());
    EXPECT_NE(net::local_port(sd), 0);
}

// Detached connection threads still resolve names while the library
// unloads at process exit; the last kelnet_term must not free the lock
// under a look-up that loaded it.
TEST(Sharing, LastTermLeavesTheResolverLockToALookUpThatTookIt) {
    const net::Resolver previous = net::set_resolver(quick_resolver);
    std::atomic<bool> resolved{false};
    uint32_t addr = KELNET_AUCUNE_ADRESSE;
    std::thread lookup([&] {
        addr = kelnet_resoudre_adresse("quick.test");
        // Relaxed on purpose: nothing orders a connection thread's look-up
        // before the unload at exit either.
        resolved.store(true, std::memory_order_relaxed);
    });
    const auto deadline = Clock::now() + 10s;
    while (!resolved.load(std::memory_order_relaxed) && Clock::now() < deadline) {
    }
    EXPECT_EQ(kelnet_term(), 0);
    EXPECT_EQ(kelnet_init(), 0);
    lookup.join();
    net::set_resolver(previous);
    EXPECT_EQ(addr, net::addr_from_octets(192, 0, 2, 9));
    // The lock serves the next set-up: names resolve again.
    EXPECT_EQ(kelnet_resoudre_adresse("localhost"), loopback());
}
