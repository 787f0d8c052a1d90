// The SOCKS server driven by real clients (curl, ncat, proxychains4,
// PySocks, Chromium, ssh) and by hand-made bytes on the wire, against
// origins on loopback.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kBody = "hello through socks";
const std::string kReply =
    "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kBody.size()) + "\r\nContent-Type: text/plain\r\n\r\n" + kBody;

// ---- bytes on the wire ----

std::string port_bytes(uint16_t port) { return {static_cast<char>(port >> 8), static_cast<char>(port & 0xff)}; }

std::string ipv4_bytes(const char *ip) {
    in_addr a{};
    ::inet_pton(AF_INET, ip, &a);
    return std::string(reinterpret_cast<const char *>(&a), 4);
}

const std::string kGreetingNoAuth("\x05\x01\x00", 3);
const std::string kMethodNoAuth("\x05\x00", 2);

std::string request5(uint8_t command, const char *ip, uint16_t port) {
    return std::string("\x05") + static_cast<char>(command) + std::string("\x00\x01", 2) + ipv4_bytes(ip) +
           port_bytes(port);
}
std::string request5_name(uint8_t command, const std::string &host, uint16_t port) {
    return std::string("\x05") + static_cast<char>(command) + std::string("\x00\x03", 2) +
           static_cast<char>(host.size()) + host + port_bytes(port);
}
std::string request4(uint8_t command, const char *ip, uint16_t port, const std::string &user = "") {
    return std::string("\x04") + static_cast<char>(command) + port_bytes(port) + ipv4_bytes(ip) + user +
           std::string(1, '\0');
}
std::string auth(const std::string &user, const std::string &password) {
    return std::string("\x01") + static_cast<char>(user.size()) + user + static_cast<char>(password.size()) + password;
}

// The reply code of a SOCKS 5 reply (its second byte), or -1.
int rep(const Reply &r) { return r.bytes.size() >= 2 && r.bytes[0] == 5 ? static_cast<unsigned char>(r.bytes[1]) : -1; }

// A SOCKS 5 reply with an IPv4 bound address: 10 bytes.
constexpr size_t kReply5v4 = 10;

uint16_t reply_port(const std::string &bytes, size_t at = 0) {
    return static_cast<uint16_t>(static_cast<unsigned char>(bytes[at + 8]) << 8 |
                                 static_cast<unsigned char>(bytes[at + 9]));
}

// UDP echo on loopback: sends each datagram back to its sender and
// records what it got.
class UdpEcho {
public:
    UdpEcho() : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) throw std::runtime_error("udp bind");
        socklen_t len = sizeof sa;
        ::getsockname(fd_.get(), reinterpret_cast<sockaddr *>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        stop_read_.reset(p[0]);
        stop_write_.reset(p[1]);
        thread_ = std::thread([this] { serve(); });
    }
    ~UdpEcho() {
        (void)!::write(stop_write_.get(), "x", 1);
        thread_.join();
    }
    uint16_t port() const { return port_; }
    std::vector<std::string> received() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    void serve() {
        char buffer[65536];
        for (;;) {
            pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {stop_read_.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || fds[1].revents) return;
            sockaddr_storage from{};
            socklen_t len = sizeof from;
            const ssize_t n = ::recvfrom(fd_.get(), buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n < 0) continue;
            {
                std::lock_guard lock(mutex_);
                received_.emplace_back(buffer, static_cast<size_t>(n));
            }
            ::sendto(fd_.get(), buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }

    Fd fd_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    mutable std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread thread_;
};

Fd udp_socket(const char *address) {
    Fd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) return {};
    return fd;
}

bool send_datagram(const Fd &fd, const std::string &bytes, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    return ::sendto(fd.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<std::string> receive_datagram(const Fd &fd, Millis timeout = kIoTimeout) {
    pollfd p{fd.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buffer[65536];
    const ssize_t n = ::recv(fd.get(), buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<size_t>(n));
}

// ---- the fixture ----

class Socks : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        config_.socks_enabled = "true";
    }
    std::string socks() const { return "127.0.0.1:" + std::to_string(socks_port()); }
    Fd open_socks(const char *from = nullptr) {
        Fd fd = connect_tcp("127.0.0.1", socks_port(), from);
        EXPECT_TRUE(fd.valid()) << "cannot connect to the SOCKS port " << socks_port();
        return fd;
    }
    // curl to an origin with the given proxy options; its exit status and output.
    CommandResult curl(std::vector<std::string> options, const std::string &url) {
        std::vector<std::string> argv = {"/usr/bin/curl", "-sS", "--max-time", "30"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(url);
        return run_command(argv, scratch(), 60'000ms);
    }
    static std::string url(const Origin &origin, const std::string &host = "127.0.0.1") {
        return "http://" + host + ":" + std::to_string(origin.port()) + "/page";
    }
    // A CONNECT without authentication to an echo server, checked both ways.
    ::testing::AssertionResult connects(uint16_t echo_port) {
        Fd fd = connect_tcp("127.0.0.1", socks_port());
        if (!fd.valid()) return ::testing::AssertionFailure() << "cannot connect";
        const Reply r = talk(fd, kGreetingNoAuth + request5(1, "127.0.0.1", echo_port) + "ping",
                             kMethodNoAuth.size() + kReply5v4 + 4);
        const std::string want = kMethodNoAuth + std::string("\x05\x00", 2);
        if (r.bytes.compare(0, want.size(), want) != 0 || r.bytes.substr(r.bytes.size() - 4) != "ping" ||
            r.bytes.size() != kMethodNoAuth.size() + kReply5v4 + 4)
            return ::testing::AssertionFailure() << "CONNECT failed; got " << ::testing::PrintToString(r.bytes);
        return ::testing::AssertionSuccess();
    }
    fs::path access_log() const { return folder() / "access.log"; }
    std::vector<std::string> access_lines(size_t at_least) const {
        const auto until = Clock::now() + kIoTimeout;
        for (;;) {
            std::vector<std::string> lines;
            std::istringstream in(read_file(access_log()));
            for (std::string line; std::getline(in, line);) lines.push_back(line);
            if (lines.size() >= at_least || Clock::now() > until) return lines;
            std::this_thread::sleep_for(10ms);
        }
    }
};

// ---- curl ----

class SocksCurl : public Socks {};

TEST_F(SocksCurl, Socks5ByAddressAndByName) {
    ASSERT_TRUE(start());
    ASSERT_NE(socks_port(), 0) << read_file(daemon().ports_file());
    Origin origin(kReply);
    auto by_address = curl({"--socks5", socks()}, url(origin));
    EXPECT_TRUE(exited_with(by_address.status, 0)) << by_address.err;
    EXPECT_EQ(by_address.out, kBody);
    auto by_name = curl({"--socks5-hostname", socks()}, url(origin, "localhost"));
    EXPECT_TRUE(exited_with(by_name.status, 0)) << by_name.err;
    EXPECT_EQ(by_name.out, kBody);
    const auto requests = origin.wait_requests(2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].rfind("GET /page HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(origin.port()) + "\r\n", 0),
              0u)
        << requests[0];
    EXPECT_EQ(requests[1].rfind("GET /page HTTP/1.1\r\nHost: localhost:" + std::to_string(origin.port()) + "\r\n", 0),
              0u)
        << requests[1];
}

TEST_F(SocksCurl, Socks4AndSocks4a) {
    config_.socks4_allowed = "true";
    ASSERT_TRUE(start());
    Origin origin(kReply);
    auto v4 = curl({"--socks4", socks()}, url(origin));
    EXPECT_TRUE(exited_with(v4.status, 0)) << v4.err;
    EXPECT_EQ(v4.out, kBody);
    auto v4a = curl({"--socks4a", socks()}, url(origin, "localhost"));
    EXPECT_TRUE(exited_with(v4a.status, 0)) << v4a.err;
    EXPECT_EQ(v4a.out, kBody);
    EXPECT_EQ(origin.wait_requests(2).size(), 2u);
}

TEST_F(SocksCurl, UserAndPasswordRightWrongAndMissing) {
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    auto right = curl({"--socks5", socks(), "-U", "bob:secret"}, url(origin));
    EXPECT_TRUE(exited_with(right.status, 0)) << right.err;
    EXPECT_EQ(right.out, kBody);
    auto wrong = curl({"--socks5", socks(), "-U", "bob:secreT"}, url(origin));
    EXPECT_FALSE(exited_with(wrong.status, 0)) << wrong.out;
    auto nobody = curl({"--socks5", socks(), "-U", "eve:secret"}, url(origin));
    EXPECT_FALSE(exited_with(nobody.status, 0)) << nobody.out;
    auto none = curl({"--socks5", socks()}, url(origin));
    EXPECT_FALSE(exited_with(none.status, 0)) << none.out;
    EXPECT_TRUE(log_contains("SOCKS authentication failed for user 'bob' from 127.0.0.1"));
    EXPECT_TRUE(log_contains("SOCKS authentication failed for user 'eve' from 127.0.0.1"));
    EXPECT_EQ(origin.accepted(), 1) << "only the right password reaches the origin";
}

TEST_F(SocksCurl, PasswordHashedAsWindows1252AcceptsItsUtf8Form) {
    // The digest is over 0xE4 and 0xF6; curl sends the UTF-8 of the same text.
    config_.socks_accounts = {{0, socks_account("dora", "p\xE4ssw\xF6rd")}};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    auto utf8 = curl({"--socks5", socks(), "-U", "dora:p\xC3\xA4ssw\xC3\xB6rd"}, url(origin));
    EXPECT_TRUE(exited_with(utf8.status, 0)) << utf8.err;
    EXPECT_EQ(utf8.out, kBody);
    auto ascii = curl({"--socks5", socks(), "-U", "dora:passwort"}, url(origin));
    EXPECT_FALSE(exited_with(ascii.status, 0));
    EXPECT_EQ(origin.accepted(), 1);
}

TEST_F(SocksCurl, AccountWithoutPasswordTakesAnyAndStarTakesOtherUsers) {
    config_.socks_accounts = {{0, "carol<none>"}, {1, socks_account("*", "shared")}};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    for (const char *user : {"carol:anything", "carol:", "zed:shared", "yan:shared"}) {
        auto r = curl({"--socks5", socks(), "-U", user}, url(origin));
        EXPECT_TRUE(exited_with(r.status, 0)) << user << ": " << r.err;
        EXPECT_EQ(r.out, kBody) << user;
    }
    auto wrong = curl({"--socks5", socks(), "-U", "zed:other"}, url(origin));
    EXPECT_FALSE(exited_with(wrong.status, 0));
    EXPECT_EQ(origin.accepted(), 4);
}

// ---- other clients ----

class SocksClients : public Socks {};

// The relay ends both directions at the first end it sees, so ncat keeps
// its side open (--no-shutdown) until the origin's reply and close.
TEST_F(SocksClients, NcatWithProxyAuth) {
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    auto r = run_command({"/bin/sh", "-c",
                          "printf 'GET /n HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n' | /usr/bin/ncat --proxy " + socks() +
                              " --proxy-type socks5 --proxy-auth bob:secret --no-shutdown 127.0.0.1 " +
                              std::to_string(origin.port())},
                         scratch(), 60'000ms);
    EXPECT_TRUE(exited_with(r.status, 0)) << describe_status(r.status) << r.err;
    EXPECT_EQ(r.out, kReply);
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /n HTTP/1.1\r\nHost: x\r\n\r\n");
}

TEST_F(SocksClients, ProxychainsAroundAProgramThatKnowsNothingOfSocks) {
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    write_file(scratch() / "proxychains.conf",
               "strict_chain\ntcp_read_time_out 15000\ntcp_connect_time_out 8000\n[ProxyList]\nsocks5 127.0.0.1 " +
                   std::to_string(socks_port()) + " bob secret\n");
    auto r = run_command({"/usr/bin/proxychains4", "-q", "-f", (scratch() / "proxychains.conf").string(),
                          "/usr/bin/python3", "-c",
                          "import urllib.request,sys; sys.stdout.write(urllib.request.urlopen(sys.argv[1], "
                          "timeout=30).read().decode())",
                          url(origin)},
                         scratch(), 60'000ms);
    EXPECT_TRUE(exited_with(r.status, 0)) << describe_status(r.status) << r.err;
    EXPECT_EQ(r.out, kBody);
    EXPECT_EQ(origin.wait_requests(1).size(), 1u);
    // The session went through the SOCKS server, as the bob account.
    const auto lines = access_lines(1);
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(lines.back().find(" - bob ["), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("\"SOCKS5-CONNECT 127.0.0.1:" + std::to_string(origin.port()) + "\" 200"),
              std::string::npos)
        << lines.back();
}

// A client that ends its side after the request (ncat and socat do by
// default) still gets the reply.
TEST_F(SocksClients, ClientThatEndsItsSideStillGetsTheReply) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    Fd fd = open_socks();
    ASSERT_EQ(talk(fd, kGreetingNoAuth + request5(1, "127.0.0.1", origin.port()), 2 + kReply5v4).bytes.size(),
              2 + kReply5v4);
    ASSERT_TRUE(send_all(fd, "GET / HTTP/1.1\r\n\r\n"));
    ::shutdown(fd.get(), SHUT_WR);
    EXPECT_EQ(talk(fd, "").bytes, kReply);
}

TEST_F(SocksClients, PySocksUdpAssociateEchoComesBackWithItsHeader) {
    ASSERT_TRUE(start());
    UdpEcho echo;
    // PySocks strips the header and reports the source it named.
    auto r = run_command({"/usr/bin/python3", "-c",
                          "import socks,socket,sys\n"
                          "s=socks.socksocket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                          "s.set_proxy(socks.SOCKS5,'127.0.0.1',int(sys.argv[1]))\n"
                          "s.settimeout(30)\n"
                          "s.sendto(b'ping over udp',('127.0.0.1',int(sys.argv[2])))\n"
                          "data,src=s.recvfrom(4096)\n"
                          "print(data.decode(), src[0], src[1])\n",
                          std::to_string(socks_port()), std::to_string(echo.port())},
                         scratch(), 60'000ms);
    EXPECT_TRUE(exited_with(r.status, 0)) << describe_status(r.status) << r.err;
    EXPECT_EQ(r.out, "ping over udp 127.0.0.1 " + std::to_string(echo.port()) + "\n");
    EXPECT_EQ(echo.received(), std::vector<std::string>{"ping over udp"});
}

TEST_F(SocksClients, UdpRelayTakesOnlyTheClientsDatagrams) {
    ASSERT_TRUE(start());
    UdpEcho echo;
    Fd client = udp_socket("127.0.0.1");
    ASSERT_TRUE(client.valid());
    sockaddr_in self{};
    socklen_t len = sizeof self;
    ::getsockname(client.get(), reinterpret_cast<sockaddr *>(&self), &len);
    Fd control = open_socks();
    const Reply r = talk(control, kGreetingNoAuth + request5(3, "127.0.0.1", ntohs(self.sin_port)),
                         kMethodNoAuth.size() + kReply5v4);
    ASSERT_EQ(r.bytes.size(), kMethodNoAuth.size() + kReply5v4) << ::testing::PrintToString(r.bytes);
    ASSERT_EQ(r.bytes.substr(0, 6), kMethodNoAuth + std::string("\x05\x00\x00\x01", 4));
    const uint16_t relay = reply_port(r.bytes, 2);
    const std::string header = std::string("\x00\x00\x00\x01", 4) + ipv4_bytes("127.0.0.1") + port_bytes(echo.port());
    // From another port and from another address: neither may be relayed.
    Fd other_port = udp_socket("127.0.0.1");
    Fd other_address = udp_socket("127.0.0.2");
    ASSERT_TRUE(send_datagram(other_port, header + "intruder port", relay));
    ASSERT_TRUE(send_datagram(other_address, header + "intruder address", relay));
    ASSERT_TRUE(send_datagram(client, header + "mine", relay));
    const auto back = receive_datagram(client);
    ASSERT_TRUE(back.has_value()) << "no echo came back";
    EXPECT_EQ(*back, header + "mine") << "the echo comes back with the echo's address as its header";
    EXPECT_EQ(echo.received(), std::vector<std::string>{"mine"});
    EXPECT_FALSE(receive_datagram(other_port, 0ms).has_value());
    EXPECT_FALSE(receive_datagram(other_address, 0ms).has_value());
}

// PySocks has no BIND; the client side is written out here, as an FTP
// client would in active mode.
TEST_F(SocksClients, BindGivesAPortAndBothRepliesAndRelaysBothWays) {
    ASSERT_TRUE(start());
    Fd control = open_socks();
    Reply first = talk(control, kGreetingNoAuth + request5(2, "127.0.0.1", 0), kMethodNoAuth.size() + kReply5v4);
    ASSERT_EQ(first.bytes.size(), kMethodNoAuth.size() + kReply5v4) << ::testing::PrintToString(first.bytes);
    ASSERT_EQ(first.bytes.substr(0, 6), kMethodNoAuth + std::string("\x05\x00\x00\x01", 4));
    const uint16_t bound = reply_port(first.bytes, 2);
    ASSERT_NE(bound, 0);
    // The "application server" connects to the port it was told.
    Fd server = connect_tcp("127.0.0.1", bound);
    ASSERT_TRUE(server.valid()) << "nothing listens on the bound port " << bound;
    sockaddr_in server_side{};
    socklen_t len = sizeof server_side;
    ::getsockname(server.get(), reinterpret_cast<sockaddr *>(&server_side), &len);
    const Reply second = talk(control, "", kReply5v4);
    ASSERT_EQ(second.bytes.size(), kReply5v4) << ::testing::PrintToString(second.bytes);
    EXPECT_EQ(second.bytes.substr(0, 8), std::string("\x05\x00\x00\x01", 4) + ipv4_bytes("127.0.0.1"));
    EXPECT_EQ(reply_port(second.bytes), ntohs(server_side.sin_port)) << "the second reply names the peer";
    ASSERT_TRUE(send_all(server, "220 from the server\r\n"));
    EXPECT_EQ(talk(control, "", 21).bytes, "220 from the server\r\n");
    ASSERT_TRUE(send_all(control, "RETR file\r\n"));
    EXPECT_EQ(talk(server, "", 11).bytes, "RETR file\r\n");
}

TEST_F(SocksClients, SshThroughNetcatToAThrowawaySshd) {
    if (::access("/usr/sbin/sshd", X_OK) != 0 || ::access("/bin/nc", X_OK) != 0 || ::getuid() != 0)
        GTEST_SKIP() << "needs root, /usr/sbin/sshd and /bin/nc (scripts/setup.sh installs them)";
    ASSERT_TRUE(start());
    const fs::path dir = scratch() / "ssh";
    fs::create_directories(dir);
    for (const char *key : {"host_key", "client_key"}) {
        auto gen = run_command({"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", (dir / key).string()},
                               dir, 30'000ms);
        ASSERT_TRUE(exited_with(gen.status, 0)) << gen.err;
    }
    fs::copy_file(dir / "client_key.pub", dir / "authorized_keys");
    // sshd insists on its privilege separation folder.
    std::error_code ignored;
    fs::create_directories("/run/sshd", ignored);
    write_file(dir / "sshd_config", "ListenAddress 127.0.0.1\nHostKey " + (dir / "host_key").string() +
                                        "\nAuthorizedKeysFile " + (dir / "authorized_keys").string() +
                                        "\nPidFile none\nStrictModes no\nUsePAM no\nPasswordAuthentication no\n"
                                        "KbdInteractiveAuthentication no\nPermitRootLogin prohibit-password\n");
    Process sshd;
    uint16_t ssh_port = 0;
    for (int attempt = 0; attempt < 3 && ssh_port == 0; ++attempt) {
        const uint16_t candidate = free_port();
        ASSERT_TRUE(sshd.spawn({"/usr/sbin/sshd", "-D", "-e", "-f", (dir / "sshd_config").string(), "-p",
                                std::to_string(candidate)},
                               dir, dir / "sshd.out", dir / "sshd.err"));
        const auto until = Clock::now() + kStartTimeout;
        while (Clock::now() < until && sshd.running() && !is_listening(candidate)) std::this_thread::sleep_for(10ms);
        if (sshd.running() && is_listening(candidate)) ssh_port = candidate;
    }
    if (ssh_port == 0) GTEST_SKIP() << "sshd does not start here: " << read_file(dir / "sshd.err");
    auto r = run_command({"/usr/bin/ssh", "-F", "/dev/null", "-i", (dir / "client_key").string(), "-o",
                          "UserKnownHostsFile=" + (dir / "known_hosts").string(), "-o", "StrictHostKeyChecking=no",
                          "-o", "BatchMode=yes", "-o", "ProxyCommand=/bin/nc -X 5 -x " + socks() + " %h %p", "-p",
                          std::to_string(ssh_port), "root@127.0.0.1", "echo", "ok"},
                         dir, 60'000ms);
    EXPECT_TRUE(exited_with(r.status, 0)) << describe_status(r.status) << r.err << read_file(dir / "sshd.err");
    EXPECT_EQ(r.out, "ok\n");
    sshd.terminate();
}

// ---- a browser ----

TEST_F(SocksClients, HeadlessChromiumLoadsALoopbackPage) {
    const char *const chromium = "/usr/bin/chromium";
    if (::access(chromium, X_OK) != 0) GTEST_SKIP() << "no " << chromium << " (scripts/setup.sh installs it)";
    ASSERT_TRUE(start());
    const std::string html = "<!DOCTYPE html><html><body><p id=\"c\">a page over socks</p></body></html>";
    Origin site("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: " + std::to_string(html.size()) +
                "\r\n\r\n" + html);
    const fs::path profile = scratch() / "chromium-profile";
    fs::create_directories(profile);
    auto run = run_command({chromium, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                            "--disable-background-networking", "--disable-component-update", "--disable-sync",
                            "--user-data-dir=" + profile.string(), "--proxy-server=socks5://" + socks(),
                            // Loopback would otherwise bypass the proxy.
                            "--proxy-bypass-list=<-loopback>", "--dump-dom",
                            "http://127.0.0.1:" + std::to_string(site.port()) + "/index.html"},
                           scratch(), 90'000ms);
    ASSERT_TRUE(exited_with(run.status, 0)) << describe_status(run.status) << "\n" << run.err.substr(0, 2000);
    EXPECT_NE(run.out.find("a page over socks"), std::string::npos) << run.out;
    EXPECT_GE(site.accepted(), 1);
    EXPECT_TRUE(wait_for_text(access_log(), "\"SOCKS5-CONNECT 127.0.0.1:" + std::to_string(site.port()) + "\" 200",
                              kIoTimeout))
        << read_file(access_log());
}

// ---- policy ----

class SocksPolicy : public Socks {};

TEST_F(SocksPolicy, ClientOutsideTheAllowListIsClosedBeforeAnyByte) {
    ASSERT_TRUE(start());
    EchoServer echo;
    Fd fd = open_socks("127.0.0.2");
    const Reply r = talk(fd, kGreetingNoAuth + request5(1, "127.0.0.1", echo.port()) + "ping");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused (SOCKS)"));
    EXPECT_TRUE(connects(echo.port())) << "127.0.0.1 is always allowed";
}

TEST_F(SocksPolicy, BlockedHostGetsNotAllowedAndNothingConnectsToIt) {
    adhosts_ = std::vector<std::string>{"127.0.0.3", "ads.socks.test"};
    config_.socks4_allowed = "true";
    ASSERT_TRUE(start());
    Origin blocked(kReply, "127.0.0.3");
    {
        Fd fd = open_socks();
        const Reply r = talk(fd, kGreetingNoAuth + request5(1, "127.0.0.3", blocked.port()));
        EXPECT_EQ(r.bytes.substr(2), std::string("\x05\x02\x00\x01\x00\x00\x00\x00\x00\x00", 10));
        EXPECT_TRUE(r.closed);
    }
    {
        Fd fd = open_socks();
        const Reply r = talk(fd, kGreetingNoAuth + request5_name(1, "ads.socks.test", 80));
        EXPECT_EQ(rep(Reply{r.bytes.substr(2)}), 2);
        EXPECT_TRUE(r.closed);
    }
    {
        Fd fd = open_socks();
        const Reply r = talk(fd, request4(1, "127.0.0.3", blocked.port()));
        EXPECT_EQ(r.bytes, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
    }
    auto via_curl = curl({"--socks5-hostname", socks()}, "http://ads.socks.test/");
    EXPECT_FALSE(exited_with(via_curl.status, 0));
    EXPECT_EQ(blocked.accepted(), 0);
    EXPECT_TRUE(log_contains("SOCKS request for 127.0.0.3:" + std::to_string(blocked.port()) + " from 127.0.0.1 blocked"));
}

TEST_F(SocksPolicy, Socks4RefusedUnlessAllowed) {
    ASSERT_TRUE(start());
    EchoServer echo;
    Fd fd = open_socks();
    const Reply r = talk(fd, request4(1, "127.0.0.1", echo.port()) + "ping");
    EXPECT_EQ(r.bytes, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
    EXPECT_TRUE(r.closed);
    auto via_curl = curl({"--socks4", socks()}, "http://127.0.0.1:" + std::to_string(echo.port()) + "/");
    EXPECT_FALSE(exited_with(via_curl.status, 0));
    EXPECT_TRUE(log_contains("Socks4Allowed is not true"));
    EXPECT_TRUE(connects(echo.port()));
}

TEST_F(SocksPolicy, Socks4UserIdMustBeAnAccount) {
    config_.socks4_allowed = "true";
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    ASSERT_TRUE(start());
    EchoServer echo;
    {
        Fd fd = open_socks();
        EXPECT_EQ(talk(fd, request4(1, "127.0.0.1", echo.port(), "eve")).bytes.substr(0, 2), std::string("\x00\x5b", 2));
    }
    Fd fd = open_socks();
    const Reply r = talk(fd, request4(1, "127.0.0.1", echo.port(), "bob") + "ping", 8 + 4);
    EXPECT_EQ(r.bytes.substr(0, 2), std::string("\x00\x5a", 2));
    EXPECT_EQ(r.bytes.substr(8), "ping");
}

// ---- hostile input ----

class SocksHostile : public Socks {};

TEST_F(SocksHostile, EveryMessageCutAtEveryLengthThenClosed) {
    config_.socks4_allowed = "true";
    config_.socks_accounts = {{0, socks_account("bob", "secret")}, {1, "anon<none>"}};
    ASSERT_TRUE(start());
    EchoServer echo;
    const std::string greeting("\x05\x02\x00\x02", 4);
    const std::string login = auth("bob", "secret");
    const std::string connect = request5(1, "127.0.0.1", echo.port());
    const std::string by_name = request5_name(1, "localhost", echo.port());
    const std::string v4 = request4(1, "127.0.0.1", echo.port(), "anon");
    const std::string v4a = std::string("\x04\x01", 2) + port_bytes(echo.port()) + std::string("\x00\x00\x00\x01", 4) +
                            "anon" + std::string(1, '\0') + "localhost" + std::string(1, '\0');
    // Each sequence is what a client sends in order; every prefix is tried.
    const std::vector<std::string> sequences = {greeting + login + connect, greeting + login + by_name, v4, v4a};
    int cuts = 0;
    for (const std::string &whole : sequences) {
        for (size_t cut = 0; cut < whole.size(); ++cut, ++cuts) {
            Fd fd = open_socks();
            ASSERT_TRUE(fd.valid());
            ASSERT_TRUE(send_all(fd, whole.substr(0, cut)));
            ::shutdown(fd.get(), SHUT_WR);
            // The daemon closes once it sees the end; it never waits for more.
            const Reply r = talk(fd, "");
            EXPECT_TRUE(r.closed) << "cut at " << cut << " of " << ::testing::PrintToString(whole);
        }
        ASSERT_TRUE(daemon().running());
    }
    // The same cuts with a reset instead of a clean close.
    for (size_t cut = 0; cut < sequences[0].size(); ++cut) {
        Fd fd = open_socks();
        ASSERT_TRUE(send_all(fd, sequences[0].substr(0, cut)));
        linger reset{1, 0};
        ::setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    ASSERT_TRUE(daemon().running());
    Fd fd = open_socks();
    const Reply r = talk(fd, greeting + login + connect + "after", 2 + 2 + kReply5v4 + 5);
    EXPECT_EQ(r.bytes.substr(0, 5), std::string("\x05\x02\x01\x00\x05", 5));
    EXPECT_EQ(r.bytes.substr(r.bytes.size() - 5), "after");
    std::printf("[ socks ] %d cut messages, the daemon serves the next client\n", cuts);
}

TEST_F(SocksHostile, UnknownVersionMethodCommandAndAddressType) {
    config_.socks4_allowed = "true";
    ASSERT_TRUE(start());
    EchoServer echo;
    auto exchange = [&](const std::string &bytes) {
        Fd fd = open_socks();
        return talk(fd, bytes);
    };
    const Reply version = exchange(std::string("\x06\x01\x00", 3));
    EXPECT_TRUE(version.closed);
    EXPECT_EQ(version.bytes, "") << "an unknown version is closed silently";
    const Reply method = exchange(std::string("\x05\x02\x80\x81", 4));
    EXPECT_EQ(method.bytes, std::string("\x05\xff", 2));
    EXPECT_TRUE(method.closed);
    const Reply command = exchange(kGreetingNoAuth + request5(9, "127.0.0.1", echo.port()));
    EXPECT_EQ(command.bytes.substr(0, 4), kMethodNoAuth + std::string("\x05\x07", 2));
    EXPECT_TRUE(command.closed);
    const Reply atyp = exchange(kGreetingNoAuth + std::string("\x05\x01\x00\x05\x7f\x00\x00\x01\x00\x50", 10));
    EXPECT_EQ(atyp.bytes.substr(0, 4), kMethodNoAuth + std::string("\x05\x08", 2));
    EXPECT_TRUE(atyp.closed);
    const Reply request_version = exchange(kGreetingNoAuth + std::string("\x04\x01\x00\x01\x7f\x00\x00\x01\x00\x50", 10));
    EXPECT_EQ(request_version.bytes.substr(0, 4), kMethodNoAuth + std::string("\x05\x01", 2));
    const Reply v4_command = exchange(request4(7, "127.0.0.1", echo.port()));
    EXPECT_EQ(v4_command.bytes, std::string("\x00\x5b\x00\x00\x00\x00\x00\x00", 8));
    const Reply unresolvable = exchange(kGreetingNoAuth + request5_name(1, unresolvable_name(), 80));
    EXPECT_EQ(rep(Reply{unresolvable.bytes.substr(2)}), 4) << "host unreachable";
    EXPECT_TRUE(connects(echo.port()));
}

// The reply says why the connect failed, from the support library's own
// record of the error.
TEST_F(SocksHostile, RefusedConnectIsAnsweredConnectionRefused) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    Fd fd = open_socks();
    const Reply r = talk(fd, kGreetingNoAuth + request5(1, "127.0.0.1", closed.port()));
    EXPECT_EQ(r.bytes.substr(2), std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    EXPECT_TRUE(r.closed);
}

TEST_F(SocksHostile, StalledNegotiationIsClosedAtTheHeaderTimeout) {
    config_.http_keys = {{"HTTPHeaderTimeout", "1"}};
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    ASSERT_TRUE(start());
    // Stopped inside the greeting, after it, and inside the login.
    const std::vector<std::pair<std::string, std::string>> stalls = {
        {std::string("\x05\x01", 2), ""},
        {std::string("\x05\x01\x02", 3), std::string("\x05\x02", 2)},
        {std::string("\x05\x01\x02", 3) + auth("bob", "secret").substr(0, 4), std::string("\x05\x02", 2)}};
    for (const auto &[sent, answer] : stalls) {
        Fd fd = open_socks();
        const Reply r = talk(fd, sent, SIZE_MAX, 30'000ms);
        EXPECT_TRUE(r.closed) << "still open after " << ::testing::PrintToString(sent);
        EXPECT_EQ(r.bytes, answer);
    }
}

// A listening socket for many clients at once, and an echo for each.
class ManyEcho {
public:
    ManyEcho() : listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(listener_.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
            ::listen(listener_.get(), 4096) != 0)
            throw std::runtime_error("listen");
        port_ = local_port(listener_);
        int p[2];
        if (::pipe2(p, O_CLOEXEC) != 0) throw std::runtime_error("pipe2");
        stop_read_.reset(p[0]);
        stop_write_.reset(p[1]);
        thread_ = std::thread([this] { serve(); });
    }
    ~ManyEcho() {
        (void)!::write(stop_write_.get(), "x", 1);
        thread_.join();
    }
    uint16_t port() const { return port_; }

private:
    void serve() {
        std::vector<Fd> clients;
        char buffer[4096];
        for (;;) {
            std::vector<pollfd> fds = {{stop_read_.get(), POLLIN, 0}, {listener_.get(), POLLIN, 0}};
            for (const Fd &c : clients) fds.push_back({c.get(), POLLIN, 0});
            if (::poll(fds.data(), fds.size(), -1) < 0) continue;
            if (fds[0].revents) return;
            if (fds[1].revents)
                for (int fd; (fd = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;)
                    clients.emplace_back(fd);
            const size_t polled = fds.size() - 2;
            std::vector<Fd> kept;
            for (size_t i = 0; i < clients.size(); ++i) {
                if (i < polled && fds[i + 2].revents) {
                    const ssize_t n = ::recv(clients[i].get(), buffer, sizeof buffer, MSG_DONTWAIT);
                    if (n == 0 || (n < 0 && errno != EAGAIN)) continue;  // the peer closed: drop it
                    if (n > 0 && ::send(clients[i].get(), buffer, static_cast<size_t>(n), MSG_NOSIGNAL) != n) continue;
                }
                kept.push_back(std::move(clients[i]));
            }
            clients = std::move(kept);
        }
    }

    Fd listener_;
    Fd stop_read_, stop_write_;
    uint16_t port_ = 0;
    std::thread thread_;
};

TEST_F(SocksHostile, AThousandClientsAtOnceEachCompleteAConnect) {
    constexpr int kClients = 1000;
    ASSERT_TRUE(start());
    ManyEcho echo;
    std::vector<Fd> clients;
    std::vector<std::string> got(kClients);
    std::vector<std::string> out(kClients);
    const auto until = Clock::now() + 120'000ms;
    // Every client connects before any reads: the daemon sees them all at once.
    for (int i = 0; i < kClients; ++i) {
        Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(socks_port());
        const int rc = ::connect(fd.get(), reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        ASSERT_TRUE(rc == 0 || errno == EINPROGRESS) << std::strerror(errno);
        clients.push_back(std::move(fd));
        out[i] = kGreetingNoAuth + request5(1, "127.0.0.1", echo.port()) + "client " + std::to_string(i) + ";";
    }
    std::vector<size_t> want(kClients);
    for (int i = 0; i < kClients; ++i) want[i] = kMethodNoAuth.size() + kReply5v4 + out[i].size() - 13;
    int done = 0;
    while (done < kClients && Clock::now() < until) {
        std::vector<pollfd> fds;
        std::vector<int> which;
        for (int i = 0; i < kClients; ++i) {
            if (!clients[i].valid()) continue;
            fds.push_back({clients[i].get(), static_cast<short>(POLLIN | (out[i].empty() ? 0 : POLLOUT)), 0});
            which.push_back(i);
        }
        if (::poll(fds.data(), fds.size(), 1000) < 0) continue;
        for (size_t k = 0; k < fds.size(); ++k) {
            const int i = which[k];
            if ((fds[k].revents & POLLOUT) && !out[i].empty()) {
                const ssize_t n = ::send(clients[i].get(), out[i].data(), out[i].size(), MSG_NOSIGNAL);
                if (n > 0) out[i].erase(0, static_cast<size_t>(n));
            }
            if (fds[k].revents & (POLLIN | POLLHUP | POLLERR)) {
                char buffer[512];
                const ssize_t n = ::recv(clients[i].get(), buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) got[i].append(buffer, static_cast<size_t>(n));
                if (n == 0 || (n < 0 && errno != EAGAIN) || got[i].size() >= want[i]) {
                    clients[i].reset();
                    ++done;
                }
            }
        }
    }
    int complete = 0;
    for (int i = 0; i < kClients; ++i) {
        const std::string tail = "client " + std::to_string(i) + ";";
        if (got[i].size() == want[i] && got[i].compare(0, 4, kMethodNoAuth + std::string("\x05\x00", 2)) == 0 &&
            got[i].substr(got[i].size() - tail.size()) == tail)
            ++complete;
        else if (kClients - complete < 5)
            ADD_FAILURE() << "client " << i << " got " << ::testing::PrintToString(got[i]);
    }
    EXPECT_EQ(complete, kClients);
    EXPECT_TRUE(daemon().running());
}

// ---- what an administrator reads ----

class SocksObservability : public Socks {};

// The goaccess options the README documents for the access log.
std::string documented_goaccess_format() {
    const std::string readme = read_file(fs::path(VALDRIN_SOURCE_DIR) / "README.md");
    const std::string key = "--log-format='";
    const size_t at = readme.find(key);
    if (at == std::string::npos) return "";
    const size_t end = readme.find('\'', at + key.size());
    return readme.substr(at + key.size(), end - at - key.size());
}

TEST_F(SocksObservability, AccessLogOfSocksAndRedirectSessionsReadsInGoaccess) {
    adhosts_ = std::vector<std::string>{"127.0.0.3"};
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    Origin origin(kReply);
    const uint16_t rdr = free_port();
    config_.rdr_enabled = "true";
    config_.rdr_bindings = {{0, std::to_string(rdr) + " -> " + std::to_string(origin.port()) + " 127.0.0.1"},
                            {1, std::to_string(free_port()) + " -> 80 " + unresolvable_name()}};
    ASSERT_TRUE(start());
    const uint16_t broken = rdr_ports().size() == 2 ? (rdr_ports()[0] == rdr ? rdr_ports()[1] : rdr_ports()[0]) : 0;
    ASSERT_NE(broken, 0) << read_file(daemon().ports_file());
    EXPECT_TRUE(exited_with(curl({"--socks5", socks(), "-U", "bob:secret"}, url(origin)).status, 0));
    EXPECT_FALSE(exited_with(curl({"--socks5", socks(), "-U", "bob:wrong"}, url(origin)).status, 0));
    {
        Fd fd = open_socks();
        talk(fd, std::string("\x05\x01\x02", 3) + auth("bob", "secret") + request5(1, "127.0.0.3", 80));
    }
    {
        Fd fd = open_socks("127.0.0.2");
        talk(fd, "");
    }
    EXPECT_TRUE(exited_with(curl({}, "http://127.0.0.1:" + std::to_string(rdr) + "/r").status, 0));
    {
        Fd fd = connect_tcp("127.0.0.1", broken);
        EXPECT_TRUE(talk(fd, "").closed);
    }
    // A refused client has its line too, as on the HTTP port.
    const auto lines = access_lines(6);
    ASSERT_EQ(lines.size(), 6u) << read_file(access_log());
    const std::string all = read_file(access_log());
    for (const char *want : {"\"SOCKS5-CONNECT 127.0.0.1:", "\" 200 ", " tunnel ", " auth-failed", " blocked",
                             "\"REDIRECT 127.0.0.1:", " redirect", "\"REDIRECT " , " error",
                             "127.0.0.2 - - [", " 403 0 \"-\" \"-\" 0 refused"})
        EXPECT_NE(all.find(want), std::string::npos) << want << " not in:\n" << all;
    static const std::regex kLine(
        R"re(^(\S+) - (\S+) \[\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4}\] "([^"]*)" (\d{3}) (\d+) "-" "-" (\d+) ([a-z-]+)( \d+)?$)re");
    for (const std::string &line : lines) EXPECT_TRUE(std::regex_match(line, kLine)) << line;

    const std::string format = documented_goaccess_format();
    ASSERT_FALSE(format.empty()) << "README.md has no goaccess --log-format line";
    auto run = run_command({"/usr/bin/goaccess", access_log().string(), "--no-global-config", "--log-format=" + format,
                            "--date-format=%d/%b/%Y", "--time-format=%H:%M:%S",
                            "--invalid-requests=" + (scratch() / "invalid.txt").string(), "-o",
                            (scratch() / "report.json").string()},
                           scratch(), 30'000ms);
    ASSERT_TRUE(exited_with(run.status, 0)) << describe_status(run.status) << run.err;
    const std::string report = read_file(scratch() / "report.json");
    EXPECT_NE(report.find("\"failed_requests\": 0"), std::string::npos) << read_file(scratch() / "invalid.txt");
    EXPECT_NE(report.find("\"valid_requests\": 6"), std::string::npos) << report.substr(0, 600);
}

TEST_F(SocksObservability, MetricsCountSessionsRefusalsAndBytes) {
    adhosts_ = std::vector<std::string>{"127.0.0.3"};
    config_.socks_accounts = {{0, socks_account("bob", "secret")}};
    EchoServer echo;
    const uint16_t rdr = free_port();
    config_.rdr_enabled = "true";
    config_.rdr_bindings = {{0, std::to_string(rdr) + " -> " + std::to_string(echo.port()) + " 127.0.0.1"}};
    ASSERT_TRUE(start());
    const std::string login = std::string("\x05\x01\x02", 3) + auth("bob", "secret");
    {
        Fd fd = open_socks();
        EXPECT_EQ(talk(fd, login + request5(1, "127.0.0.1", echo.port()) + "12345", 2 + 2 + kReply5v4 + 5).bytes.size(),
                  2 + 2 + kReply5v4 + 5);
    }
    {
        Fd fd = open_socks();
        talk(fd, std::string("\x05\x01\x02", 3) + auth("bob", "nope"));
    }
    {
        Fd fd = open_socks();
        talk(fd, login + request5(1, "127.0.0.3", 80));
    }
    {
        Fd fd = open_socks("127.0.0.2");
        talk(fd, "");
    }
    {
        Fd fd = connect_tcp("127.0.0.1", rdr);
        EXPECT_EQ(talk(fd, "abcdefg", 7).bytes, "abcdefg");
    }
    ASSERT_EQ(access_lines(5).size(), 5u) << read_file(access_log());
    const Reply reply = ask("GET http://valdrin.status/metrics HTTP/1.1\r\nHost: valdrin.status\r\n\r\n");
    const size_t end = reply.bytes.find("\r\n\r\n");
    ASSERT_NE(end, std::string::npos) << reply.bytes;
    const std::string metrics = reply.bytes.substr(end + 4);
    write_file(scratch() / "metrics.txt", metrics);
    auto promtool = run_command({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, scratch(), 30'000ms);
    EXPECT_TRUE(exited_with(promtool.status, 0)) << promtool.out << promtool.err << "\n" << metrics;
    auto value = [&](const std::string &series) -> double {
        const size_t at = metrics.find("\n" + series + " ");
        if (at == std::string::npos) return -1;
        return std::strtod(metrics.c_str() + at + series.size() + 2, nullptr);
    };
    // Sessions count what was relayed; the rest are refusals.
    EXPECT_EQ(value("valdrin_service_sessions_total{service=\"socks\"}"), 1) << metrics;
    EXPECT_EQ(value("valdrin_service_sessions_total{service=\"redirect\"}"), 1) << metrics;
    EXPECT_EQ(value("valdrin_service_refusals_total{service=\"socks\",reason=\"auth\"}"), 1) << metrics;
    EXPECT_EQ(value("valdrin_service_refusals_total{service=\"socks\",reason=\"blocked\"}"), 1) << metrics;
    EXPECT_EQ(value("valdrin_service_refusals_total{service=\"socks\",reason=\"client\"}"), 1) << metrics;
    bool socks_bytes = false, rdr_bytes = false;
    std::istringstream in(metrics);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("valdrin_service_relayed_bytes_total{service=\"socks\"", 0) == 0)
            socks_bytes |= std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr) == 5;
        if (line.rfind("valdrin_service_relayed_bytes_total{service=\"redirect\"", 0) == 0)
            rdr_bytes |= std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr) == 7;
    }
    EXPECT_TRUE(socks_bytes) << "5 bytes each way through the SOCKS tunnel:\n" << metrics;
    EXPECT_TRUE(rdr_bytes) << "7 bytes each way through the redirection:\n" << metrics;
}

}  // namespace
}  // namespace e2e
