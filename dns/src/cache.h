// Answers kept by question for as long as their TTL allows, the least
// recently used given up first once the bound is reached. A hit copies the
// stored answer into the caller's buffer and counts its TTLs down there:
// no allocation on that path. Thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "message.h"

namespace kel::dns {

class Cache {
public:
    using Clock = std::chrono::steady_clock;

    explicit Cache(std::size_t capacity);

    // What answers are kept by: the question, and the DO and CD bits, which
    // change what an upstream server puts in its answer. out keeps its
    // capacity from call to call.
    static void make_key(const Query &q, std::string &out);

    // Writes the answer for q into out if a fresh one is kept; returns its
    // size, 0 when there is none.
    std::size_t reply(std::string_view key, const Query &q, bool over_tcp, std::span<std::uint8_t> out,
                      Clock::time_point now);

    // Keeps wire (a stored answer: see finish_reply) for ttl seconds; a ttl
    // of 0 keeps nothing.
    void store(std::string_view key, std::vector<std::uint8_t> wire, std::uint32_t ttl, Clock::time_point now);

    std::size_t size() const;
    std::size_t capacity() const;
    // A smaller bound gives up the least recently used at once.
    void set_capacity(std::size_t capacity);
    void clear();

private:
    struct Entry {
        std::string key;
        std::vector<std::uint8_t> wire;
        std::vector<TtlField> ttls;
        Clock::time_point stored;
        Clock::time_point expires;
    };
    using Lru = std::list<Entry>;

    void trim();  // holding mu_

    mutable std::mutex mu_;
    std::size_t capacity_;
    Lru lru_;  // most recently used first
    // The keys are views of the entries' own strings: list nodes never move.
    std::unordered_map<std::string_view, Lru::iterator> index_;
};

}  // namespace kel::dns
