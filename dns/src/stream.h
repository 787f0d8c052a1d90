// DNS over TCP's reads: a message is two length bytes, then that many.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelplat/net.h"

namespace kel::dns {

// Reads exactly size bytes from a blocking socket; false on failure, on a
// receive timeout or when the peer closes first.
inline bool read_exactly(net::Socket s, std::uint8_t *out, std::size_t size) {
    while (size > 0) {
        const long n = net::recv(s, out, size);
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace kel::dns
