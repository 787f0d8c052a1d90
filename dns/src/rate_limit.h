// A token bucket per client address, in a table of fixed size: what a
// flooding source (or one whose address is spoofed) may cost the proxy is
// bounded, and the table itself never grows. Two addresses that share a
// slot share its bucket; a slot quiet for a second goes to the next asker.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <vector>

#include "kelplat/inet.h"

namespace kel::dns {

class RateLimit {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kSlots = 4096;

    // per_second 0: no limit. A client may ask twice as much in a burst.
    explicit RateLimit(std::uint32_t per_second = 0);
    void set_rate(std::uint32_t per_second);
    // True when client may be answered now; takes a token if so.
    bool admit(const net::IpAddress &client, Clock::time_point now);

private:
    struct Slot {
        net::IpAddress client;
        double tokens = 0;
        Clock::time_point last;
    };
    std::mutex mu_;
    std::uint32_t rate_;
    std::vector<Slot> slots_;
};

}  // namespace kel::dns
