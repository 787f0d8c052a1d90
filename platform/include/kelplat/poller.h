// Readiness of many sockets at once for one thread (epoll): the waiting
// room of a listener keeps thousands of connections that have not sent
// their request yet without a thread for each.
#pragma once

#include <cstdint>

#include "kelplat/net.h"

namespace kel::net {

struct Readiness {
    std::uint64_t tag;  // as given to watch()
    bool readable;      // data has arrived (or the peer has closed)
    bool closed;        // the peer has closed or reset the connection
    bool writable = false;  // room to send has come (only where asked with rewatch)
};

class Poller {
public:
    Poller() noexcept;
    ~Poller();
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    // False when the system gave no poller (last error set).
    bool valid() const noexcept { return fd_ >= 0; }
    // Watches s for arrivals and for its peer's close, reporting tag. With
    // edge, s is reported again only when more arrives, so that bytes left
    // unread (peeked at) do not wake the thread again and again; a socket
    // that is ready when watched is reported once at the next wait.
    bool watch(Socket s, std::uint64_t tag, bool edge) noexcept;
    // Changes what a watched s is reported for (level-triggered): arrivals
    // and its peer's close, room to send, or either; with neither, only a
    // reset is reported. So a sender waits for a slow peer to read, and a
    // reader stops reading while it has too much to answer.
    bool rewatch(Socket s, std::uint64_t tag, bool readable, bool writable) noexcept;
    // Stops watching s; closing it does so too.
    bool forget(Socket s) noexcept;
    // Fills at most max entries, waiting at most timeout_ms (negative: no
    // limit); the count, 0 when the time ran out, -1 on failure (last error
    // set). Interruptions are retried with the time left.
    int wait(Readiness *out, int max, int timeout_ms) noexcept;

private:
    int fd_ = -1;
};

// Whether calls on s wait (false) or fail at once with kErrWouldBlock
// (true). The accepted sockets of a listener that does not wait stay
// blocking.
bool set_nonblocking(Socket s, bool on) noexcept;

}  // namespace kel::net
