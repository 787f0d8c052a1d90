#include "cache.h"

namespace kel::dns {

Cache::Cache(std::size_t capacity) : capacity_(capacity) {}

void Cache::make_key(const Query &q, std::string &out) {
    out.assign(q.question.key);
    const char tail[5] = {static_cast<char>(q.question.type >> 8), static_cast<char>(q.question.type),
                          static_cast<char>(q.question.klass >> 8), static_cast<char>(q.question.klass),
                          static_cast<char>((q.do_bit ? 1 : 0) | (q.cd ? 2 : 0))};
    out.append(tail, sizeof tail);
}

std::size_t Cache::reply(std::string_view key, const Query &q, bool over_tcp, std::span<std::uint8_t> out,
                         Clock::time_point now) {
    std::lock_guard lock(mu_);
    const auto found = index_.find(key);
    if (found == index_.end()) return 0;
    const Lru::iterator entry = found->second;
    if (now >= entry->expires) {
        index_.erase(found);
        lru_.erase(entry);
        return 0;
    }
    lru_.splice(lru_.begin(), lru_, entry);
    const auto age = std::chrono::duration_cast<std::chrono::seconds>(now - entry->stored).count();
    return finish_reply(q, entry->wire, entry->ttls, static_cast<std::uint32_t>(age), over_tcp, out);
}

void Cache::store(std::string_view key, std::vector<std::uint8_t> wire, std::uint32_t ttl, Clock::time_point now) {
    if (ttl == 0) return;
    std::vector<TtlField> ttls = ttl_fields(wire);
    std::lock_guard lock(mu_);
    if (capacity_ == 0) return;
    if (const auto found = index_.find(key); found != index_.end()) {
        const Lru::iterator old = found->second;
        index_.erase(found);
        lru_.erase(old);
    }
    lru_.push_front(Entry{std::string(key), std::move(wire), std::move(ttls), now, now + std::chrono::seconds(ttl)});
    index_.emplace(lru_.front().key, lru_.begin());
    trim();
}

void Cache::trim() {
    while (lru_.size() > capacity_) {
        index_.erase(lru_.back().key);
        lru_.pop_back();
    }
}

std::size_t Cache::size() const {
    std::lock_guard lock(mu_);
    return lru_.size();
}

std::size_t Cache::capacity() const {
    std::lock_guard lock(mu_);
    return capacity_;
}

void Cache::set_capacity(std::size_t capacity) {
    std::lock_guard lock(mu_);
    capacity_ = capacity;
    trim();
}

void Cache::clear() {
    std::lock_guard lock(mu_);
    index_.clear();
    lru_.clear();
}

}  // namespace kel::dns
