#include "rate_limit.h"

#include <algorithm>

namespace kel::dns {
namespace {

std::size_t slot_of(const net::IpAddress &a) {
    // FNV-1a over the whole address: on a LAN every device's link-local
    // address shares one /64, so a prefix would lump them together.
    std::uint64_t h = 1469598103934665603ull;
    for (const std::uint8_t b : a.bytes) h = (h ^ b) * 1099511628211ull;
    return static_cast<std::size_t>(h % RateLimit::kSlots);
}

}  // namespace

RateLimit::RateLimit(std::uint32_t per_second) : rate_(per_second), slots_(kSlots) {}

void RateLimit::set_rate(std::uint32_t per_second) {
    std::lock_guard lock(mu_);
    rate_ = per_second;
}

bool RateLimit::admit(const net::IpAddress &client, Clock::time_point now) {
    std::lock_guard lock(mu_);
    if (rate_ == 0) return true;
    const double burst = 2.0 * rate_;
    Slot &s = slots_[slot_of(client)];
    const double idle = std::max(std::chrono::duration<double>(now - s.last).count(), 0.0);
    if (!(s.client == client) && (s.client.family == 0 || idle >= 1.0)) {
        s.client = client;  // a quiet slot is taken over, full
        s.tokens = burst;
    } else {
        s.tokens = std::min(burst, s.tokens + idle * rate_);
    }
    s.last = now;
    if (s.tokens < 1.0) return false;
    s.tokens -= 1.0;
    return true;
}

}  // namespace kel::dns
