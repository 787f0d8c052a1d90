// End-to-end harness: runs the real daemon from a private copy of the
// ready-to-run folder and talks to it only through processes and sockets.
#pragma once

#include <gtest/gtest.h>

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// Every wait in the suite is bounded by one of these.
inline constexpr Millis kStartTimeout{10'000};
inline constexpr Millis kExitTimeout{10'000};
inline constexpr Millis kIoTimeout{10'000};

// A name that never resolves: its first label is longer than DNS allows, so
// the C library refuses it without sending a query.
std::string unresolvable_name();

// Bytes 0..255 in a pattern that does not repeat with a short period.
std::string pattern_bytes(size_t size, unsigned seed = 1);

std::string read_file(const fs::path &path);
void write_file(const fs::path &path, std::string_view bytes);

// Owns a descriptor and closes it once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept;
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Listening TCP socket on `address` (an IPv4 or IPv6 literal; IPv6 takes
// IPv6 alone); port 0 lets the kernel choose.
Fd listen_tcp(const char *address, uint16_t port = 0);
uint16_t local_port(const Fd &fd);

// A loopback port that nothing listens on right now.
uint16_t free_port();

// A port held bound but not listening: connections to it are refused, and no
// one else can take it while the object lives.
class ClosedPort {
public:
    ClosedPort();
    uint16_t port() const { return port_; }

private:
    Fd fd_;
    uint16_t port_ = 0;
};

// Connects to address:port (either family), optionally from a chosen local
// address. Invalid Fd on failure.
Fd connect_tcp(const char *address, uint16_t port, const char *from = nullptr);

// True once some socket listens on `port` (TCP, any address): on this
// host, or in the network namespace of the given process.
bool is_listening(uint16_t port, pid_t in_namespace_of = 0);

bool send_all(const Fd &fd, std::string_view bytes);

struct Reply {
    std::string bytes;
    bool closed = false;     // the peer closed or reset the connection
    bool timed_out = false;  // the deadline passed first
};

// Sends `out` while reading; stops once `want` bytes have arrived, the peer
// closes, or the timeout expires. Reading goes on after everything is sent.
Reply talk(const Fd &fd, std::string_view out, size_t want = SIZE_MAX,
               Millis timeout = kIoTimeout);

// A child process with stdout and stderr sent to files.
class Process {
public:
    Process() = default;
    Process(const Process &) = delete;
    Process &operator=(const Process &) = delete;
    ~Process();  // a child still running is killed and reaped

    // Returns false if the fork fails; an exec failure shows as exit code 127.
    bool spawn(const std::vector<std::string> &argv, const fs::path &cwd,
               const fs::path &out_path, const fs::path &err_path);
    pid_t pid() const { return pid_; }
    bool running();
    // Waits for the exit; the raw wait status, or nothing on timeout.
    std::optional<int> wait_exit(Millis timeout);
    // SIGTERM, then a bounded wait. Nothing on timeout (the child is then killed).
    std::optional<int> terminate(Millis timeout = kExitTimeout);

private:
    void reap(int status);

    pid_t pid_ = -1;
    std::optional<int> status_;
};

struct CommandResult {
    std::optional<int> status;  // nothing: timed out and killed
    std::string out;
    std::string err;
};

// Runs a command to completion in `cwd`, output captured in files there.
CommandResult run_command(const std::vector<std::string> &argv, const fs::path &cwd,
                          Millis timeout = kIoTimeout);

bool exited_with(const std::optional<int> &status, int code);
std::string describe_status(const std::optional<int> &status);

// Waits (bounded) until the file at `path` holds `text`.
bool wait_for_text(const fs::path &path, std::string_view text, Millis timeout);

// Lines that the sanitizers write when they find a fault.
std::string sanitizer_findings(std::string_view err);
// The reports a sanitizer with a log_path option wrote for the process.
std::string sanitizer_log_reports(pid_t pid);

// A fresh temporary folder; removed at destruction unless the test failed.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

fs::path dist_dir();

// A network namespace of the test's own (ip netns add), its loopback up;
// deleted at destruction. Needs root: ok() says whether it was made.
class NetNamespace {
public:
    explicit NetNamespace(const std::string &stem);
    ~NetNamespace();
    bool ok() const { return ok_; }
    const std::string &name() const { return name_; }
    // The words that run a command inside it.
    std::vector<std::string> prefix() const { return {"/usr/sbin/ip", "netns", "exec", name_}; }
    CommandResult run(const std::vector<std::string> &argv) const;

private:
    TempDir dir_;
    std::string name_;
    bool ok_ = false;
};

// Configuration keys that the daemon and the server read.
struct ProxyConfig {
    std::string log_file = "valdrin.log";
    std::string err_file = "valdrin.err";
    std::string verbose = "false";
    std::vector<std::pair<int, std::string>> allowed;  // AllowedHost<N>=value
    std::string http_enabled = "true";
    std::string http_port;  // filled by the fixture
    std::string http_secure = "false";
    std::string ad_hosts_enabled = "true";
    std::vector<std::pair<std::string, std::string>> http_keys;  // further [HTTP] keys
    // [Socks], written only while socks_enabled is set.
    std::string socks_enabled;
    std::string socks4_allowed = "false";
    std::string socks_port = "0";
    std::string socks_listen;
    std::vector<std::pair<int, std::string>> socks_accounts;  // SocksAccount<N>=value
    // [RDR], written only while rdr_enabled is set.
    std::string rdr_enabled;
    std::string rdr_listen;
    std::vector<std::pair<int, std::string>> rdr_bindings;  // RDRBinding<N>=value
    // [DNS], written only while dns_enabled is set.
    std::string dns_enabled;
    std::string dns_port = "0";
    std::string dns_listen = "127.0.0.1";
    std::vector<std::pair<std::string, std::string>> dns_keys;  // further [DNS] keys

    std::string render() const;
};

// SHA-1 of the bytes, as 40 upper-case hexadecimal digits.
std::string sha1_hex(std::string_view bytes);
// A SocksAccount value: the user and the digest of user "::" password ";"
// over the password's bytes as given.
std::string socks_account(std::string_view user, std::string_view password);

// One line of the ports file: "socks 127.0.0.1:1080".
struct Listening {
    std::string service;
    std::string address;
    uint16_t port = 0;
};

// The daemon run from its own copy of the ready-to-run folder.
class Daemon {
public:
    // `folder` holds the copy; `logs` receives the daemon's stdout and stderr.
    Daemon(fs::path folder, fs::path logs) : folder_(std::move(folder)), logs_(std::move(logs)) {}
    ~Daemon();  // fails the current test if a sanitizer reported a fault

    bool launch(const std::vector<std::string> &args = {});
    // Runs the daemon with this file as its /etc/hosts, in a mount
    // namespace of its own (needs root), so that tests name hosts without
    // a name server. Set before launch.
    void use_hosts_file(fs::path hosts) { hosts_file_ = std::move(hosts); }
    // Runs the daemon in the named network namespace (made with ip netns).
    void use_netns(std::string name) { netns_ = std::move(name); }
    // Waits until the daemon says it listens (its ports file); the port of
    // its HTTP proxy (0 while HTTP is off), or nothing if it exits or time
    // runs out.
    std::optional<uint16_t> wait_ports(Millis timeout = kStartTimeout);
    // Where the daemon writes the addresses it listens on.
    fs::path ports_file() const { return logs_ / "daemon.ports"; }
    // The lines of the ports file, as written at start-up.
    std::vector<Listening> listening() const;
    std::optional<int> wait_exit(Millis timeout = kExitTimeout) { return process_.wait_exit(timeout); }
    std::optional<int> terminate() { return process_.terminate(); }
    bool running() { return process_.running(); }
    pid_t pid() const { return process_.pid(); }
    // Number of descriptors the daemon holds open right now.
    size_t open_descriptors() const;

    std::string out() const { return read_file(logs_ / "daemon.out"); }
    std::string err() const { return read_file(logs_ / "daemon.err"); }
    std::string output() const { return out() + err(); }

private:
    fs::path folder_;
    fs::path logs_;
    fs::path hosts_file_;
    std::string netns_;
    Process process_;
};

// Scripted HTTP origin on loopback: records each request's exact bytes (the
// header, then as many body bytes as Content-Length announces) and answers
// every connection with the same bytes, then closes. A server that speaks
// first sends its bytes on accept and records whatever arrives until the close.
class Origin {
public:
    enum class Mode { kAnswers, kSpeaksFirst };
    explicit Origin(std::string reply, const char *address = "127.0.0.1", Mode mode = Mode::kAnswers);
    ~Origin();

    uint16_t port() const { return port_; }
    int accepted() const { return accepted_.load(); }
    std::vector<std::string> requests() const;
    // Waits (bounded) until `count` connections have been recorded.
    std::vector<std::string> wait_requests(size_t count, Millis timeout = kIoTimeout) const;

private:
    void serve();
    void serve_one(const Fd &client);

    std::string reply_;
    Mode mode_;
    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::atomic<int> accepted_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable recorded_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

// Plain TCP echo server: sends back every byte until the peer closes.
class EchoServer {
public:
    explicit EchoServer(const char *address = "127.0.0.1");
    ~EchoServer();
    uint16_t port() const { return port_; }

private:
    void serve();

    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::thread thread_;
};

// An FTP server process serving `root` read-only to anonymous users.
class FtpServer {
public:
    explicit FtpServer(fs::path root, fs::path logs, const char *address = "127.0.0.1");
    ~FtpServer();
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string log() const { return read_file(logs_ / "ftp.err"); }

private:
    fs::path logs_;
    Process process_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

// A TLS server process with a throwaway self-signed certificate; it serves
// the files of `root` by their path.
class TlsServer {
public:
    explicit TlsServer(fs::path root);
    ~TlsServer();
    bool ready() const { return ready_; }
    uint16_t port() const { return port_; }
    std::string log() const;

private:
    fs::path root_;
    Process process_;
    uint16_t port_ = 0;
    bool ready_ = false;
};

// Checks a whole reply against the proxy's own HTML error page: status line,
// the three fields in order, Content-Length equal to the page, and the page.
::testing::AssertionResult IsErrorPage(const Reply &reply, int code, std::string_view phrase,
                                       std::string_view fragment);

// Fragments of the error pages, one per failure kind.
inline constexpr std::string_view kInvalidRequest =
    "<H1>Invalid request</H1>Your browser sent a request that could not be understood.";
inline constexpr std::string_view kMethodNotAllowed =
    "<H1>Method not allowed</H1>The method specified by your browser is unsupported.";
inline constexpr std::string_view kNotAllowed =
    "<H1>Not Allowed</H1>You are not allowed to connect on this server.";
inline constexpr std::string_view kConnectionRefused =
    "<H1>Connection refused</H1>The connection to the application server was refused.";
inline constexpr std::string_view kResolveFail =
    "<H1>Failed to resolve</H1>Impossible to resolve the requested hostname.";
inline constexpr std::string_view kBlockedHost =
    "<H1>Blocked host</H1>The host you asked for is on the proxy's list of advertising and tracking hosts.";
inline constexpr std::string_view kInternalError =
    "<H1>Error</H1>An error occured while retrieving the page.";

// True when this process may run the daemon in a mount namespace of its own.
bool can_use_private_hosts_file();

// Base fixture: a private copy of the ready-to-run folder, a configuration
// on the port the system picks (HTTPPort=0), and the daemon stopped and
// checked at the end.
class ProxyTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The daemon's own folder, and a scratch folder beside it.
    const fs::path &folder() const { return folder_; }
    const fs::path &scratch() const { return dir_.path(); }
    // The daemon's port, known once start() returns.
    uint16_t port() const { return port_; }
    // The port of the SOCKS server (0: none), known once start() returns.
    uint16_t socks_port() const;
    // The port of the DNS proxy (0: none), known once start() returns.
    uint16_t dns_port() const;
    // The redirector's listened ports at start-up, in ascending order.
    std::vector<uint16_t> rdr_ports() const;
    // Writes valdrin.conf from config_ again, sends SIGHUP and waits until
    // the daemon has said how the reload went.
    ::testing::AssertionResult reload();
    Daemon &daemon() { return *daemon_; }

    // Writes valdrin.conf (and adhosts when given), starts the daemon and
    // waits until it listens.
    ::testing::AssertionResult start(const std::vector<std::string> &args = {});
    // Writes the files and starts the daemon without waiting for it to listen.
    bool launch(const std::vector<std::string> &args = {});
    // Writes a configuration file with further keys in its "HTTP" section,
    // and returns its path (for --config).
    fs::path write_config_with(const std::vector<std::pair<std::string, std::string>> &http_keys);
    // start() with that file.
    ::testing::AssertionResult start_with(const std::vector<std::pair<std::string, std::string>> &http_keys);
    // Launches the daemon and waits for it to exit by itself.
    std::optional<int> run_to_exit(const std::vector<std::string> &args = {});
    // Waits for a running daemon to exit by itself (after a signal, say).
    std::optional<int> await_exit();
    // Stops the daemon: exit status 0 and no sanitizer findings expected.
    void stop_and_check();

    // One request from a client at `from`; the whole reply up to the close.
    Reply ask(std::string_view request, const char *from = nullptr);
    // Waits (bounded) until the log file holds `text`.
    bool log_contains(std::string_view text, Millis timeout = 5000ms) const;

    ProxyConfig config_;
    std::optional<std::vector<std::string>> adhosts_;  // nothing: keep the shipped list
    std::optional<std::string> image_;                 // nothing: keep the shipped image
    // Lines of the daemon's own /etc/hosts; nothing: the machine's.
    std::optional<std::string> hosts_;
    // The network namespace the daemon runs in; nothing: the test's.
    std::optional<std::string> netns_;

private:
    void write_files();

    TempDir dir_;
    fs::path folder_;
    uint16_t port_ = 0;
    std::unique_ptr<Daemon> daemon_;
    bool stopped_ = false;
};

}  // namespace e2e
