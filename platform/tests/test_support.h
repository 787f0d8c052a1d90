// Loopback sockets for the tests of the OS layer and of kellib, on kelplat alone.
#pragma once

#include <cstdint>
#include <string_view>
#include <thread>

#include "kelplat/net.h"

namespace kel::test {

inline uint32_t loopback() { return net::addr_from_octets(127, 0, 0, 1); }

// Closes the socket at the end of the scope unless released.
class Sock {
public:
    Sock() = default;
    explicit Sock(uint32_t s) : s_(s) {}
    Sock(Sock &&o) noexcept : s_(o.release()) {}
    Sock &operator=(Sock &&o) noexcept {
        reset(o.release());
        return *this;
    }
    ~Sock() { reset(); }
    uint32_t get() const { return s_; }
    uint32_t release() {
        const uint32_t s = s_;
        s_ = net::kInvalidSocket;
        return s;
    }
    void reset(uint32_t s = net::kInvalidSocket) {
        if (s_ != net::kInvalidSocket) net::close(s_);
        s_ = s;
    }
    bool valid() const { return s_ != net::kInvalidSocket; }

private:
    uint32_t s_ = net::kInvalidSocket;
};

// A thread joined at the end of the scope.
using Peer = std::jthread;

inline bool send_all(uint32_t s, std::string_view data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const long n = net::send(s, data.data() + sent, data.size() - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace kel::test
