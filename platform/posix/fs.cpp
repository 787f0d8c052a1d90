#include "kelplat/fs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace kel::fs {
namespace {

// Closes the descriptor when it leaves scope.
class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }
    int get() const noexcept { return fd_; }
    void adopt(int fd) noexcept {
        reset();
        fd_ = fd;
    }
    bool valid() const noexcept { return fd_ >= 0; }
    // Closes now and reports whether the close succeeded.
    bool reset() noexcept {
        if (fd_ < 0) return true;
        const int rc = ::close(fd_);
        fd_ = -1;
        return rc == 0;
    }

private:
    int fd_;
};

void set_error(int *error, int value) {
    if (error != nullptr) *error = value;
}

int open_retry(const char *path, int flags, mode_t mode = 0) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool write_all(int fd, const char *data, std::size_t len) {
    while (len > 0) {
        const ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) {
            errno = EIO;
            return false;
        }
        data += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// The path a write lands on: the target of a symbolic link, else the path.
std::string resolve_target(const char *path) {
    struct stat st;
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        char *real = ::realpath(path, nullptr);
        if (real != nullptr) {
            std::string target(real);
            std::free(real);
            return target;
        }
    }
    return path;
}

std::string folder_of(const std::string &path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

ReadStatus read_file(const char *path, std::string &out, int *error) {
    out.clear();
    Fd fd(open_retry(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        set_error(error, errno);
        return errno == ENOENT || errno == ENOTDIR ? ReadStatus::kMissing : ReadStatus::kFailed;
    }
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), chunk, sizeof chunk);
        if (n < 0) {
            if (errno == EINTR) continue;
            set_error(error, errno);
            out.clear();
            return ReadStatus::kFailed;
        }
        if (n == 0) break;
        out.append(chunk, static_cast<std::size_t>(n));
    }
    return ReadStatus::kOk;
}

bool is_read_only(const char *path) {
    struct stat st;
    if (::stat(path, &st) != 0) return false;
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) return true;
    return ::faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0 && errno != ENOENT;
}

bool replace_atomically(const char *path, std::string_view content, int *error) {
    const std::string target = resolve_target(path);
    struct stat old_st;
    const bool existed = ::stat(target.c_str(), &old_st) == 0;

    // A hidden sibling, so the rename stays within one file system. O_EXCL
    // with a random name rather than mkstemp: a new file then gets the
    // umask's mode, as any newly created configuration file would.
    const std::string folder = folder_of(target);
    const auto slash = target.rfind('/');
    const std::string name = slash == std::string::npos ? target : target.substr(slash + 1);
    static std::atomic<unsigned> counter{0};
    struct timespec ts;
    ::clock_gettime(CLOCK_REALTIME, &ts);
    const unsigned base =
        static_cast<unsigned>(ts.tv_nsec) ^ (static_cast<unsigned>(::getpid()) << 16);
    std::string temp;
    Fd fd;
    int failure = 0;
    for (int attempt = 0; attempt < 100 && !fd.valid(); ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08x", base + counter.fetch_add(0x9e3779b9u));
        temp = folder + "/." + name + suffix;
        fd.adopt(open_retry(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd.valid()) {
            failure = errno;
            if (failure != EEXIST) break;
        }
    }
    if (!fd.valid()) {
        set_error(error, failure);
        return false;
    }
    if (!write_all(fd.get(), content.data(), content.size())) failure = errno;
    if (failure == 0 && existed) {
        // Only root may give a file away; otherwise it stays ours, which is
        // what the owner of the folder gets anyway. Owner before mode: a
        // chown may clear the set-id bits that the fchmod then restores.
        if (::fchown(fd.get(), old_st.st_uid, old_st.st_gid) != 0) {
        }
        if (::fchmod(fd.get(), old_st.st_mode & 07777) != 0) failure = errno;
    }
    if (failure == 0 && ::fsync(fd.get()) != 0) failure = errno;
    if (!fd.reset() && failure == 0) failure = errno;
    if (failure == 0 && ::rename(temp.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) {
        ::unlink(temp.c_str());
        set_error(error, failure);
        return false;
    }
    // The rename itself must reach the disk too.
    Fd dir(open_retry(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid()) ::fsync(dir.get());
    return true;
}

bool can_append(const char *path, int *error) {
    Fd fd(open_retry(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        set_error(error, errno);
        return false;
    }
    return true;
}

bool could_append(const char *path, int *error) {
    Fd fd(open_retry(path, O_WRONLY | O_APPEND | O_CLOEXEC, 0));
    if (fd.valid()) return true;
    if (errno != ENOENT) {
        set_error(error, errno);
        return false;
    }
    std::string folder(path);
    const size_t slash = folder.rfind('/');
    folder = slash == std::string::npos ? std::string(".") : slash == 0 ? std::string("/") : folder.substr(0, slash);
    if (::access(folder.c_str(), W_OK | X_OK) != 0) {
        set_error(error, errno);
        return false;
    }
    return true;
}

bool append_whole(const char *path, std::string_view data, int *error) {
    Fd fd(open_retry(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!fd.valid()) {
        set_error(error, errno);
        return false;
    }
    // One write for the whole entry; a regular file takes it whole, and the
    // loop only finishes a write that a signal or a full disk cut short.
    if (!write_all(fd.get(), data.data(), data.size())) {
        set_error(error, errno);
        return false;
    }
    if (!fd.reset()) {
        set_error(error, errno);
        return false;
    }
    return true;
}

void FollowedFile::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool FollowedFile::reopen(int *error) {
    close();
    const int fd = open_retry(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        set_error(error, errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    fd_ = fd;
    device_ = st.st_dev;
    inode_ = st.st_ino;
    ++opens_;
    return true;
}

bool FollowedFile::append(std::string_view data, int *error) {
    struct stat st {};
    const bool same = fd_ >= 0 && ::stat(path_.c_str(), &st) == 0 && st.st_dev == device_ &&
                      st.st_ino == inode_;
    if (!same && !reopen(error)) return false;
    if (!write_all(fd_, data.data(), data.size())) {
        set_error(error, errno);
        return false;
    }
    return true;
}

bool local_time_now(std::tm &out) {
    const std::time_t now = std::time(nullptr);
    if (now == static_cast<std::time_t>(-1)) return false;
    return ::localtime_r(&now, &out) != nullptr;
}

std::string error_text(int error) {
    char buf[256];
    // The GNU strerror_r returns its text, which may not be in buf.
    const char *text = ::strerror_r(error, buf, sizeof buf);
    return std::to_string(error) + ": " + text;
}

}  // namespace kel::fs
