#include "kelplat/poller.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kel::net {
namespace {

void note_errno() noexcept { set_last_error(code_from_errno(errno)); }

}  // namespace

Poller::Poller() noexcept : fd_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (fd_ < 0) note_errno();
}

Poller::~Poller() {
    if (fd_ >= 0) ::close(fd_);
}

bool Poller::watch(Socket s, std::uint64_t tag, bool edge) noexcept {
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP | (edge ? EPOLLET : 0u);
    ev.data.u64 = tag;
    if (::epoll_ctl(fd_, EPOLL_CTL_ADD, static_cast<int>(s), &ev) != 0) {
        note_errno();
        return false;
    }
    return true;
}

bool Poller::rewatch(Socket s, std::uint64_t tag, bool readable, bool writable) noexcept {
    epoll_event ev{};
    ev.events = (readable ? EPOLLIN | EPOLLRDHUP : 0u) | (writable ? EPOLLOUT : 0u);
    ev.data.u64 = tag;
    if (::epoll_ctl(fd_, EPOLL_CTL_MOD, static_cast<int>(s), &ev) != 0) {
        note_errno();
        return false;
    }
    return true;
}

bool Poller::forget(Socket s) noexcept {
    if (::epoll_ctl(fd_, EPOLL_CTL_DEL, static_cast<int>(s), nullptr) != 0) {
        note_errno();
        return false;
    }
    return true;
}

int Poller::wait(Readiness *out, int max, int timeout_ms) noexcept {
    constexpr int kBatch = 256;
    epoll_event events[kBatch];
    if (max > kBatch) max = kBatch;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        const int n = ::epoll_wait(fd_, events, max, timeout_ms);
        if (n >= 0) {
            for (int i = 0; i < n; ++i) {
                out[i].tag = events[i].data.u64;
                out[i].readable = (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
                out[i].closed = (events[i].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0;
                out[i].writable = (events[i].events & EPOLLOUT) != 0;
            }
            return n;
        }
        if (errno != EINTR) {
            note_errno();
            return -1;
        }
        if (timeout_ms >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  until - std::chrono::steady_clock::now())
                                  .count();
            timeout_ms = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

bool set_nonblocking(Socket s, bool on) noexcept {
    const int fd = static_cast<int>(s);
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK)) != 0) {
        note_errno();
        return false;
    }
    return true;
}

}  // namespace kel::net
