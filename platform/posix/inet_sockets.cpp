// Look-ups of both families, the racing connect, and IPv6 listeners.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>

#include "kelplat/inet.h"

namespace kel::net {

int code_from_resolver(int gai_result, int err) noexcept;  // errmap.cpp

namespace {

std::atomic<ResolverAll> g_resolver_all{nullptr};

void note_errno() noexcept { set_last_error(code_from_errno(errno)); }

// The system's socket address for an address of either family; false for
// none. A mapped address stays IPv6: the caller unmaps where it wants IPv4.
bool to_sockaddr(const IpAddress &a, std::uint16_t port_net, sockaddr_storage *out,
                 socklen_t *len) noexcept {
    std::memset(out, 0, sizeof *out);
    if (a.is_v4()) {
        auto *sa = reinterpret_cast<sockaddr_in *>(out);
        sa->sin_family = AF_INET;
        sa->sin_port = port_net;
        std::memcpy(&sa->sin_addr, a.bytes, 4);
        *len = sizeof *sa;
        return true;
    }
    if (a.is_v6()) {
        auto *sa = reinterpret_cast<sockaddr_in6 *>(out);
        sa->sin6_family = AF_INET6;
        sa->sin6_port = port_net;
        std::memcpy(&sa->sin6_addr, a.bytes, 16);
        sa->sin6_scope_id = a.scope_id;
        *len = sizeof *sa;
        return true;
    }
    return false;
}

// The address of a system socket address, a mapped one as IPv4.
bool from_sockaddr(const sockaddr_storage &in, socklen_t len, IpAddress *a,
                   std::uint16_t *port_net) noexcept {
    IpAddress r;
    std::uint16_t port = 0;
    if (in.ss_family == AF_INET && len >= socklen_t(sizeof(sockaddr_in))) {
        const auto *sa = reinterpret_cast<const sockaddr_in *>(&in);
        r = ipv4_address(sa->sin_addr.s_addr);
        port = sa->sin_port;
    } else if (in.ss_family == AF_INET6 && len >= socklen_t(sizeof(sockaddr_in6))) {
        const auto *sa = reinterpret_cast<const sockaddr_in6 *>(&in);
        std::uint8_t bytes[16];
        std::memcpy(bytes, &sa->sin6_addr, 16);
        r = unmapped(ipv6_address(bytes, sa->sin6_scope_id));
        if (r.is_v4()) r.scope_id = 0;
        port = sa->sin6_port;
    } else {
        set_last_error(kErrInvalid);
        return false;
    }
    if (a != nullptr) *a = r;
    if (port_net != nullptr) *port_net = port;
    return true;
}

bool is_any_v6(const IpAddress &a) noexcept {
    static constexpr std::uint8_t kZero[16] = {};
    return a.is_v6() && std::memcmp(a.bytes, kZero, 16) == 0;
}

bool set_int_option(int fd, int level, int option, int value) noexcept {
    return ::setsockopt(fd, level, option, &value, sizeof value) == 0;
}

}  // namespace

bool system_resolve_all(const char *name, std::vector<IpAddress> *out) noexcept {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        set_last_error(code_from_resolver(rc, errno));
        return false;
    }
    bool ok = true;
    try {
        for (const addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
            if (ai->ai_addr == nullptr || ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
            sockaddr_storage ss{};
            std::memcpy(&ss, ai->ai_addr, ai->ai_addrlen);
            IpAddress a;
            if (from_sockaddr(ss, ai->ai_addrlen, &a, nullptr)) out->push_back(a);
        }
    } catch (const std::bad_alloc &) {
        set_last_error(kErrNoBuffers);
        ok = false;
    }
    ::freeaddrinfo(res);
    return ok;
}

ResolverAll set_resolver_all(ResolverAll r) noexcept { return g_resolver_all.exchange(r); }

bool resolve_all(const char *name, std::vector<IpAddress> *out) noexcept {
    if (name == nullptr || out == nullptr) {
        set_last_error(kErrInvalid);
        return false;
    }
    try {
        out->clear();
        IpAddress literal;
        if (parse_ip(name, &literal)) {
            out->push_back(unmapped(literal));
            return true;
        }
        const ResolverAll r = g_resolver_all.load();
        const Resolver v4 = installed_resolver();
        bool found;
        if (r != nullptr) {
            found = r(name, out);
        } else if (v4 != nullptr) {
            // An IPv4 resolver a test installed answers here too.
            std::uint32_t addr = 0;
            found = v4(name, &addr);
            if (found) out->push_back(ipv4_address(addr));
        } else {
            found = system_resolve_all(name, out);
        }
        if (!found) {
            out->clear();
            return false;
        }
        order_for_happy_eyeballs(out);
        if (out->empty()) {
            set_last_error(kErrNoData);
            return false;
        }
        return true;
    } catch (const std::bad_alloc &) {
        out->clear();
        set_last_error(kErrNoBuffers);
        return false;
    }
}

namespace {

using Clock = std::chrono::steady_clock;

// Starts a non-blocking connect. 0 when it connected at once, EINPROGRESS
// when under way (*fd open), else the error (nothing left open).
int start_attempt(const IpAddress &target, std::uint16_t port_net, int *fd) noexcept {
    const IpAddress a = unmapped(target);
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!to_sockaddr(a, port_net, &ss, &len)) return EINVAL;
    const int s = ::socket(a.is_v4() ? AF_INET : AF_INET6,
                           SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s < 0) return errno;
    if (::connect(s, reinterpret_cast<const sockaddr *>(&ss), len) == 0) {
        *fd = s;
        return 0;
    }
    // An interrupted non-blocking connect goes on in the background too.
    const int err = errno;
    if (err == EINPROGRESS || err == EINTR) {
        *fd = s;
        return EINPROGRESS;
    }
    ::close(s);
    return err;
}

int ms_until(Clock::time_point t, Clock::time_point now) noexcept {
    if (t <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(t - now).count();
    return ms > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(ms);
}

// Makes the winner blocking, with the send bound the timed connect leaves.
bool finish_winner(int fd, int timeout_ms) noexcept {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
    if (timeout_ms > 0) {
        timeval tv{};
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) return false;
    }
    return true;
}

// A blocking stream socket of the address's family (a mapped IPv4 address
// as IPv4) and the socket address to give it; -1 with the last error set.
int stream_socket_for(const IpAddress &addr, std::uint16_t port_net, sockaddr_storage *ss, socklen_t *len) noexcept {
    const IpAddress a = unmapped(addr);
    if (!to_sockaddr(a, port_net, ss, len)) {
        set_last_error(kErrInvalid);
        return -1;
    }
    const int fd = ::socket(a.is_v4() ? AF_INET : AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) note_errno();
    return fd;
}

// One address: a blocking connect bounded by the send time-out, as the
// IPv4 connect does; no poll and no flag changes on the common path.
Socket connect_one(const IpAddress &target, std::uint16_t port_net, int timeout_ms) noexcept {
    sockaddr_storage ss;
    socklen_t len = 0;
    const int fd = stream_socket_for(target, port_net, &ss, &len);
    if (fd < 0) return kInvalidSocket;
    int err = 0;
    if (timeout_ms > 0) {
        timeval tv{};
        tv.tv_sec = timeout_ms / 1000;
        tv.tv_usec = static_cast<suseconds_t>((timeout_ms % 1000) * 1000);
        if (::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) err = errno;
    }
    if (err == 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&ss), len) != 0) {
        err = errno;
        if (err == EINPROGRESS && timeout_ms > 0) {
            err = ETIMEDOUT;
        } else if (err == EINTR) {
            // An interrupted connect goes on in the background: wait for it.
            pollfd p{fd, POLLOUT, 0};
            int n;
            do {
                n = ::poll(&p, 1, timeout_ms > 0 ? timeout_ms : -1);
            } while (n < 0 && errno == EINTR);
            socklen_t size = sizeof err;
            if (n == 0) {
                err = ETIMEDOUT;
            } else if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &size) != 0) {
                err = errno;
            }
        }
    }
    if (err != 0) {
        ::close(fd);
        set_last_error(err == ETIMEDOUT ? kErrTimedOut : code_from_errno(err));
        return kInvalidSocket;
    }
    return static_cast<Socket>(fd);
}

}  // namespace

Socket connect_happy_eyeballs(std::span<const IpAddress> addrs, std::uint16_t port_net,
                              int timeout_ms, int attempt_delay_ms) noexcept {
    if (addrs.empty()) {
        set_last_error(kErrInvalid);
        return kInvalidSocket;
    }
    if (addrs.size() == 1) return connect_one(addrs[0], port_net, timeout_ms);
    if (attempt_delay_ms < 0) attempt_delay_ms = 0;
    std::vector<pollfd> pending;
    try {
        pending.reserve(addrs.size());
    } catch (const std::bad_alloc &) {
        set_last_error(kErrNoBuffers);
        return kInvalidSocket;
    }
    const bool bounded = timeout_ms > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    Clock::time_point next_start = Clock::now();
    std::size_t next = 0;
    int last_err = 0;
    int winner = -1;

    while (winner < 0) {
        const Clock::time_point now = Clock::now();
        if (bounded && now >= deadline) {
            last_err = ETIMEDOUT;
            break;
        }
        // Start what is due; an attempt that fails at once lets the next
        // one start at once.
        while (winner < 0 && next < addrs.size() && (pending.empty() || now >= next_start)) {
            int fd = -1;
            const int err = start_attempt(addrs[next++], port_net, &fd);
            if (err == 0) {
                winner = fd;
            } else if (err == EINPROGRESS) {
                pending.push_back(pollfd{fd, POLLOUT, 0});  // room reserved
                next_start = now + std::chrono::milliseconds(attempt_delay_ms);
                break;
            } else {
                last_err = err;
            }
        }
        if (winner >= 0) break;
        if (pending.empty()) break;  // every address tried, every attempt failed

        int wait_ms = next < addrs.size() ? ms_until(next_start, now) : -1;
        if (bounded) {
            const int left = ms_until(deadline, now);
            wait_ms = wait_ms < 0 || left < wait_ms ? left : wait_ms;
        }
        const int n = ::poll(pending.data(), static_cast<nfds_t>(pending.size()), wait_ms);
        if (n < 0) {
            if (errno == EINTR) continue;
            last_err = errno;
            break;
        }
        for (std::size_t k = 0; k < pending.size() && winner < 0;) {
            const pollfd p = pending[k];
            if (p.revents == 0) {
                ++k;
                continue;
            }
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            // A peer that accepted and reset before this look was connected
            // to all the same: the reset is the exchange's, not the connect's.
            if ((err == 0 || err == ECONNRESET || err == EPIPE) && (p.revents & POLLOUT) != 0) {
                winner = p.fd;
                pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(k));
                break;
            }
            last_err = err != 0 ? err : ECONNREFUSED;
            ::close(p.fd);
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(k));
            next_start = Clock::now();
        }
    }

    for (const pollfd &p : pending) ::close(p.fd);
    if (winner >= 0 && !finish_winner(winner, timeout_ms)) {
        last_err = errno;
        ::close(winner);
        winner = -1;
    }
    if (winner < 0) {
        set_last_error(last_err == ETIMEDOUT ? kErrTimedOut : code_from_errno(last_err));
        return kInvalidSocket;
    }
    return static_cast<Socket>(winner);
}

Socket listen_on(const IpAddress &addr, std::uint16_t port_net) noexcept {
    const IpAddress a = unmapped(addr);
    sockaddr_storage ss;
    socklen_t len = 0;
    const int fd = stream_socket_for(a, port_net, &ss, &len);
    if (fd < 0) return kInvalidSocket;
    // As bind: a restarted listener takes its port back from TIME_WAIT.
    (void)set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    // Set either way: the system default (bindv6only) may be anything.
    const bool ok = (!a.is_v6() || set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, is_any_v6(a) ? 0 : 1)) &&
                    ::bind(fd, reinterpret_cast<const sockaddr *>(&ss), len) == 0 &&
                    ::listen(fd, max_backlog()) == 0;
    if (!ok) {
        note_errno();
        ::close(fd);
        return kInvalidSocket;
    }
    return static_cast<Socket>(fd);
}

bool ipv6_available() noexcept {
    const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) return false;
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_any;
    const bool ok = set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, 0) &&
                    ::bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0;
    ::close(fd);
    return ok;
}

Socket accept_ip(Socket s, IpAddress *peer, std::uint16_t *peer_port_net) noexcept {
    for (;;) {
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        const int fd = ::accept4(static_cast<int>(s), reinterpret_cast<sockaddr *>(&ss), &len,
                                 SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer != nullptr || peer_port_net != nullptr) {
                if (!from_sockaddr(ss, len, peer, peer_port_net)) {
                    ::close(fd);
                    return kInvalidSocket;
                }
            }
            return static_cast<Socket>(fd);
        }
        if (errno == EINTR) continue;
        note_errno();
        return kInvalidSocket;
    }
}

bool local_address(Socket s, IpAddress *a, std::uint16_t *port_net) noexcept {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        note_errno();
        return false;
    }
    return from_sockaddr(ss, len, a, port_net);
}

bool peer_address(Socket s, IpAddress *a, std::uint16_t *port_net) noexcept {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getpeername(static_cast<int>(s), reinterpret_cast<sockaddr *>(&ss), &len) != 0) {
        note_errno();
        return false;
    }
    return from_sockaddr(ss, len, a, port_net);
}

Socket udp_bind(const IpAddress &addr, std::uint16_t port_net) noexcept {
    const IpAddress a = unmapped(addr);
    sockaddr_storage ss;
    socklen_t len = 0;
    if (!to_sockaddr(a, port_net, &ss, &len)) {
        set_last_error(code_from_errno(EINVAL));
        return kInvalidSocket;
    }
    const int fd = ::socket(a.is_v4() ? AF_INET : AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_UDP);
    if (fd < 0) {
        note_errno();
        return kInvalidSocket;
    }
    // "::" takes IPv4 peers too, as it does for streams.
    const bool ok = (!a.is_v6() || set_int_option(fd, IPPROTO_IPV6, IPV6_V6ONLY, is_any_v6(a) ? 0 : 1)) &&
                    ::bind(fd, reinterpret_cast<const sockaddr *>(&ss), len) == 0;
    if (!ok) {
        note_errno();
        ::close(fd);
        return kInvalidSocket;
    }
    return static_cast<Socket>(fd);
}

long send_to_ip(Socket s, const IpAddress &a, std::uint16_t port_net, const void *data, std::size_t len) noexcept {
    sockaddr_storage own{};
    socklen_t own_len = sizeof own;
    const bool v6_socket = ::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr *>(&own), &own_len) == 0 &&
                           own.ss_family == AF_INET6;
    const IpAddress target = v6_socket && a.is_v4() ? mapped(a) : unmapped(a);
    sockaddr_storage ss;
    socklen_t sl = 0;
    if (!to_sockaddr(target, port_net, &ss, &sl)) {
        set_last_error(code_from_errno(EINVAL));
        return -1;
    }
    for (;;) {
        const ssize_t n = ::sendto(static_cast<int>(s), data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&ss), sl);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

long recv_from_ip(Socket s, void *buf, std::size_t len, IpAddress *from, std::uint16_t *port_net) noexcept {
    for (;;) {
        sockaddr_storage ss{};
        socklen_t sl = sizeof ss;
        const ssize_t n = ::recvfrom(static_cast<int>(s), buf, len, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&ss), &sl);
        if (n >= 0) {
            if ((from != nullptr || port_net != nullptr) && !from_sockaddr(ss, sl, from, port_net)) {
                set_last_error(code_from_errno(EAFNOSUPPORT));
                return -1;
            }
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

bool want_destination(Socket s) noexcept {
    sockaddr_storage own{};
    socklen_t len = sizeof own;
    if (::getsockname(static_cast<int>(s), reinterpret_cast<sockaddr *>(&own), &len) != 0) {
        note_errno();
        return false;
    }
    // On an IPv6 socket IPv4 datagrams come with their destination mapped.
    const bool ok = own.ss_family == AF_INET6 ? set_int_option(static_cast<int>(s), IPPROTO_IPV6, IPV6_RECVPKTINFO, 1)
                                              : set_int_option(static_cast<int>(s), IPPROTO_IP, IP_PKTINFO, 1);
    if (!ok) note_errno();
    return ok;
}

int recv_datagrams(Socket s, Datagram *d, int count) noexcept {
    static_assert(sizeof(Datagram::peer_raw) >= sizeof(sockaddr_in6));
    static_assert(sizeof(Datagram::local_raw) >= CMSG_SPACE(sizeof(in6_pktinfo)));
    constexpr int kMax = 64;
    if (count > kMax) count = kMax;
    if (count <= 0) return 0;
    mmsghdr msgs[kMax];
    iovec iov[kMax];
    for (int i = 0; i < count; ++i) {
        iov[i] = {d[i].data, d[i].size};
        msgs[i] = {};
        msgs[i].msg_hdr.msg_name = d[i].peer_raw;
        msgs[i].msg_hdr.msg_namelen = sizeof d[i].peer_raw;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        msgs[i].msg_hdr.msg_control = d[i].local_raw;
        msgs[i].msg_hdr.msg_controllen = sizeof d[i].local_raw;
    }
    int n;
    do {
        n = ::recvmmsg(static_cast<int>(s), msgs, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            set_last_error(kErrWouldBlock);
            return 0;
        }
        note_errno();
        return -1;
    }
    for (int i = 0; i < n; ++i) {
        Datagram &out = d[i];
        out.size = msgs[i].msg_len;
        out.local_len = 0;
        sockaddr_storage ss{};
        const socklen_t sl = msgs[i].msg_hdr.msg_namelen;
        std::memcpy(&ss, out.peer_raw, std::min<std::size_t>(sl, sizeof out.peer_raw));
        out.peer_len = sl;
        // A sender of no address of either family (none on an IP socket)
        // has no address to be answered at.
        if (!from_sockaddr(ss, sl, &out.from, &out.port_net)) {
            out.from = IpAddress{};
            out.peer_len = 0;
            continue;
        }
        // Keep only the destination's record, ready to be sent back as the source.
        msghdr &h = msgs[i].msg_hdr;
        for (cmsghdr *c = CMSG_FIRSTHDR(&h); c != nullptr; c = CMSG_NXTHDR(&h, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
                in_pktinfo info;
                std::memcpy(&info, CMSG_DATA(c), sizeof info);
                info.ipi_spec_dst = info.ipi_addr;
                info.ipi_ifindex = 0;
                unsigned char record[CMSG_SPACE(sizeof(in_pktinfo))] = {};
                auto *r = reinterpret_cast<cmsghdr *>(record);
                r->cmsg_level = IPPROTO_IP;
                r->cmsg_type = IP_PKTINFO;
                r->cmsg_len = CMSG_LEN(sizeof info);
                std::memcpy(CMSG_DATA(r), &info, sizeof info);
                std::memcpy(out.local_raw, record, sizeof record);
                out.local_len = sizeof record;
                break;
            }
            if (c->cmsg_level == IPPROTO_IPV6 && c->cmsg_type == IPV6_PKTINFO) {
                unsigned char record[CMSG_SPACE(sizeof(in6_pktinfo))] = {};
                std::memcpy(record, c, std::min<std::size_t>(c->cmsg_len, sizeof record));
                std::memcpy(out.local_raw, record, sizeof record);
                out.local_len = sizeof record;
                break;
            }
        }
    }
    return n;
}

int send_datagrams(Socket s, const Datagram *d, int count) noexcept {
    constexpr int kMax = 64;
    int at = 0, sent = 0;
    while (at < count) {
        const int batch = std::min(count - at, kMax);
        mmsghdr msgs[kMax];
        iovec iov[kMax];
        for (int i = 0; i < batch; ++i) {
            const Datagram &g = d[at + i];
            iov[i] = {g.data, g.size};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_name = const_cast<unsigned char *>(g.peer_raw);
            msgs[i].msg_hdr.msg_namelen = g.peer_len;
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_control = g.local_len ? const_cast<unsigned char *>(g.local_raw) : nullptr;
            msgs[i].msg_hdr.msg_controllen = g.local_len;
        }
        const int n = ::sendmmsg(static_cast<int>(s), msgs, static_cast<unsigned>(batch), MSG_NOSIGNAL);
        if (n > 0) {
            at += n;
            sent += n;
        } else if (n == 0 || errno != EINTR) {
            // The first of the batch can't go: skip it, so that one client
            // out of reach does not hold back the others.
            note_errno();
            ++at;
        }
    }
    return sent;
}

bool set_receive_buffer(Socket s, int bytes) noexcept {
    if (set_int_option(static_cast<int>(s), SOL_SOCKET, SO_RCVBUFFORCE, bytes)) return true;
    if (set_int_option(static_cast<int>(s), SOL_SOCKET, SO_RCVBUF, bytes)) return true;
    note_errno();
    return false;
}

}  // namespace kel::net
