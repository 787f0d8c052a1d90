// Gathered sends: several buffers leave in one system call, so that a reply's
// header and body reach the wire together instead of the body waiting for the
// peer's delayed acknowledgement of the header.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelplat/net.h"

namespace kel::net {

struct Chunk {
    const void *data;
    std::size_t len;
};

// Sends the chunks in order, as one gathered write while the socket takes
// everything at once, looping on partial writes. Never raises a signal.
// True when every byte has gone; false on failure, with the thread's last
// socket error set (some bytes may have left).
bool send_gathered(Socket s, const Chunk *chunks, int count) noexcept;

// Gathered send calls made by the calling thread, for tests that check a
// reply leaves in one call.
std::uint64_t gathered_send_calls_on_this_thread() noexcept;

}  // namespace kel::net
