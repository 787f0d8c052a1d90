// The forwarder against name servers of the test's own on loopback: one
// that answers, one that never does, one that fails, one that truncates,
// one whose answers are spoofed first.
#include "forwarder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

#include "cache.h"
#include "fake_server.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"

namespace kel::dns {
namespace {

using test::FakeServer;
using test::query;
using Bytes = std::vector<std::uint8_t>;
constexpr auto kPatience = test::kPatience;

std::string key_of(const Query &q) {
    std::string key;
    Cache::make_key(q, key);
    return key;
}

// What the resolves of a test ended with, in the order they ended.
class Outcomes {
public:
    Forwarder::Done callback() {
        return [this](const Answer *a) {
            std::lock_guard lock(mu_);
            got_.push_back(a ? std::optional<Answer>(*a) : std::nullopt);
            cv_.notify_all();
        };
    }
    bool await(std::size_t n) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kPatience, [&] { return got_.size() >= n; });
    }
    std::optional<Answer> at(std::size_t i) {
        std::lock_guard lock(mu_);
        return got_.at(i);
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::optional<Answer>> got_;
};

// The tag of the server that answered: the last byte of its A record.
int answered_by(const std::optional<Answer> &a) { return a && !a->wire.empty() ? a->wire.back() : -1; }

std::size_t answer_records(const Answer &a) { return static_cast<std::size_t>(a.wire[6] << 8 | a.wire[7]); }

// What a silent server costs a test. A server that answers does so well
// within it even on a loaded machine; no test counts on how long it takes.
Forwarder::Options quick() {
    Forwarder::Options o;
    o.timeout_ms = 1000;
    return o;
}

TEST(ForwarderAnswers, ComeFromTheServerAskedWithTheirTtl) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    Forwarder f(quick());
    f.set_servers({up.server()});
    Outcomes out;
    const Query q = query("www.example.com");
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(out.await(1));
    const auto a = out.at(0);
    ASSERT_TRUE(a.has_value());
    EXPECT_EQ(a->rcode, kNoError);
    EXPECT_EQ(a->ttl, 300u);
    EXPECT_EQ(answered_by(a), 1);
    EXPECT_EQ(f.in_flight(), 0u);
    EXPECT_EQ(f.counts().answered, 1u);
}

TEST(ForwarderAnswers, SpoofedOnesWithAnotherIdOrFromAnotherPortAreIgnored) {
    FakeServer up(FakeServer::Mode::SpoofFirst, 5);
    Forwarder f(quick());
    f.set_servers({up.server()});
    Outcomes out;
    const Query q = query("bank.example");
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(out.await(1));
    EXPECT_EQ(answered_by(out.at(0)), 5);
    EXPECT_GE(f.counts().ignored, 2u);
}

TEST(ForwarderAnswers, EachQueryGoesOutWithAnIdAndSourcePortOfItsOwn) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    Forwarder f(quick());
    f.set_servers({up.server()});
    Outcomes out;
    constexpr int kQueries = 64;
    for (int i = 0; i < kQueries; ++i) {
        const Query q = query("n" + std::to_string(i) + ".example");
        ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    }
    ASSERT_TRUE(out.await(kQueries));
    const auto ids = up.ids();
    const auto ports = up.source_ports();
    // 64 draws from 65,536 values: a handful of repeats at most, unless
    // something counts instead of drawing.
    EXPECT_GT(std::set<std::uint16_t>(ids.begin(), ids.end()).size(), 56u);
    EXPECT_GT(std::set<std::uint16_t>(ports.begin(), ports.end()).size(), 32u);
}

TEST(ForwarderAnswers, ATruncatedOneIsAskedAgainOverTcp) {
    FakeServer up(FakeServer::Mode::Truncate, 3);
    Forwarder f(quick());
    f.set_servers({up.server()});
    Outcomes out;
    const Query q = query("big.example", kTypeA);
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(out.await(1));
    const auto a = out.at(0);
    ASSERT_TRUE(a.has_value());
    EXPECT_FALSE(a->truncated);
    EXPECT_EQ(answer_records(*a), 3u);
    EXPECT_EQ(up.tcp_queries(), 1);
    EXPECT_EQ(f.counts().tcp_retries, 1u);
}

TEST(ForwarderServers, ASilentOneIsSkippedAndThenAskedLast) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    FakeServer good(FakeServer::Mode::Answer, 2);
    Forwarder f(quick());
    f.set_servers({silent.server(), good.server()});
    Outcomes out;
    const Query first = query("a.example");
    ASSERT_TRUE(f.resolve(first, key_of(first), out.callback()));
    ASSERT_TRUE(out.await(1));
    EXPECT_EQ(answered_by(out.at(0)), 2);
    EXPECT_EQ(f.counts().timeouts, 1u);
    // Remembered as slow: the next question goes to the good one first.
    const Query second = query("b.example");
    ASSERT_TRUE(f.resolve(second, key_of(second), out.callback()));
    ASSERT_TRUE(out.await(2));
    EXPECT_EQ(answered_by(out.at(1)), 2);
    const auto good_arrivals = good.arrivals(), silent_arrivals = silent.arrivals();
    ASSERT_EQ(good_arrivals.size(), 2u);
    ASSERT_FALSE(silent_arrivals.empty());
    EXPECT_LT(silent_arrivals[0], good_arrivals[0]);
    if (silent_arrivals.size() > 1) {
        EXPECT_LT(good_arrivals[1], silent_arrivals[1]);
    }
}

TEST(ForwarderServers, OneThatFailsGivesWayAndItsFailureIsGivenWhenAllFail) {
    FakeServer failing(FakeServer::Mode::ServFail, 1);
    FakeServer good(FakeServer::Mode::Answer, 2);
    Forwarder f(quick());
    f.set_servers({failing.server(), good.server()});
    Outcomes out;
    const Query q = query("c.example");
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(out.await(1));
    EXPECT_EQ(answered_by(out.at(0)), 2);

    f.set_servers({failing.server()});
    const Query alone = query("d.example");
    ASSERT_TRUE(f.resolve(alone, key_of(alone), out.callback()));
    ASSERT_TRUE(out.await(2));
    ASSERT_TRUE(out.at(1).has_value());
    EXPECT_EQ(out.at(1)->rcode, kServFail);
    EXPECT_EQ(out.at(1)->ttl, 0u);
}

TEST(ForwarderServers, WhenNoneAnswersTheQuestionEndsWithNothing) {
    FakeServer a(FakeServer::Mode::Silent, 1), b(FakeServer::Mode::Silent, 2);
    Forwarder f(quick());
    f.set_servers({a.server(), b.server()});
    Outcomes out;
    const Query q = query("e.example");
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(out.await(1));
    EXPECT_FALSE(out.at(0).has_value());
    EXPECT_EQ(a.udp_queries() + b.udp_queries(), 2);
    EXPECT_EQ(f.counts().failed, 1u);
    EXPECT_EQ(f.in_flight(), 0u);
}

TEST(ForwarderServers, WithoutAnyOrPastTheBoundNothingIsAsked) {
    Forwarder f(quick());
    Outcomes out;
    const Query q = query("f.example");
    EXPECT_FALSE(f.resolve(q, key_of(q), out.callback()));

    FakeServer silent(FakeServer::Mode::Silent, 1);
    Forwarder::Options o = quick();
    o.timeout_ms = 60000;
    o.max_in_flight = 2;
    Forwarder bounded(o);
    bounded.set_servers({silent.server()});
    const Query q1 = query("g1.example"), q2 = query("g2.example"), q3 = query("g3.example");
    EXPECT_TRUE(bounded.resolve(q1, key_of(q1), out.callback()));
    EXPECT_TRUE(bounded.resolve(q2, key_of(q2), out.callback()));
    EXPECT_FALSE(bounded.resolve(q3, key_of(q3), out.callback()));
    // A question already on its way can still be joined.
    EXPECT_TRUE(bounded.resolve(q1, key_of(q1), out.callback()));
}

TEST(ForwarderSharing, ConcurrentAsksOfOneQuestionSendOneQuery) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    FakeServer good(FakeServer::Mode::Answer, 2);
    Forwarder f(quick());
    // The silent server holds the question on its way while the others join.
    f.set_servers({silent.server(), good.server()});
    Outcomes out;
    const Query q = query("popular.example");
    ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
    ASSERT_TRUE(silent.await_udp(1));
    constexpr int kJoiners = 4;
    std::vector<std::thread> threads;
    for (int t = 0; t < kJoiners; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) f.resolve(q, key_of(q), out.callback());
        });
    for (std::thread &t : threads) t.join();
    ASSERT_TRUE(out.await(1 + kJoiners * 5));
    for (std::size_t i = 0; i < 1 + kJoiners * 5; ++i) EXPECT_EQ(answered_by(out.at(i)), 2) << i;
    EXPECT_EQ(silent.udp_queries(), 1);
    // Joins that came after the answer asked again: at most one more query.
    EXPECT_EQ(f.counts().shared + f.counts().answered, 1u + kJoiners * 5);
}

TEST(ForwarderSharing, QuestionsStillOnTheirWayEndWithNothingWhenItStops) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    Outcomes out;
    {
        Forwarder::Options o = quick();
        o.timeout_ms = 60000;
        Forwarder f(o);
        f.set_servers({silent.server()});
        for (int i = 0; i < 3; ++i) {
            const Query q = query("h" + std::to_string(i) + ".example");
            ASSERT_TRUE(f.resolve(q, key_of(q), out.callback()));
        }
        ASSERT_TRUE(silent.await_udp(3));
    }
    ASSERT_TRUE(out.await(3));
    for (std::size_t i = 0; i < 3; ++i) EXPECT_FALSE(out.at(i).has_value());
}

}  // namespace
}  // namespace kel::dns
