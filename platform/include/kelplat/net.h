// Sockets, name look-up and the socket error codes, over the system's own
// socket layer. IPv4 only. Every call retries on interruption, and no call
// raises a signal: a send to a vanished peer fails with an error instead.
//
// Errors are reported as Windows Sockets codes (10061 for a refused
// connection, 11001 for an unknown host, ...), kept per thread, so that the
// library above has one table of error texts whatever the system.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kel::net {

// Socket descriptor as the library's C interface carries it; all ones is
// the invalid descriptor.
using Socket = std::uint32_t;
inline constexpr Socket kInvalidSocket = 0xFFFFFFFFu;

// IPv4 socket address, 16 bytes: family 2, port and address in network
// order, 8 bytes of padding. The same layout as the C header's record.
struct SockAddr4 {
    std::uint16_t family;
    std::uint16_t port_net;
    std::uint32_t addr_net;
    unsigned char zero[8];
};
static_assert(sizeof(SockAddr4) == 16);

enum class Kind { Stream, Datagram };

// Some Windows Sockets codes the library tests for.
inline constexpr int kErrBadDescriptor = 10009;
inline constexpr int kErrInvalid = 10022;
inline constexpr int kErrTooManySockets = 10024;
inline constexpr int kErrWouldBlock = 10035;
inline constexpr int kErrNotSocket = 10038;
inline constexpr int kErrNoBuffers = 10055;
inline constexpr int kErrTimedOut = 10060;
inline constexpr int kErrHostNotFound = 11001;
inline constexpr int kErrNoData = 11004;

inline constexpr std::uint16_t host_to_net16(std::uint16_t v) noexcept {
    if constexpr (std::endian::native == std::endian::little)
        return static_cast<std::uint16_t>((v >> 8) | (v << 8));
    else
        return v;
}
inline constexpr std::uint16_t net_to_host16(std::uint16_t v) noexcept { return host_to_net16(v); }

// Address in network order from its four octets, first octet first.
inline std::uint32_t addr_from_octets(unsigned a, unsigned b, unsigned c, unsigned d) noexcept {
    const unsigned char o[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
    std::uint32_t v;
    std::memcpy(&v, o, 4);
    return v;
}

// Starts the socket layer for the process. Nothing to start on POSIX;
// *error_code receives the start-up error when it fails.
bool startup(int *error_code) noexcept;
void cleanup() noexcept;

Socket open(Kind kind) noexcept;
// Binds a socket to an address and port. Stream sockets may reuse a port
// whose old connections linger in TIME_WAIT; a port that another socket
// listens on is still refused.
bool bind(Socket s, std::uint32_t addr_net, std::uint16_t port_net) noexcept;
bool listen(Socket s, int backlog) noexcept;
// The longest accept queue the system grants: a burst of connections
// larger than the queue loses handshakes, and each such client retries
// only after one, three, seven ... seconds.
int max_backlog() noexcept;
// peer may be null.
Socket accept(Socket s, SockAddr4 *peer) noexcept;
bool connect(Socket s, std::uint32_t addr_net, std::uint16_t port_net) noexcept;
// The same, given up after timeout_ms (> 0) with kErrTimedOut. Leaves the
// socket's send bound (set_io_timeouts) at timeout_ms.
bool connect(Socket s, std::uint32_t addr_net, std::uint16_t port_net, int timeout_ms) noexcept;
// Bounds every blocking send and receive on s to the given time, 0 for no
// bound; a call that reaches it fails with kErrWouldBlock. Sockets that a
// listening socket accepts inherit its bounds.
bool set_io_timeouts(Socket s, int send_ms, int recv_ms) noexcept;
// -1 on failure.
long send(Socket s, const void *data, std::size_t len) noexcept;
// -1 on failure, 0 when the peer has closed. With peek, the bytes stay in
// the socket.
long recv(Socket s, void *buf, std::size_t len, bool peek = false) noexcept;
// As recv, but fails at once with kErrWouldBlock when nothing has arrived.
long recv_nowait(Socket s, void *buf, std::size_t len, bool peek = false) noexcept;
long send_to(Socket s, std::uint32_t addr_net, std::uint16_t port_net, const void *data,
             std::size_t len) noexcept;
// from may be null.
long recv_from(Socket s, void *buf, std::size_t len, SockAddr4 *from) noexcept;
bool shutdown_send(Socket s) noexcept;
bool close(Socket s) noexcept;

// Waits without limit until one of the sockets has data to read or has
// been closed or reset by its peer; ready[i] tells which. False when the
// wait itself fails (an invalid descriptor among them, for one).
bool wait_readable(const Socket *socks, bool *ready, int count) noexcept;
// The same for at most timeout_ms (negative: no limit): 1 when a socket is
// ready, 0 when the time ran out (last error kErrTimedOut), -1 on failure.
int wait_readable_for(const Socket *socks, bool *ready, int count, int timeout_ms) noexcept;
// Waits without limit until the socket can be written: 1, or 0 when the
// wait ends otherwise (an invalid or failed socket).
int wait_writable(Socket s) noexcept;
// The same for at most timeout_ms (negative: no limit); 0 also when the
// time ran out (last error kErrTimedOut).
int wait_writable(Socket s, int timeout_ms) noexcept;

// The calling thread's last socket error, as a Windows Sockets code.
int last_error() noexcept;
void set_last_error(int code) noexcept;
// Windows Sockets code of the same meaning as a system error number; a
// number without counterpart is returned unchanged.
int code_from_errno(int err) noexcept;

// Strict dotted quad "a.b.c.d"; no look-up.
bool parse_dotted_quad(const char *text, std::uint32_t *addr_net) noexcept;
// First IPv4 address of a host name. Goes through the installed resolver.
// On failure sets the last error (11001 unknown host, 11004 no IPv4 data).
bool resolve_ipv4(const char *name, std::uint32_t *addr_net) noexcept;
// A resolver has resolve_ipv4's contract. Replaces the system resolver
// (tests make look-ups slow or fail with it); null puts the system one back.
// Returns the previous one.
using Resolver = bool (*)(const char *name, std::uint32_t *addr_net);
Resolver set_resolver(Resolver r) noexcept;
// The resolver set_resolver installed; null while the system one serves.
Resolver installed_resolver() noexcept;
bool system_resolve_ipv4(const char *name, std::uint32_t *addr_net) noexcept;

// Host-order port a socket is bound to, 0 on failure.
std::uint16_t local_port(Socket s) noexcept;
// Connected pair of local stream sockets.
bool stream_pair(Socket out[2]) noexcept;
// Ends both directions; on a listening socket this also wakes a blocked
// accept, which then fails.
bool shutdown_both(Socket s) noexcept;
// Bytes that have arrived and wait to be read; -1 on failure.
long unread_bytes(Socket s) noexcept;
// Closes with a reset instead of an orderly end.
bool close_with_reset(Socket s) noexcept;

// Receive calls (peeks included) made by the calling thread, for tests
// that measure the cost of reception.
std::uint64_t recv_calls_on_this_thread() noexcept;

// A pipe through which a relay moves bytes from one socket to another inside
// the kernel, without copying them through user memory. Where the system or
// the descriptors do not allow it, fill and drain answer kSpliceRefused and
// the caller copies through a buffer instead. Owned by one thread; closes
// its two ends when destroyed.
inline constexpr long kSpliceRefused = -2;

class RelayPipe {
public:
    RelayPipe() noexcept = default;
    RelayPipe(const RelayPipe &) = delete;
    RelayPipe &operator=(const RelayPipe &) = delete;
    ~RelayPipe() { close(); }

    // Creates the pipe and asks for about room_bytes of room; a refused
    // size keeps the system's default. False when no pipe can be had (last
    // error set).
    bool open(std::size_t room_bytes) noexcept;
    bool is_open() const noexcept { return read_end_ >= 0; }
    void close() noexcept;
    std::size_t room() const noexcept { return room_; }
    // Bytes in the pipe, taken in by fill_from and not yet passed on.
    std::size_t pending() const noexcept { return pending_; }

    // Moves what has arrived on s into the pipe, at most its free room, and
    // waits as a receive does when nothing has arrived. The count, 0 when the
    // peer has closed, -1 on failure (last error set), or kSpliceRefused.
    long fill_from(Socket s) noexcept;
    // Moves every pending byte on to s, blocking as a send does while the
    // peer does not read. 0 when all went, -1 on failure (last error set),
    // kSpliceRefused when s takes none that way; what is left stays pending.
    // Never raises SIGPIPE.
    long drain_to(Socket s) noexcept;
    // Takes up to len pending bytes out into buf, for a copy to a socket that
    // refused the drain. The count, or -1.
    long take(void *buf, std::size_t len) noexcept;

private:
    int read_end_ = -1;
    int write_end_ = -1;
    std::size_t room_ = 0;
    std::size_t pending_ = 0;
};

// Splice calls (fills and drains) made by the calling thread.
std::uint64_t splice_calls_on_this_thread() noexcept;

// Test hook: makes every fill, every drain, or both answer kSpliceRefused as
// a system without kernel-side relaying would. Process-wide; returns the
// previous setting.
inline constexpr unsigned kRefuseNone = 0;
inline constexpr unsigned kRefuseFill = 1;
inline constexpr unsigned kRefuseDrain = 2;
unsigned set_splice_refusal(unsigned which) noexcept;

}  // namespace kel::net
