// The per-client budget, driven with a clock of the test's own.
#include "rate_limit.h"

#include <gtest/gtest.h>

namespace kel::dns {
namespace {

using namespace std::chrono_literals;

net::IpAddress address(const char *text) {
    net::IpAddress a;
    EXPECT_TRUE(net::parse_ip(text, &a));
    return a;
}

int admitted(RateLimit &r, const net::IpAddress &a, int asks, RateLimit::Clock::time_point at) {
    int n = 0;
    for (int i = 0; i < asks; ++i) n += r.admit(a, at) ? 1 : 0;
    return n;
}

TEST(RateLimit, AClientGetsTwiceItsRateInABurstThenItsRateAndOthersKeepTheirOwn) {
    RateLimit r(10);
    const auto t0 = RateLimit::Clock::now();
    const net::IpAddress flood = address("192.0.2.7"), other = address("192.0.2.8"), v6 = address("2001:db8::7");
    EXPECT_EQ(admitted(r, flood, 100, t0), 20);
    EXPECT_EQ(admitted(r, flood, 100, t0 + 500ms), 5);  // half a second refills half the rate
    EXPECT_EQ(admitted(r, other, 100, t0 + 500ms), 20);
    EXPECT_EQ(admitted(r, v6, 100, t0 + 500ms), 20);
    // Quiet for long, the budget is back to the burst, never beyond.
    EXPECT_EQ(admitted(r, flood, 100, t0 + 1h), 20);
    // A clock that goes back refills nothing.
    EXPECT_EQ(admitted(r, flood, 100, t0), 0);
}

TEST(RateLimit, ZeroMeansNoLimitAndANewRateAppliesAtOnce) {
    RateLimit r(0);
    const auto t0 = RateLimit::Clock::now();
    const net::IpAddress a = address("192.0.2.7");
    EXPECT_EQ(admitted(r, a, 100000, t0), 100000);
    r.set_rate(1);
    EXPECT_EQ(admitted(r, a, 10, t0 + 1s), 2);
    r.set_rate(0);
    EXPECT_EQ(admitted(r, a, 10, t0 + 1s), 10);
}

// However many sources a flood comes from (a spoofed one has any address),
// the table stays its size and each slot its budget: sources that share a
// slot share its budget.
TEST(RateLimit, ManySourcesShareTheFixedTableWithoutExceedingAnySlotsBudget) {
    RateLimit r(1);
    const auto t0 = RateLimit::Clock::now();
    int total = 0;
    for (std::uint32_t i = 0; i < 100000; ++i) {
        net::IpAddress a = address("10.0.0.0");
        a.bytes[1] = static_cast<std::uint8_t>(i >> 16);
        a.bytes[2] = static_cast<std::uint8_t>(i >> 8);
        a.bytes[3] = static_cast<std::uint8_t>(i);
        total += r.admit(a, t0) ? 1 : 0;
    }
    EXPECT_LE(total, static_cast<int>(2 * RateLimit::kSlots));
    EXPECT_GT(total, 0);
}

}  // namespace
}  // namespace kel::dns
