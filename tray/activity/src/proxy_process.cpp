#include "proxy_process.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "kelplat/diag.h"
#include "runtime_dir.h"

namespace kel::activity {
namespace {

constexpr const char *kModule = "activity";
constexpr const char *kProxyName = "valdrin_proxy";
constexpr const char *kConfigName = "valdrin.conf";

void report(const std::string &what) { KEL_DIAG_MSG(what.c_str()); }

std::string errno_text(int err) { return std::to_string(err) + ": " + std::strerror(err); }

std::optional<std::string> real_path(const std::string &path) {
    char *resolved = ::realpath(path.c_str(), nullptr);
    if (resolved == nullptr) return std::nullopt;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::optional<std::string> read_link(const std::string &path) {
    std::string buf(256, '\0');
    for (int attempt = 0; attempt < 8; ++attempt) {
        ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
        if (n < 0) return std::nullopt;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            return buf;
        }
        buf.resize(buf.size() * 2);
    }
    return std::nullopt;
}

// Socket inodes held by the process, from the links in /proc/<pid>/fd.
std::set<std::string> socket_inodes(int pid) {
    std::set<std::string> inodes;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = ::opendir(dir.c_str());
    if (d == nullptr) return inodes;
    // Bounded by the process's descriptor table; a daemon has few.
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        auto target = read_link(dir + "/" + e->d_name);
        if (!target || target->rfind("socket:[", 0) != 0 || target->back() != ']') continue;
        inodes.insert(target->substr(8, target->size() - 9));
    }
    ::closedir(d);
    return inodes;
}

// True when a line of /proc/<pid>/net/tcp{,6} is a listening socket whose
// inode is in `inodes`. Fields: sl local rem st queues timer retr uid timeout inode.
bool has_listener(const std::string &table, const std::set<std::string> &inodes) {
    std::ifstream in(table);
    if (!in) return false;
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string f[10];
        for (auto &field : f) fields >> field;
        if (!fields) continue;
        if (f[3] == "0A" && inodes.count(f[9]) != 0) return true;
    }
    return false;
}

// True when the thread whose stat file this is has not ended.
bool thread_runs(const std::string &stat_file) {
    std::ifstream in(stat_file);
    std::string stat;
    if (!in || !std::getline(in, stat)) return false;
    // "tid (comm) S ...": the command name may itself hold ')'.
    auto close = stat.rfind(')');
    if (close == std::string::npos || close + 2 >= stat.size()) return false;
    const char state = stat[close + 2];
    return state != 'Z' && state != 'X' && state != 'x';
}

}  // namespace

void pause_briefly() {
    timespec ts{0, 10 * 1000 * 1000};
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

std::optional<std::string> own_folder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void *>(&own_folder), &info) == 0 || info.dli_fname == nullptr) {
        report("dladdr() failed, the component cannot find its own folder");
        return std::nullopt;
    }
    auto self = real_path(info.dli_fname);
    if (!self) {
        report(std::string("realpath(\"") + info.dli_fname + "\") failed (" + errno_text(errno) + ")");
        return std::nullopt;
    }
    auto slash = self->rfind('/');
    return slash == 0 ? std::string("/") : self->substr(0, slash);
}

std::optional<Paths> resolve_paths() {
    auto folder = own_folder();
    auto run = runtime_dir();
    if (!folder || !run) return std::nullopt;
    const std::string base = *folder == "/" ? "" : *folder;
    return Paths{*folder,
                 base + "/" + kProxyName,
                 base + "/" + kConfigName,
                 *run,
                 *run + "/" + kPidFileName,
                 *run + "/" + kLogFileName,
                 *run + "/" + kPortsFileName};
}

std::optional<int> read_pid(const std::string &pid_file) {
    std::ifstream in(pid_file);
    if (!in) return std::nullopt;
    char text[32] = {};
    in.read(text, sizeof text - 1);
    long value = 0;
    int digits = 0;
    const char *p = text;
    while (*p == ' ' || *p == '\t') ++p;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (++digits > 9) return std::nullopt;
        value = value * 10 + (*p - '0');
    }
    while (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n') ++p;
    if (digits == 0 || *p != '\0' || value < 2) return std::nullopt;
    return static_cast<int>(value);
}

bool is_alive(int pid) {
    // The leader turns zombie before its sibling threads are gone, and the
    // descriptors (the listening socket) close only with the last thread:
    // the process lives while any of its threads does.
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *d = ::opendir(tasks.c_str());
    if (d == nullptr) return false;
    bool alive = false;
    while (dirent *e = ::readdir(d)) {
        if (e->d_name[0] == '.') continue;
        if (thread_runs(tasks + "/" + e->d_name + "/stat")) {
            alive = true;
            break;
        }
    }
    ::closedir(d);
    return alive;
}

bool runs_program(int pid, const std::string &program) {
    auto exe = read_link("/proc/" + std::to_string(pid) + "/exe");
    if (!exe) return false;
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe->size() > kDeleted.size() && exe->compare(exe->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0)
        exe->resize(exe->size() - kDeleted.size());
    return *exe == real_path(program).value_or(program);
}

bool is_listening(int pid) {
    const auto inodes = socket_inodes(pid);
    if (inodes.empty()) return false;
    const std::string net = "/proc/" + std::to_string(pid) + "/net/";
    return has_listener(net + "tcp", inodes) || has_listener(net + "tcp6", inodes);
}

std::optional<int> our_daemon(const Paths &paths) {
    auto pid = read_pid(paths.pid_file);
    if (!pid || !is_alive(*pid) || !runs_program(*pid, paths.proxy)) return std::nullopt;
    return pid;
}

bool is_executable(const std::string &path) { return ::access(path.c_str(), X_OK) == 0; }

bool file_exists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

void remove_file(const std::string &path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        report("unlink(\"" + path + "\") failed (" + errno_text(errno) + "), ignored");
}

bool send_terminate(int pid) {
    if (::kill(pid, SIGTERM) == 0 || errno == ESRCH) return true;
    report("kill(" + std::to_string(pid) + ", SIGTERM) failed (" + errno_text(errno) + ")");
    return false;
}

bool send_reload(int pid) {
    if (::kill(pid, SIGHUP) == 0) return true;
    report("kill(" + std::to_string(pid) + ", SIGHUP) failed (" + errno_text(errno) + ")");
    return false;
}

std::uint64_t file_size(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
    return static_cast<std::uint64_t>(st.st_size);
}

std::string read_from(const std::string &path, std::uint64_t offset, std::size_t max_bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    const std::uint64_t size = file_size(path);
    // A log that shrank was replaced: what it holds now is all new.
    if (size < offset) offset = 0;
    in.seekg(static_cast<std::streamoff>(offset));
    std::string text(static_cast<std::size_t>(std::min<std::uint64_t>(max_bytes, size - offset)), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

std::vector<std::string> daemon_command(const Paths &paths) {
    std::vector<std::string> argv{paths.proxy};
    if (file_exists(paths.config)) {
        argv.push_back("--config");
        argv.push_back(paths.config);
    }
    argv.push_back("--pidfile");
    argv.push_back(paths.pid_file);
    argv.push_back("--ports-file");
    argv.push_back(paths.ports_file);
    return argv;
}

std::optional<int> spawn_detached(const std::vector<std::string> &argv, const std::string &log_file) {
    if (argv.empty()) return std::nullopt;
    // Everything the children need is prepared here: between fork and exec
    // only async-signal-safe calls are allowed.
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const char *log_path = log_file.c_str();

    struct Report {
        char tag;  // 'P': the daemon's pid; 'E': errno of a failed fork or exec
        int value;
    };
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        report("pipe2() failed (" + errno_text(errno) + ") while starting " + argv[0]);
        return std::nullopt;
    }
    const pid_t child = ::fork();
    if (child < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        report("fork() failed (" + errno_text(err) + ") while starting " + argv[0]);
        return std::nullopt;
    }
    if (child == 0) {
        // Intermediate child: a new session, then a grandchild that init
        // adopts, so that the daemon is nobody's zombie and outlives us.
        ::close(fds[0]);
        ::setsid();
        const pid_t daemon = ::fork();
        if (daemon < 0) {
            Report r{'E', errno};
            (void)!::write(fds[1], &r, sizeof r);
            ::_exit(1);
        }
        if (daemon > 0) {
            Report r{'P', daemon};
            (void)!::write(fds[1], &r, sizeof r);
            ::_exit(0);
        }
        sigset_t none;
        ::sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGCHLD, SIGUSR1, SIGUSR2})
            ::sigaction(sig, &dfl, nullptr);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open(log_path, O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out < 0) out = ::open("/dev/null", O_WRONLY);
        if (in >= 0) ::dup2(in, 0);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        // No descriptor of the caller (sockets, the X connection) leaks into
        // the daemon; the report pipe closes itself on a successful exec.
        ::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        if (::chdir("/") != 0) {
        }
        ::execv(args[0], args.data());
        Report r{'E', errno};
        (void)!::write(fds[1], &r, sizeof r);
        ::_exit(127);
    }
    ::close(fds[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    std::optional<int> daemon;
    int failure = 0;
    Report r{};
    // At most two reports (pid, then maybe an exec failure), then end of file.
    for (int i = 0; i < 3; ++i) {
        ssize_t n = ::read(fds[0], &r, sizeof r);
        if (n < 0 && errno == EINTR) continue;
        if (n != static_cast<ssize_t>(sizeof r)) break;
        if (r.tag == 'P') daemon = r.value;
        if (r.tag == 'E') failure = r.value;
    }
    ::close(fds[0]);
    if (failure != 0) {
        report("execv(\"" + argv[0] + "\") failed (" + errno_text(failure) + ")");
        return std::nullopt;
    }
    if (!daemon) {
        report("starting " + argv[0] + " failed: the launcher ended without a report");
        return std::nullopt;
    }
    return daemon;
}

}  // namespace kel::activity
