#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef VALDRIN_DIST_DIR
#error "VALDRIN_DIST_DIR must name the ready-to-run folder"
#endif

namespace e2e {

namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Pause between two looks at state that offers nothing to wait on
// (/proc/net/tcp, a file another process appends to).
void short_pause() { std::this_thread::sleep_for(10ms); }

// A socket address of either family from a literal ("127.0.0.1", "::1").
struct SocketAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;
    int family() const { return storage.ss_family; }
    sockaddr *get() { return reinterpret_cast<sockaddr *>(&storage); }
};

SocketAddress make_address(const char *address, uint16_t port) {
    SocketAddress out;
    auto *v4 = reinterpret_cast<sockaddr_in *>(&out.storage);
    auto *v6 = reinterpret_cast<sockaddr_in6 *>(&out.storage);
    if (inet_pton(AF_INET, address, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(port);
        out.length = sizeof *v4;
    } else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(port);
        out.length = sizeof *v6;
    } else {
        throw std::runtime_error(std::string("bad address ") + address);
    }
    return out;
}

bool send_raw(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

// Waits for `fd` (and a stop pipe) to become readable. 1 = fd ready,
// 0 = timeout, -1 = stop requested.
int wait_readable(int fd, int stop_fd, int timeout_ms) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd, POLLIN, 0}};
    for (;;) {
        int n = ::poll(fds, 2, timeout_ms);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        if (fds[1].revents) return -1;
        return 1;
    }
}

std::pair<Fd, Fd> make_pipe() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    return {Fd(p[0]), Fd(p[1])};
}

size_t content_length(std::string_view header) {
    std::string lower(header);
    std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
    auto at = lower.find("\r\ncontent-length:");
    if (at == std::string::npos) return 0;
    return std::strtoul(lower.c_str() + at + 17, nullptr, 10);
}

}  // namespace

std::string unresolvable_name() { return std::string(70, 'x') + ".invalid"; }

std::string pattern_bytes(size_t size, unsigned seed) {
    std::string out(size, '\0');
    uint32_t x = 2463534242u ^ seed;
    for (auto &c : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>(x & 0xff);
    }
    return out;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const fs::path &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

Fd &Fd::operator=(Fd &&other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
}

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

Fd listen_tcp(const char *address, uint16_t port) {
    SocketAddress sa = make_address(address, port);
    Fd fd(::socket(sa.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) throw std::runtime_error("socket failed");
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (sa.family() == AF_INET6) ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(fd.get(), sa.get(), sa.length) != 0 || ::listen(fd.get(), 64) != 0)
        throw std::runtime_error(std::string("cannot listen on ") + address + ": " + std::strerror(errno));
    return fd;
}

uint16_t local_port(const Fd &fd) {
    sockaddr_storage sa{};
    socklen_t len = sizeof sa;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&sa), &len) != 0) throw std::runtime_error("getsockname failed");
    if (sa.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6 &>(sa).sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in &>(sa).sin_port);
}

uint16_t free_port() {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    SocketAddress sa = make_address("127.0.0.1", 0);
    if (::bind(fd.get(), sa.get(), sa.length) != 0) throw std::runtime_error("bind failed");
    return local_port(fd);
}

ClosedPort::ClosedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    SocketAddress sa = make_address("127.0.0.1", 0);
    if (::bind(fd_.get(), sa.get(), sa.length) != 0) throw std::runtime_error("bind failed");
    port_ = local_port(fd_);
}

Fd connect_tcp(const char *address, uint16_t port, const char *from) {
    SocketAddress sa = make_address(address, port);
    Fd fd(::socket(sa.family(), SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) return {};
    if (from) {
        SocketAddress local = make_address(from, 0);
        if (::bind(fd.get(), local.get(), local.length) != 0) return {};
    }
    for (;;) {
        if (::connect(fd.get(), sa.get(), sa.length) == 0) return fd;
        if (errno != EINTR) return {};
    }
}

bool is_listening(uint16_t port, pid_t in_namespace_of) {
    char wanted[8];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    // A process's own view: the network namespace it runs in.
    const std::string net = in_namespace_of > 0 ? "/proc/" + std::to_string(in_namespace_of) + "/net" : "/proc/net";
    for (const std::string &table : {net + "/tcp", net + "/tcp6"}) {
        std::ifstream in(table);
        std::string line;
        std::getline(in, line);  // column titles
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state;
            fields >> slot >> local >> remote >> state;
            if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, wanted) == 0) return true;
        }
    }
    return false;
}

bool send_all(const Fd &fd, std::string_view bytes) { return send_raw(fd.get(), bytes); }

Reply talk(const Fd &fd, std::string_view out, size_t want, Millis timeout) {
    Reply reply;
    const auto deadline = Clock::now() + timeout;
    bool sending = !out.empty();
    std::string buffer(64 * 1024, '\0');
    while (reply.bytes.size() < want) {
        pollfd p{fd.get(), static_cast<short>(POLLIN | (sending ? POLLOUT : 0)), 0};
        int n = ::poll(&p, 1, remaining_ms(deadline));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reply.timed_out = true;
            break;
        }
        if (sending && (p.revents & POLLOUT)) {
            ssize_t sent = ::send(fd.get(), out.data(), std::min<size_t>(out.size(), 256 * 1024),
                                  MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent > 0) out.remove_prefix(static_cast<size_t>(sent));
            else if (sent < 0 && errno != EAGAIN && errno != EINTR) sending = false;
            if (out.empty()) sending = false;
        }
        if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
            size_t room = std::min(buffer.size(), want - reply.bytes.size());
            ssize_t got = ::recv(fd.get(), buffer.data(), room, MSG_DONTWAIT);
            if (got > 0) {
                reply.bytes.append(buffer.data(), static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                reply.closed = true;
                break;
            }
        }
    }
    return reply;
}

Process::~Process() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    }
}

bool Process::spawn(const std::vector<std::string> &argv, const fs::path &cwd, const fs::path &out_path,
                    const fs::path &err_path) {
    std::vector<char *> args;
    for (const auto &a : argv) args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);
    const std::string dir = cwd.string();
    Fd in(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    Fd out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    Fd err(::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!in.valid() || !out.valid() || !err.valid()) return false;

    pid_t pid = ::fork();
    if (pid < 0) return false;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        if (::chdir(dir.c_str()) != 0 || ::dup2(in.get(), 0) < 0 || ::dup2(out.get(), 1) < 0 ||
            ::dup2(err.get(), 2) < 0)
            ::_exit(126);
        ::close_range(3, ~0u, 0);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    pid_ = pid;
    status_.reset();
    return true;
}

void Process::reap(int status) { status_ = status; }

bool Process::running() {
    if (pid_ <= 0 || status_) return false;
    int status = 0;
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reap(status);
        return false;
    }
    return true;
}

std::optional<int> Process::wait_exit(Millis timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (status_) return status_;
    const auto deadline = Clock::now() + timeout;
    Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0)));
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reap(status);
            return status_;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        int left = remaining_ms(deadline);
        if (left == 0) return std::nullopt;
        if (pidfd.valid()) {
            pollfd p{pidfd.get(), POLLIN, 0};
            ::poll(&p, 1, left);
        } else {
            short_pause();
        }
    }
}

std::optional<int> Process::terminate(Millis timeout) {
    if (pid_ <= 0) return std::nullopt;
    if (!status_) ::kill(pid_, SIGTERM);
    auto status = wait_exit(timeout);
    if (!status) {
        ::kill(pid_, SIGKILL);
        wait_exit(kExitTimeout);
    }
    return status;
}

CommandResult run_command(const std::vector<std::string> &argv, const fs::path &cwd, Millis timeout) {
    static std::atomic<int> counter{0};
    const int n = counter++;
    const fs::path out = cwd / ("cmd" + std::to_string(n) + ".out");
    const fs::path err = cwd / ("cmd" + std::to_string(n) + ".err");
    Process p;
    CommandResult result;
    if (!p.spawn(argv, cwd, out, err)) return result;
    result.status = p.wait_exit(timeout);
    if (!result.status) p.terminate(1000ms);
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

bool exited_with(const std::optional<int> &status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

std::string describe_status(const std::optional<int> &status) {
    if (!status) return "still running after the time limit";
    if (WIFEXITED(*status)) return "exit code " + std::to_string(WEXITSTATUS(*status));
    if (WIFSIGNALED(*status)) return "killed by signal " + std::to_string(WTERMSIG(*status));
    return "wait status " + std::to_string(*status);
}

std::string sanitizer_findings(std::string_view err) {
    std::string found;
    std::istringstream lines{std::string(err)};
    std::string line;
    while (std::getline(lines, line)) {
        if (line.find("ERROR: AddressSanitizer") != std::string::npos ||
            line.find("ERROR: LeakSanitizer") != std::string::npos ||
            line.find("WARNING: ThreadSanitizer") != std::string::npos ||
            line.find("ERROR: ThreadSanitizer") != std::string::npos ||
            line.find("runtime error") != std::string::npos)
            found += line + "\n";
    }
    return found;
}

std::string sanitizer_log_reports(pid_t pid) {
    // A sanitizer given log_path=P writes its reports to P.<pid>, whatever
    // the process does with its standard error.
    std::string found;
    for (const char *variable : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
        const char *options = std::getenv(variable);
        if (options == nullptr) continue;
        const std::string text = options;
        const size_t at = text.find("log_path=");
        if (at == std::string::npos) continue;
        const size_t start = at + 9;
        const std::string path = text.substr(start, text.find(':', start) - start);
        const fs::path file = path + "." + std::to_string(pid);
        if (fs::exists(file)) found += read_file(file);
    }
    return found;
}

bool wait_for_text(const fs::path &path, std::string_view text, Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (read_file(path).find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        short_pause();
    }
}

TempDir::TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "valdrin-e2e-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    const auto *test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (test && test->result()->Failed()) {
        std::fprintf(stderr, "kept %s for inspection\n", path_.c_str());
        return;
    }
    std::error_code ec;
    fs::remove_all(path_, ec);
}

fs::path dist_dir() { return VALDRIN_DIST_DIR; }

std::string ProxyConfig::render() const {
    std::string s = "[Main]\n";
    s += "LogFile=" + log_file + "\n";
    s += "ErrFile=" + err_file + "\n";
    s += "Verbose=" + verbose + "\n";
    for (const auto &[n, value] : allowed) s += "AllowedHost" + std::to_string(n) + "=" + value + "\n";
    s += "[HTTP]\n";
    s += "HTTPEnabled=" + http_enabled + "\n";
    s += "HTTPPort=" + http_port + "\n";
    s += "HTTPSecure=" + http_secure + "\n";
    s += "AdHostsEnabled=" + ad_hosts_enabled + "\n";
    for (const auto &[key, value] : http_keys) s += key + "=" + value + "\n";
    if (!socks_enabled.empty()) {
        s += "[Socks]\nSocksEnabled=" + socks_enabled + "\nSocks4Allowed=" + socks4_allowed +
             "\nSocksPort=" + socks_port + "\nSocksListen=" + socks_listen + "\n";
        for (const auto &[n, value] : socks_accounts) s += "SocksAccount" + std::to_string(n) + "=" + value + "\n";
    }
    if (!rdr_enabled.empty()) {
        s += "[RDR]\nRDREnabled=" + rdr_enabled + "\nRDRListen=" + rdr_listen + "\n";
        for (const auto &[n, value] : rdr_bindings) s += "RDRBinding" + std::to_string(n) + "=" + value + "\n";
    }
    if (!dns_enabled.empty()) {
        s += "[DNS]\nDNSEnabled=" + dns_enabled + "\nDNSPort=" + dns_port + "\nDNSListen=" + dns_listen + "\n";
        for (const auto &[key, value] : dns_keys) s += key + "=" + value + "\n";
    }
    return s;
}

std::string sha1_hex(std::string_view bytes) {
    uint32_t h[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
    std::string m(bytes);
    const uint64_t bits = static_cast<uint64_t>(m.size()) * 8;
    m += static_cast<char>(0x80);
    while (m.size() % 64 != 56) m += '\0';
    for (int i = 7; i >= 0; --i) m += static_cast<char>((bits >> (i * 8)) & 0xff);
    auto rol = [](uint32_t x, int n) { return (x << n) | (x >> (32 - n)); };
    for (size_t block = 0; block < m.size(); block += 64) {
        uint32_t w[80];
        for (int i = 0; i < 16; ++i) {
            const auto *p = reinterpret_cast<const unsigned char *>(m.data() + block + 4 * i);
            w[i] = uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
        }
        for (int i = 16; i < 80; ++i) w[i] = rol(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
        uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4];
        for (int i = 0; i < 80; ++i) {
            uint32_t f, k;
            if (i < 20) f = (b & c) | (~b & d), k = 0x5A827999;
            else if (i < 40) f = b ^ c ^ d, k = 0x6ED9EBA1;
            else if (i < 60) f = (b & c) | (b & d) | (c & d), k = 0x8F1BBCDC;
            else f = b ^ c ^ d, k = 0xCA62C1D6;
            const uint32_t t = rol(a, 5) + f + e + k + w[i];
            e = d, d = c, c = rol(b, 30), b = a, a = t;
        }
        h[0] += a, h[1] += b, h[2] += c, h[3] += d, h[4] += e;
    }
    char out[41];
    for (int i = 0; i < 5; ++i) std::snprintf(out + 8 * i, 9, "%08X", h[i]);
    return out;
}

std::string socks_account(std::string_view user, std::string_view password) {
    const std::string u(user);
    return u + sha1_hex(u + "::" + std::string(password) + ";");
}

Daemon::~Daemon() {
    // However a test ends the daemon, a fault a sanitizer found in it fails
    // the test instead of staying in a log nobody reads.
    const std::string found = sanitizer_findings(err()) + sanitizer_log_reports(pid());
    if (!found.empty()) ADD_FAILURE() << "sanitizer findings in the daemon:\n" << found << "\nstderr:\n" << err();
}

bool Daemon::launch(const std::vector<std::string> &args) {
    std::vector<std::string> argv;
    if (!netns_.empty()) {
        // nsenter, too, execs in place.
        argv = {"/usr/bin/nsenter", "--net=/var/run/netns/" + netns_, "--"};
    }
    if (!hosts_file_.empty()) {
        // unshare execs in place: the daemon keeps this process's pid.
        // After nsenter, if any: the daemon gets both.
        argv.insert(argv.end(), {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                 "mount --bind \"$0\" /etc/hosts && exec \"$@\"", hosts_file_.string()});
    }
    argv.push_back((folder_ / "valdrin_proxy").string());
    argv.insert(argv.end(), args.begin(), args.end());
    // The daemon says where it listens once it does; a file of an earlier
    // run must not answer for this one.
    std::error_code ignored;
    fs::remove(ports_file(), ignored);
    argv.insert(argv.end(), {"--ports-file", ports_file().string()});
    // Started from elsewhere: the daemon must find its files by itself.
    return process_.spawn(argv, logs_, logs_ / "daemon.out", logs_ / "daemon.err");
}

std::optional<uint16_t> Daemon::wait_ports(Millis timeout) {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        // Written whole, by a rename, once every listener listens.
        if (fs::exists(ports_file())) {
            for (const Listening &l : listening())
                if (l.service == "http") return l.port;
            return 0;
        }
        if (!process_.running()) return std::nullopt;
        short_pause();
    }
    return std::nullopt;
}

std::vector<Listening> Daemon::listening() const {
    std::vector<Listening> out;
    std::istringstream lines(read_file(ports_file()));
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        const size_t colon = line.rfind(':');
        if (space == std::string::npos || colon == std::string::npos || colon < space) continue;
        out.push_back({line.substr(0, space), line.substr(space + 1, colon - space - 1),
                       static_cast<uint16_t>(std::stoul(line.substr(colon + 1)))});
    }
    return out;
}

size_t Daemon::open_descriptors() const {
    std::error_code ec;
    size_t count = 0;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(process_.pid()) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

Origin::Origin(std::string reply, const char *address, Mode mode)
    : reply_(std::move(reply)), mode_(mode), listener_(listen_tcp(address)), port_(local_port(listener_)) {
    std::tie(stop_read_, stop_write_) = make_pipe();
    thread_ = std::thread([this] { serve(); });
}

Origin::~Origin() {
    (void)!::write(stop_write_.get(), "x", 1);
    thread_.join();
}

std::vector<std::string> Origin::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> Origin::wait_requests(size_t count, Millis timeout) const {
    std::unique_lock lock(mutex_);
    recorded_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
    return requests_;
}

void Origin::serve() {
    for (;;) {
        if (wait_readable(listener_.get(), stop_read_.get(), -1) != 1) return;
        Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) continue;
        ++accepted_;
        serve_one(client);
    }
}

void Origin::serve_one(const Fd &client) {
    const auto deadline = Clock::now() + kIoTimeout;
    std::string got;
    std::string buffer(64 * 1024, '\0');
    size_t needed = SIZE_MAX;
    if (mode_ == Mode::kSpeaksFirst) {
        send_raw(client.get(), reply_);
        ::shutdown(client.get(), SHUT_WR);
    }
    while (got.size() < needed) {
        if (wait_readable(client.get(), stop_read_.get(), remaining_ms(deadline)) != 1) break;
        ssize_t n = ::recv(client.get(), buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        got.append(buffer.data(), static_cast<size_t>(n));
        if (needed == SIZE_MAX && mode_ == Mode::kAnswers) {
            auto end = got.find("\r\n\r\n");
            if (end != std::string::npos) needed = end + 4 + content_length(std::string_view(got).substr(0, end + 2));
        }
    }
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(got);
    }
    recorded_.notify_all();
    if (mode_ == Mode::kSpeaksFirst) return;
    send_raw(client.get(), reply_);
    ::shutdown(client.get(), SHUT_WR);
    // Read until the proxy closes its side, so nothing it sends is reset.
    while (wait_readable(client.get(), stop_read_.get(), remaining_ms(deadline)) == 1) {
        if (::recv(client.get(), buffer.data(), buffer.size(), 0) <= 0) break;
    }
}

EchoServer::EchoServer(const char *address) : listener_(listen_tcp(address)), port_(local_port(listener_)) {
    std::tie(stop_read_, stop_write_) = make_pipe();
    thread_ = std::thread([this] { serve(); });
}

EchoServer::~EchoServer() {
    (void)!::write(stop_write_.get(), "x", 1);
    thread_.join();
}

void EchoServer::serve() {
    std::string buffer(64 * 1024, '\0');
    for (;;) {
        if (wait_readable(listener_.get(), stop_read_.get(), -1) != 1) return;
        Fd client(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) continue;
        const auto deadline = Clock::now() + 4 * kIoTimeout;
        while (wait_readable(client.get(), stop_read_.get(), remaining_ms(deadline)) == 1) {
            ssize_t n = ::recv(client.get(), buffer.data(), buffer.size(), 0);
            if (n <= 0 || !send_raw(client.get(), std::string_view(buffer.data(), static_cast<size_t>(n)))) break;
        }
    }
}

FtpServer::FtpServer(fs::path root, fs::path logs, const char *address) : logs_(std::move(logs)) {
    // The port is chosen before the server binds it; retry if another
    // process took it in between.
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
        port_ = free_port();
        if (!process_.spawn({"/usr/bin/python3", "-m", "pyftpdlib", "-p", std::to_string(port_), "-d",
                             root.string(), "-i", address},
                            logs_, logs_ / "ftp.out", logs_ / "ftp.err"))
            continue;
        const auto deadline = Clock::now() + kStartTimeout;
        while (Clock::now() < deadline && process_.running() && !is_listening(port_)) short_pause();
        ready_ = process_.running() && is_listening(port_);
    }
}

FtpServer::~FtpServer() { process_.terminate(); }

TlsServer::TlsServer(fs::path root) : root_(std::move(root)) {
    auto cert = run_command({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                             "-subj", "/CN=localhost", "-keyout", "key.pem", "-out", "cert.pem"},
                            root_, 30'000ms);
    if (!exited_with(cert.status, 0)) {
        ADD_FAILURE() << "openssl req failed: " << cert.err;
        return;
    }
    for (int attempt = 0; attempt < 3 && !ready_; ++attempt) {
        port_ = free_port();
        if (!process_.spawn({"/usr/bin/openssl", "s_server", "-accept", "127.0.0.1:" + std::to_string(port_),
                             "-cert", "cert.pem", "-key", "key.pem", "-WWW"},
                            root_, root_ / "tls.out", root_ / "tls.err"))
            continue;
        const auto deadline = Clock::now() + kStartTimeout;
        while (Clock::now() < deadline && process_.running() && !is_listening(port_)) short_pause();
        ready_ = process_.running() && is_listening(port_);
    }
}

TlsServer::~TlsServer() { process_.terminate(); }

std::string TlsServer::log() const { return read_file(root_ / "tls.out") + read_file(root_ / "tls.err"); }

::testing::AssertionResult IsErrorPage(const Reply &reply, int code, std::string_view phrase,
                                       std::string_view fragment) {
    static constexpr std::string_view kHead =
        "<HTML><HEAD><TITLE>Valdrin Proxy Server : Error</TITLE></HEAD><BODY>";
    static constexpr std::string_view kFooterStart = "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>";
    static constexpr std::string_view kProduct = "Valdrin Proxy Server r.1.1";
    static constexpr std::string_view kFooterEnd = "</I></FONT></DIV></BODY></HTML>";

    auto fail = [&](const std::string &why) {
        return ::testing::AssertionFailure() << why << "\nreply was:\n" << reply.bytes;
    };
    if (!reply.closed) return fail("the connection was not closed after the page");
    auto end = reply.bytes.find("\r\n\r\n");
    if (end == std::string::npos) return fail("no complete header");
    const std::string header = reply.bytes.substr(0, end + 4);
    const std::string body = reply.bytes.substr(end + 4);
    const std::string expected_header = "HTTP/1.1 " + std::to_string(code) + " " + std::string(phrase) +
                                        "\r\nConnection: close\r\nContent-Type: text/html\r\nContent-Length: " +
                                        std::to_string(body.size()) + "\r\n\r\n";
    if (header != expected_header) return fail("header differs; expected:\n" + expected_header);
    std::string prefix = std::string(kHead) + std::string(fragment) + std::string(kFooterStart) + std::string(kProduct);
    if (body.compare(0, prefix.size(), prefix) != 0) return fail("page does not start with:\n" + prefix);
    if (body.size() < prefix.size() + kFooterEnd.size() ||
        body.compare(body.size() - kFooterEnd.size(), kFooterEnd.size(), kFooterEnd) != 0)
        return fail("page does not end with the footer");
    std::string product = body.substr(prefix.size(), body.size() - prefix.size() - kFooterEnd.size());
    if (product.find_first_of("<>") != std::string::npos) return fail("unexpected markup in the product line");
    return ::testing::AssertionSuccess();
}

void ProxyTest::SetUp() {
    const fs::path dist = dist_dir();
    ASSERT_TRUE(fs::exists(dist / "valdrin_proxy")) << "no daemon in " << dist << "; build the dist folder first";
    folder_ = scratch() / "proxy";
    fs::copy(dist, folder_, fs::copy_options::recursive);
    // Leftovers of a run from the build folder itself.
    for (const char *name : {"valdrin.conf", "valdrin.log", "valdrin.err"}) fs::remove(folder_ / name);
    // The system picks the port; the daemon says which once it listens.
    config_.http_port = "0";
}

void ProxyTest::TearDown() {
    if (daemon_ && !stopped_) stop_and_check();
}

void ProxyTest::write_files() {
    write_file(folder_ / "valdrin.conf", config_.render());
    if (adhosts_) {
        std::string text;
        for (const auto &line : *adhosts_) text += line + "\n";
        write_file(folder_ / "adhosts", text);
    }
    if (image_) write_file(folder_ / "valdrin.sys", *image_);
}

NetNamespace::NetNamespace(const std::string &stem) : name_(stem + "-" + std::to_string(::getpid())) {
    ok_ = exited_with(run_command({"/usr/sbin/ip", "netns", "add", name_}, dir_.path()).status, 0) &&
          exited_with(run({"/usr/sbin/ip", "link", "set", "lo", "up"}).status, 0);
}

NetNamespace::~NetNamespace() { run_command({"/usr/sbin/ip", "netns", "del", name_}, dir_.path()); }

CommandResult NetNamespace::run(const std::vector<std::string> &argv) const {
    std::vector<std::string> all = prefix();
    all.insert(all.end(), argv.begin(), argv.end());
    return run_command(all, dir_.path());
}

bool can_use_private_hosts_file() {
    static const bool can = [] {
        TempDir dir;
        write_file(dir.path() / "hosts", "127.0.0.1 probe.hosts.test\n");
        auto r = run_command({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                              "mount --bind \"$0\" /etc/hosts && getent hosts probe.hosts.test",
                              (dir.path() / "hosts").string()},
                             dir.path());
        return exited_with(r.status, 0);
    }();
    return can;
}

bool ProxyTest::launch(const std::vector<std::string> &args) {
    write_files();
    daemon_ = std::make_unique<Daemon>(folder_, scratch());
    if (hosts_) {
        write_file(scratch() / "hosts", *hosts_);
        daemon_->use_hosts_file(scratch() / "hosts");
    }
    if (netns_) daemon_->use_netns(*netns_);
    stopped_ = false;
    return daemon_->launch(args);
}

::testing::AssertionResult ProxyTest::start(const std::vector<std::string> &args) {
    if (!launch(args)) return ::testing::AssertionFailure() << "cannot start the daemon";
    const auto listening = daemon_->wait_ports();
    if (!listening) {
        auto status = daemon_->wait_exit(100ms);
        return ::testing::AssertionFailure() << "the daemon does not listen (" << describe_status(status)
                                             << ")\noutput:\n"
                                             << daemon_->output();
    }
    port_ = *listening;
    return ::testing::AssertionSuccess();
}

uint16_t ProxyTest::socks_port() const {
    if (!daemon_) return 0;
    for (const Listening &l : daemon_->listening())
        if (l.service == "socks") return l.port;
    return 0;
}

uint16_t ProxyTest::dns_port() const {
    if (!daemon_) return 0;
    for (const Listening &l : daemon_->listening())
        if (l.service == "dns") return l.port;
    return 0;
}

std::vector<uint16_t> ProxyTest::rdr_ports() const {
    std::vector<uint16_t> ports;
    if (daemon_)
        for (const Listening &l : daemon_->listening())
            if (l.service == "rdr") ports.push_back(l.port);
    std::sort(ports.begin(), ports.end());
    ports.erase(std::unique(ports.begin(), ports.end()), ports.end());
    return ports;
}

::testing::AssertionResult ProxyTest::reload() {
    auto reports = [&] {
        const std::string text = daemon_->output();
        size_t n = 0;
        for (const char *said : {"configuration reloaded from", ": reload of "})
            for (size_t at = text.find(said); at != std::string::npos; at = text.find(said, at + 1)) ++n;
        return n;
    };
    write_files();
    const size_t before = reports();
    if (::kill(daemon_->pid(), SIGHUP) != 0) return ::testing::AssertionFailure() << "kill failed";
    const auto until = Clock::now() + kIoTimeout;
    while (reports() == before) {
        if (Clock::now() > until) return ::testing::AssertionFailure() << "no reload reported:\n" << daemon_->output();
        short_pause();
    }
    return ::testing::AssertionSuccess();
}

void ProxyTest::stop_and_check() {
    stopped_ = true;
    auto status = daemon_->terminate();
    EXPECT_TRUE(exited_with(status, 0)) << "the daemon ended with " << describe_status(status)
                                        << "\nstderr:\n" << daemon_->err();
    EXPECT_EQ(sanitizer_findings(daemon_->err()), "");
}

Reply ProxyTest::ask(std::string_view request, const char *from) {
    Fd fd = connect_tcp("127.0.0.1", port_, from);
    if (!fd.valid()) {
        ADD_FAILURE() << "cannot connect to the proxy on " << port_ << (from ? std::string(" from ") + from : "");
        return {};
    }
    return talk(fd, request);
}

bool ProxyTest::log_contains(std::string_view text, Millis timeout) const {
    return wait_for_text(folder_ / config_.log_file, text, timeout);
}

fs::path ProxyTest::write_config_with(const std::vector<std::pair<std::string, std::string>> &http_keys) {
    std::string text = config_.render();
    std::string extra;
    for (const auto &[key, value] : http_keys) extra += key + "=" + value + "\n";
    text.insert(text.find("[HTTP]\n") + 7, extra);
    const fs::path conf = scratch() / "extra.conf";
    write_file(conf, text);
    return conf;
}

::testing::AssertionResult ProxyTest::start_with(
    const std::vector<std::pair<std::string, std::string>> &http_keys) {
    return start({"--config", write_config_with(http_keys).string()});
}

std::optional<int> ProxyTest::run_to_exit(const std::vector<std::string> &args) {
    if (!launch(args)) return std::nullopt;
    return await_exit();
}

std::optional<int> ProxyTest::await_exit() {
    stopped_ = true;
    auto status = daemon_->wait_exit();
    if (!status) daemon_->terminate();
    return status;
}

}  // namespace e2e
