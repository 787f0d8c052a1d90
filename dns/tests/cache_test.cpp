// The answer cache: hits completed for each client, expiry, the LRU bound,
// and many threads at once.
#include "cache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace kel::dns {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

// A query as a stub resolver sends it: header, one question, maybe an OPT.
Query query(std::string_view name, std::uint16_t type = kTypeA, std::uint16_t id = 1, bool do_bit = false) {
    Bytes w = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 0x01, 0, 0, 1, 0, 0, 0, 0, 0,
               static_cast<std::uint8_t>(do_bit ? 1 : 0)};
    const std::string qname = name_to_wire(name);
    w.insert(w.end(), qname.begin(), qname.end());
    w.insert(w.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    if (do_bit) w.insert(w.end(), {0, 0, kTypeOPT, 0x10, 0, 0, 0, 0x80, 0, 0, 0});
    const ParsedQuery pq = parse_query(w);
    EXPECT_EQ(pq.verdict, QueryVerdict::Ok) << name;
    return pq.query;
}

Bytes answer(const Query &q, std::uint8_t last_octet, std::uint32_t ttl = 300) {
    const Record a{kTypeA, ttl, {10, 0, 0, last_octet}};
    return make_answer(q, kNoError, std::span(&a, 1));
}

std::string key_of(const Query &q) {
    std::string key;
    Cache::make_key(q, key);
    return key;
}

// What the client gets: the id, the A record's last octet and its TTL.
struct Seen {
    std::uint16_t id = 0;
    std::uint8_t octet = 0;
    std::uint32_t ttl = 0;
};

bool hit(Cache &cache, const Query &q, Cache::Clock::time_point now, Seen *seen = nullptr) {
    Bytes out(kMaxMessage);
    const std::size_t n = cache.reply(key_of(q), q, false, out, now);
    if (n == 0) return false;
    out.resize(n);
    const std::vector<TtlField> ttls = ttl_fields(out);
    EXPECT_EQ(ttls.size(), 1u);
    if (seen && !ttls.empty()) {
        seen->id = static_cast<std::uint16_t>(out[0] << 8 | out[1]);
        seen->octet = out.back();
        seen->ttl = ttls[0].ttl;
    }
    return true;
}

TEST(CacheHits, CarryTheClientsIdAndCountTheTtlDownUntilItRunsOut) {
    Cache cache(16);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query first = query("example.com", kTypeA, 7);
    cache.store(key_of(first), answer(first, 1, 300), 300, t0);

    Seen seen;
    ASSERT_TRUE(hit(cache, query("EXAMPLE.com", kTypeA, 99), t0 + 120s, &seen));
    EXPECT_EQ(seen.id, 99);
    EXPECT_EQ(seen.octet, 1);
    EXPECT_EQ(seen.ttl, 180u);
    // The last second still answers; at the TTL the entry is gone.
    EXPECT_TRUE(hit(cache, first, t0 + 299s));
    EXPECT_FALSE(hit(cache, first, t0 + 300s));
    EXPECT_EQ(cache.size(), 0u);
}

TEST(CacheHits, AreKeptApartByTypeAndByTheDoBit) {
    Cache cache(16);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query plain = query("example.com");
    cache.store(key_of(plain), answer(plain, 1), 300, t0);
    EXPECT_FALSE(hit(cache, query("example.com", kTypeAAAA), t0));
    // An answer asked without DO holds no signatures: a DO client must not get it.
    EXPECT_FALSE(hit(cache, query("example.com", kTypeA, 1, true), t0));
    EXPECT_FALSE(hit(cache, query("www.example.com"), t0));
    EXPECT_TRUE(hit(cache, plain, t0));
}

TEST(CacheHits, AStoreOfTheSameQuestionReplacesTheAnswer) {
    Cache cache(16);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query q = query("example.com");
    cache.store(key_of(q), answer(q, 1), 300, t0);
    cache.store(key_of(q), answer(q, 2, 60), 60, t0 + 10s);
    EXPECT_EQ(cache.size(), 1u);
    Seen seen;
    ASSERT_TRUE(hit(cache, q, t0 + 20s, &seen));
    EXPECT_EQ(seen.octet, 2);
    EXPECT_EQ(seen.ttl, 50u);
    EXPECT_FALSE(hit(cache, q, t0 + 70s));
}

TEST(CacheBound, GivesUpTheLeastRecentlyUsedFirst) {
    Cache cache(2);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query a = query("a.example"), b = query("b.example"), c = query("c.example");
    cache.store(key_of(a), answer(a, 1), 300, t0);
    cache.store(key_of(b), answer(b, 2), 300, t0);
    ASSERT_TRUE(hit(cache, a, t0));  // a is now the most recent
    cache.store(key_of(c), answer(c, 3), 300, t0);
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_TRUE(hit(cache, a, t0));
    EXPECT_FALSE(hit(cache, b, t0));
    EXPECT_TRUE(hit(cache, c, t0));

    cache.set_capacity(1);  // keeps c, the one used last
    EXPECT_EQ(cache.size(), 1u);
    EXPECT_TRUE(hit(cache, c, t0));
    EXPECT_FALSE(hit(cache, a, t0));
}

TEST(CacheBound, NothingIsKeptWithoutATtlOrWithoutRoom) {
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query q = query("example.com");
    Cache cache(4);
    cache.store(key_of(q), answer(q, 1, 0), 0, t0);
    EXPECT_EQ(cache.size(), 0u);
    Cache none(0);
    none.store(key_of(q), answer(q, 1), 300, t0);
    EXPECT_EQ(none.size(), 0u);
    EXPECT_FALSE(hit(none, q, t0));

    cache.store(key_of(q), answer(q, 1), 300, t0);
    cache.clear();
    EXPECT_FALSE(hit(cache, q, t0));
}

TEST(CacheBound, AReplyTooLargeForTheBufferIsNotWritten) {
    Cache cache(4);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    const Query q = query("example.com");
    const Bytes stored = answer(q, 1);
    cache.store(key_of(q), stored, 300, t0);
    Bytes small(stored.size() - 1);
    EXPECT_EQ(cache.reply(key_of(q), q, true, small, t0), 0u);
    Bytes exact(stored.size());
    EXPECT_EQ(cache.reply(key_of(q), q, true, exact, t0), stored.size());
}

// Threads storing, reading and shrinking over the same few keys: every
// hit is a whole answer to its own question, and the bound holds.
TEST(CacheThreads, ManyReadersAndWritersSeeOnlyWholeAnswers) {
    Cache cache(8);
    const auto t0 = Cache::Clock::time_point{} + 1000s;
    std::vector<Query> names;
    for (int i = 0; i < 32; ++i) names.push_back(query("n" + std::to_string(i) + ".example"));
    std::atomic<int> hits{0}, wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            Bytes out(kMaxMessage);
            std::string key;
            for (int i = 0; i < 4000; ++i) {
                const auto at = static_cast<std::size_t>((i * 7 + t * 13) % names.size());
                const Query &q = names[at];
                Cache::make_key(q, key);
                if (i % 3 == 0) {
                    cache.store(key, answer(q, static_cast<std::uint8_t>(at)), 300, t0);
                } else if (const std::size_t n = cache.reply(key, q, false, out, t0 + 1s)) {
                    ++hits;
                    if (out[n - 1] != at) ++wrong;
                }
                if (t == 0 && i % 500 == 0) cache.set_capacity(i % 1000 == 0 ? 4 : 8);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(cache.size(), cache.capacity());
}

}  // namespace
}  // namespace kel::dns
