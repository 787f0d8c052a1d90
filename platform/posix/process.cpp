#include "kelplat/process.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kel::process {
namespace {

sigset_t stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

sigset_t control_signals() {
    sigset_t set = stop_signals();
    sigaddset(&set, SIGHUP);
    return set;
}

// The first signal of the set to arrive within timeout_ms, or 0.
int wait_for(const sigset_t &set, int timeout_ms) noexcept {
    timespec timeout{timeout_ms / 1000, static_cast<long>(timeout_ms % 1000) * 1000000L};
    for (;;) {
        int sig = ::sigtimedwait(&set, nullptr, &timeout);
        if (sig > 0) return sig;
        // Interrupted by another signal: wait again rather than report one.
        if (errno == EINTR) continue;
        return 0;
    }
}

std::string errno_text(int err) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%d: ", err);
    return buffer + std::string(std::strerror(err));
}

}  // namespace

std::string executable_folder() {
    std::string path(256, '\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            size_t slash = path.rfind('/');
            if (slash == std::string::npos) return {};
            return slash == 0 ? std::string("/") : path.substr(0, slash);
        }
        path.resize(path.size() * 2);
    }
    return {};
}

unsigned user_id() noexcept { return static_cast<unsigned>(::geteuid()); }

bool change_directory(const std::string &folder) noexcept {
    return ::chdir(folder.c_str()) == 0;
}

bool block_stop_signals() noexcept {
    ::signal(SIGPIPE, SIG_IGN);
    sigset_t set = control_signals();
    return ::pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

int wait_stop_signal(int timeout_ms) noexcept { return wait_for(stop_signals(), timeout_ms); }

Control wait_control_signal(int timeout_ms, int *number) noexcept {
    const int sig = wait_for(control_signals(), timeout_ms);
    if (number != nullptr) *number = sig;
    if (sig == 0) return Control::None;
    return sig == SIGHUP ? Control::Reload : Control::Stop;
}

bool write_pid_file(const std::string &path, std::string *why) {
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr) {
        if (why != nullptr) *why = errno_text(errno);
        return false;
    }
    bool ok = std::fprintf(file, "%ld\n", static_cast<long>(::getpid())) > 0;
    int write_errno = errno;
    if (std::fclose(file) != 0) {
        ok = false;
        write_errno = errno;
    }
    if (!ok && why != nullptr) *why = errno_text(write_errno);
    return ok;
}

bool socket_is_listening(std::uint32_t sd, std::uint16_t port) noexcept {
    if (sd > 0x7FFFFFFFu) return false;
    int fd = static_cast<int>(sd);
    int accepting = 0;
    socklen_t length = sizeof accepting;
    if (::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) != 0 || accepting == 0) {
        return false;
    }
    sockaddr_storage address{};
    socklen_t address_length = sizeof address;
    if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &address_length) != 0) {
        return false;
    }
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in &>(address).sin_port) == port;
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6 &>(address).sin6_port) == port;
    return false;
}

std::string bind_failure_reason(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return errno_text(errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    std::string reason;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        reason = errno_text(errno);
    }
    ::close(fd);
    return reason;
}

std::uint64_t raise_descriptor_limit() noexcept {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    if (lim.rlim_cur < lim.rlim_max) {
        rlimit raised = lim;
        raised.rlim_cur = lim.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) lim = raised;
    }
    return static_cast<std::uint64_t>(lim.rlim_cur);
}

std::uint64_t descriptor_limit() noexcept {
    rlimit lim{};
    if (::getrlimit(RLIMIT_NOFILE, &lim) != 0) return 0;
    return lim.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<std::uint64_t>(lim.rlim_cur);
}

}  // namespace kel::process
