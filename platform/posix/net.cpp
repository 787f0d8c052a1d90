#include "kelplat/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

namespace kel::net {

int code_from_resolver(int gai_result, int err) noexcept;  // errmap.cpp

namespace {

thread_local int t_last_error = 0;
thread_local std::uint64_t t_recv_calls = 0;
thread_local std::uint64_t t_splice_calls = 0;
std::atomic<unsigned> g_splice_refusal{kRefuseNone};
std::atomic<Resolver> g_resolver{nullptr};

int fd_of(Socket s) noexcept { return static_cast<int>(s); }

// Records errno as the thread's last socket error.
void note_errno() noexcept { t_last_error = code_from_errno(errno); }

sockaddr_in make_addr(std::uint32_t addr_net, std::uint16_t port_net) noexcept {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = port_net;
    sa.sin_addr.s_addr = addr_net;
    return sa;
}

void copy_addr(const sockaddr_in &sa, SockAddr4 *out) noexcept {
    static_assert(sizeof(sockaddr_in) == sizeof(SockAddr4));
    if (out != nullptr) std::memcpy(out, &sa, sizeof *out);
}

bool is_stream(int fd) noexcept {
    int type = 0;
    socklen_t len = sizeof type;
    return ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) == 0 && type == SOCK_STREAM;
}

// What splice answers when the descriptors cannot take part in it, as
// opposed to a failure of the connection.
bool is_splice_refusal(int err) noexcept { return err == EINVAL || err == ENOSYS || err == EOPNOTSUPP; }

// splice has no MSG_NOSIGNAL: a write to a vanished peer raises SIGPIPE.
// Holds the signal blocked on this thread and swallows the one the failed
// write raised, leaving a signal that was already pending alone.
class SigpipeHold {
public:
    SigpipeHold() noexcept {
        sigemptyset(&pipe_set_);
        sigaddset(&pipe_set_, SIGPIPE);
        held_ = ::pthread_sigmask(SIG_BLOCK, &pipe_set_, &old_mask_) == 0;
        if (held_ && sigismember(&old_mask_, SIGPIPE) == 1) {
            sigset_t pending;
            was_pending_ = ::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
        }
    }
    SigpipeHold(const SigpipeHold &) = delete;
    SigpipeHold &operator=(const SigpipeHold &) = delete;
    ~SigpipeHold() {
        if (!held_) return;
        if (raised_ && !was_pending_) {
            sigset_t pending;
            if (::sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
                const timespec now{0, 0};
                while (::sigtimedwait(&pipe_set_, nullptr, &now) < 0 && errno == EINTR) {
                }
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    void note_raised() noexcept { raised_ = true; }

private:
    sigset_t pipe_set_;
    sigset_t old_mask_;
    bool held_ = false;
    bool was_pending_ = false;
    bool raised_ = false;
};

}  // namespace

bool startup(int *error_code) noexcept {
    // POSIX sockets need no start-up. SIGPIPE stays as the host set it:
    // every send here passes MSG_NOSIGNAL, so the library never raises it.
    if (error_code != nullptr) *error_code = 0;
    return true;
}

void cleanup() noexcept {}

Socket open(Kind kind) noexcept {
    const int type = kind == Kind::Stream ? SOCK_STREAM : SOCK_DGRAM;
    const int proto = kind == Kind::Stream ? IPPROTO_TCP : IPPROTO_UDP;
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, proto);
    if (fd < 0) {
        note_errno();
        return kInvalidSocket;
    }
    return static_cast<Socket>(fd);
}

bool bind(Socket s, std::uint32_t addr_net, std::uint16_t port_net) noexcept {
    const int fd = fd_of(s);
    if (is_stream(fd)) {
        // Lets a restarted listener take its port back while connections of
        // the previous run sit in TIME_WAIT; an active listener still holds it.
        int on = 1;
        (void)::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    const sockaddr_in sa = make_addr(addr_net, port_net);
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) != 0) {
        note_errno();
        return false;
    }
    return true;
}

int max_backlog() noexcept {
    // Read once: the kernel's cap, which an administrator may have raised
    // above the header's value; a longer request is cut to it anyway.
    static const int value = [] {
        long cap = 0;
        if (std::FILE *f = std::fopen("/proc/sys/net/core/somaxconn", "re")) {
            if (std::fscanf(f, "%ld", &cap) != 1) cap = 0;
            std::fclose(f);
        }
        return cap > SOMAXCONN && cap <= INT_MAX ? static_cast<int>(cap) : SOMAXCONN;
    }();
    return value;
}

bool listen(Socket s, int backlog) noexcept {
    if (::listen(fd_of(s), backlog) != 0) {
        note_errno();
        return false;
    }
    return true;
}

Socket accept(Socket s, SockAddr4 *peer) noexcept {
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        const int fd = ::accept4(fd_of(s), reinterpret_cast<sockaddr *>(&sa), &len, SOCK_CLOEXEC);
        if (fd >= 0) {
            copy_addr(sa, peer);
            return static_cast<Socket>(fd);
        }
        if (errno == EINTR) continue;
        note_errno();
        return kInvalidSocket;
    }
}

namespace {

timeval to_timeval(int ms) noexcept {
    if (ms < 0) ms = 0;
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
    return tv;
}

bool set_timeout_option(int fd, int option, int ms) noexcept {
    const timeval tv = to_timeval(ms);
    if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) {
        note_errno();
        return false;
    }
    return true;
}

// Polls, retrying on interruption with the time left (negative: no limit).
int poll_for(pollfd *fds, nfds_t count, int timeout_ms) noexcept {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int n = ::poll(fds, count, timeout_ms);
        if (n >= 0 || errno != EINTR) return n;
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            timeout_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
    }
}

int poll_one(int fd, short events, int timeout_ms, short *revents) noexcept {
    pollfd p{fd, events, 0};
    const int n = poll_for(&p, 1, timeout_ms);
    *revents = p.revents;
    return n;
}

bool connect_impl(Socket s, std::uint32_t addr_net, std::uint16_t port_net,
                  int timeout_ms) noexcept {
    const int fd = fd_of(s);
    // The kernel bounds a blocking connect by the socket's send time-out.
    if (timeout_ms > 0 && !set_timeout_option(fd, SO_SNDTIMEO, timeout_ms)) return false;
    const sockaddr_in sa = make_addr(addr_net, port_net);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&sa), sizeof sa) == 0) return true;
    if (errno == EINPROGRESS && timeout_ms > 0) {
        t_last_error = kErrTimedOut;
        return false;
    }
    if (errno != EINTR) {
        note_errno();
        return false;
    }
    // An interrupted connect goes on in the background: wait for its outcome.
    short revents = 0;
    const int n = poll_one(fd, POLLOUT, timeout_ms > 0 ? timeout_ms : -1, &revents);
    if (n == 0) {
        t_last_error = kErrTimedOut;
        return false;
    }
    int err = 0;
    socklen_t len = sizeof err;
    if (n < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        note_errno();
        return false;
    }
    if (err != 0) {
        t_last_error = code_from_errno(err);
        return false;
    }
    return true;
}

}  // namespace

bool connect(Socket s, std::uint32_t addr_net, std::uint16_t port_net) noexcept {
    return connect_impl(s, addr_net, port_net, 0);
}

bool connect(Socket s, std::uint32_t addr_net, std::uint16_t port_net, int timeout_ms) noexcept {
    return connect_impl(s, addr_net, port_net, timeout_ms);
}

bool set_io_timeouts(Socket s, int send_ms, int recv_ms) noexcept {
    return set_timeout_option(fd_of(s), SO_SNDTIMEO, send_ms) &&
           set_timeout_option(fd_of(s), SO_RCVTIMEO, recv_ms);
}

long send(Socket s, const void *data, std::size_t len) noexcept {
    for (;;) {
        const ssize_t n = ::send(fd_of(s), data, len, MSG_NOSIGNAL);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

long recv(Socket s, void *buf, std::size_t len, bool peek) noexcept {
    for (;;) {
        ++t_recv_calls;
        const ssize_t n = ::recv(fd_of(s), buf, len, peek ? MSG_PEEK : 0);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

long recv_nowait(Socket s, void *buf, std::size_t len, bool peek) noexcept {
    for (;;) {
        ++t_recv_calls;
        const ssize_t n = ::recv(fd_of(s), buf, len, MSG_DONTWAIT | (peek ? MSG_PEEK : 0));
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

long send_to(Socket s, std::uint32_t addr_net, std::uint16_t port_net, const void *data,
             std::size_t len) noexcept {
    const sockaddr_in sa = make_addr(addr_net, port_net);
    for (;;) {
        const ssize_t n = ::sendto(fd_of(s), data, len, MSG_NOSIGNAL,
                                   reinterpret_cast<const sockaddr *>(&sa), sizeof sa);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

long recv_from(Socket s, void *buf, std::size_t len, SockAddr4 *from) noexcept {
    for (;;) {
        ++t_recv_calls;
        sockaddr_in sa{};
        socklen_t sa_len = sizeof sa;
        const ssize_t n =
            ::recvfrom(fd_of(s), buf, len, 0, reinterpret_cast<sockaddr *>(&sa), &sa_len);
        if (n >= 0) {
            copy_addr(sa, from);
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

bool shutdown_send(Socket s) noexcept {
    if (::shutdown(fd_of(s), SHUT_WR) != 0) {
        note_errno();
        return false;
    }
    return true;
}

bool close(Socket s) noexcept {
    // On Linux the descriptor is released even when close is interrupted,
    // so EINTR must not be retried.
    if (::close(fd_of(s)) != 0 && errno != EINTR) {
        note_errno();
        return false;
    }
    return true;
}

int wait_readable_for(const Socket *socks, bool *ready, int count, int timeout_ms) noexcept {
    constexpr int kMaxSockets = 8;
    if (count <= 0 || count > kMaxSockets) {
        t_last_error = kErrInvalid;
        return -1;
    }
    pollfd fds[kMaxSockets];
    for (int i = 0; i < count; ++i) {
        // poll() skips negative descriptors, which would wait forever.
        if (fd_of(socks[i]) < 0) {
            t_last_error = kErrBadDescriptor;
            return -1;
        }
        fds[i] = pollfd{fd_of(socks[i]), POLLIN, 0};
    }
    const int n = poll_for(fds, static_cast<nfds_t>(count), timeout_ms < 0 ? -1 : timeout_ms);
    if (n == 0) {
        t_last_error = kErrTimedOut;
        return 0;
    }
    if (n < 0) {
        note_errno();
        return -1;
    }
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents & POLLNVAL) {
            t_last_error = kErrBadDescriptor;
            return -1;
        }
        // A close or a reset by the peer makes the socket readable: the
        // next receive reports it.
        ready[i] = (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
    return 1;
}

bool wait_readable(const Socket *socks, bool *ready, int count) noexcept {
    return wait_readable_for(socks, ready, count, -1) == 1;
}

int wait_writable(Socket s, int timeout_ms) noexcept {
    if (fd_of(s) < 0) {
        t_last_error = kErrBadDescriptor;
        return 0;
    }
    short revents = 0;
    const int n = poll_one(fd_of(s), POLLOUT, timeout_ms < 0 ? -1 : timeout_ms, &revents);
    if (n < 0) {
        note_errno();
        return 0;
    }
    if (n == 0) {
        t_last_error = kErrTimedOut;
        return 0;
    }
    return (revents & POLLOUT) != 0 ? 1 : 0;
}

int wait_writable(Socket s) noexcept { return wait_writable(s, -1); }

int last_error() noexcept { return t_last_error; }
void set_last_error(int code) noexcept { t_last_error = code; }

bool parse_dotted_quad(const char *text, std::uint32_t *addr_net) noexcept {
    in_addr a{};
    if (text == nullptr || ::inet_pton(AF_INET, text, &a) != 1) return false;
    *addr_net = a.s_addr;
    return true;
}

bool system_resolve_ipv4(const char *name, std::uint32_t *addr_net) noexcept {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *res = nullptr;
    const int rc = ::getaddrinfo(name, nullptr, &hints, &res);
    if (rc != 0) {
        t_last_error = code_from_resolver(rc, errno);
        return false;
    }
    bool found = false;
    for (const addrinfo *ai = res; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
            *addr_net = reinterpret_cast<const sockaddr_in *>(ai->ai_addr)->sin_addr.s_addr;
            found = true;
            break;
        }
    }
    ::freeaddrinfo(res);
    if (!found) t_last_error = kErrNoData;
    return found;
}

bool resolve_ipv4(const char *name, std::uint32_t *addr_net) noexcept {
    const Resolver r = g_resolver.load();
    return r != nullptr ? r(name, addr_net) : system_resolve_ipv4(name, addr_net);
}

Resolver set_resolver(Resolver r) noexcept { return g_resolver.exchange(r); }

Resolver installed_resolver() noexcept { return g_resolver.load(); }

std::uint16_t local_port(Socket s) noexcept {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd_of(s), reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
        note_errno();
        return 0;
    }
    return ntohs(sa.sin_port);
}

bool stream_pair(Socket out[2]) noexcept {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        note_errno();
        return false;
    }
    out[0] = static_cast<Socket>(fds[0]);
    out[1] = static_cast<Socket>(fds[1]);
    return true;
}

bool shutdown_both(Socket s) noexcept {
    if (::shutdown(fd_of(s), SHUT_RDWR) != 0) {
        note_errno();
        return false;
    }
    return true;
}

long unread_bytes(Socket s) noexcept {
    int n = 0;
    if (::ioctl(fd_of(s), FIONREAD, &n) != 0) {
        note_errno();
        return -1;
    }
    return n;
}

bool close_with_reset(Socket s) noexcept {
    linger l{1, 0};
    if (::setsockopt(fd_of(s), SOL_SOCKET, SO_LINGER, &l, sizeof l) != 0) note_errno();
    return close(s);
}

std::uint64_t recv_calls_on_this_thread() noexcept { return t_recv_calls; }

bool RelayPipe::open(std::size_t room_bytes) noexcept {
    close();
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        note_errno();
        return false;
    }
    read_end_ = ends[0];
    write_end_ = ends[1];
    int room = -1;
    // Past the per-user allowance the kernel refuses a larger pipe; the
    // default room still relays, in smaller steps.
    if (room_bytes > 0) room = ::fcntl(write_end_, F_SETPIPE_SZ, static_cast<int>(room_bytes));
    if (room <= 0) room = ::fcntl(write_end_, F_GETPIPE_SZ);
    room_ = room > 0 ? static_cast<std::size_t>(room) : 4096;
    pending_ = 0;
    return true;
}

void RelayPipe::close() noexcept {
    if (read_end_ >= 0) ::close(read_end_);
    if (write_end_ >= 0) ::close(write_end_);
    read_end_ = write_end_ = -1;
    room_ = pending_ = 0;
}

long RelayPipe::fill_from(Socket s) noexcept {
    if ((g_splice_refusal.load() & kRefuseFill) != 0) return kSpliceRefused;
    if (!is_open() || pending_ >= room_) {
        t_last_error = kErrInvalid;
        return -1;
    }
    for (;;) {
        ++t_splice_calls;
        const ssize_t n =
            ::splice(fd_of(s), nullptr, write_end_, nullptr, room_ - pending_, SPLICE_F_MOVE);
        if (n >= 0) {
            pending_ += static_cast<std::size_t>(n);
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        if (is_splice_refusal(errno)) return kSpliceRefused;
        note_errno();
        return -1;
    }
}

long RelayPipe::drain_to(Socket s) noexcept {
    if (pending_ == 0) return 0;
    if ((g_splice_refusal.load() & kRefuseDrain) != 0) return kSpliceRefused;
    SigpipeHold hold;
    while (pending_ > 0) {
        ++t_splice_calls;
        // No SPLICE_F_MORE: it would hold the last segment back as MSG_MORE
        // does; between the pipe's pages the kernel marks that more follows.
        const ssize_t n = ::splice(read_end_, nullptr, fd_of(s), nullptr, pending_, SPLICE_F_MOVE);
        if (n > 0) {
            pending_ -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && is_splice_refusal(errno)) return kSpliceRefused;
        if (n == 0) errno = EPIPE;
        if (errno == EPIPE) hold.note_raised();
        note_errno();
        return -1;
    }
    return 0;
}

long RelayPipe::take(void *buf, std::size_t len) noexcept {
    if (len > pending_) len = pending_;
    if (len == 0) return 0;
    for (;;) {
        const ssize_t n = ::read(read_end_, buf, len);
        if (n >= 0) {
            pending_ -= static_cast<std::size_t>(n);
            return static_cast<long>(n);
        }
        if (errno == EINTR) continue;
        note_errno();
        return -1;
    }
}

std::uint64_t splice_calls_on_this_thread() noexcept { return t_splice_calls; }

unsigned set_splice_refusal(unsigned which) noexcept { return g_splice_refusal.exchange(which); }

}  // namespace kel::net
