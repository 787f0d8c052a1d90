// The port redirector driven by real clients: bindings, their listeners
// opened and closed by a reload while relayed connections go on, a
// destination that does not resolve, and the allow-list.
#include "harness.h"

#include <sys/socket.h>

#include <iterator>
#include <sstream>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

std::string reply_of(const std::string &body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string binding(uint16_t port, uint16_t dest_port, const std::string &host = "127.0.0.1") {
    return std::to_string(port) + " -> " + std::to_string(dest_port) + " " + host;
}

class Redirect : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        config_.rdr_enabled = "true";
    }
    CommandResult curl(uint16_t port, const std::string &path = "/r") {
        return run_command({"/usr/bin/curl", "-sS", "--max-time", "30", "http://127.0.0.1:" + std::to_string(port) + path},
                           scratch(), 60'000ms);
    }
    // A connection through `port` that echoes `bytes` back.
    ::testing::AssertionResult echoes(const Fd &fd, const std::string &bytes) {
        const Reply r = talk(fd, bytes, bytes.size());
        if (r.bytes != bytes)
            return ::testing::AssertionFailure() << "sent " << bytes << ", got " << ::testing::PrintToString(r.bytes)
                                                 << (r.closed ? " (closed)" : "");
        return ::testing::AssertionSuccess();
    }
    fs::path access_log() const { return folder() / "access.log"; }
};

TEST_F(Redirect, CurlAndSocatThroughABinding) {
    Origin origin(reply_of("redirected"));
    const uint16_t web = free_port();
    const uint16_t raw = free_port();
    config_.rdr_bindings = {{0, binding(web, origin.port())}, {3, binding(raw, origin.port())}};
    ASSERT_TRUE(start());
    std::vector<uint16_t> want = {web, raw};
    std::sort(want.begin(), want.end());
    EXPECT_EQ(rdr_ports(), want) << read_file(daemon().ports_file());
    auto r = curl(web);
    EXPECT_TRUE(exited_with(r.status, 0)) << r.err;
    EXPECT_EQ(r.out, "redirected");
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].rfind("GET /r HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(web) + "\r\n", 0), 0u)
        << "the bytes pass untouched: " << requests[0];
    // The relay ends both directions at the first end it sees, so socat
    // keeps its side open (shut-none) until the origin's reply and close.
    auto s = run_command({"/bin/sh", "-c",
                          "printf 'GET /socat HTTP/1.1\\r\\n\\r\\n' | /usr/bin/socat -t 30 - TCP:127.0.0.1:" +
                              std::to_string(raw) + ",shut-none"},
                         scratch(), 60'000ms);
    EXPECT_TRUE(exited_with(s.status, 0)) << describe_status(s.status) << s.err;
    EXPECT_EQ(s.out, reply_of("redirected"));
    EXPECT_EQ(origin.wait_requests(2).size(), 2u);
}

TEST_F(Redirect, TwoBindingsGoToTheirOwnDestinations) {
    Origin first(reply_of("first"));
    Origin second(reply_of("second"));
    const uint16_t a = free_port();
    const uint16_t b = free_port();
    config_.rdr_bindings = {{0, binding(a, first.port())}, {1, binding(b, second.port(), "localhost")}};
    ASSERT_TRUE(start());
    EXPECT_EQ(curl(a).out, "first");
    EXPECT_EQ(curl(b).out, "second");
    EXPECT_EQ(curl(a).out, "first");
    EXPECT_EQ(first.accepted(), 2);
    EXPECT_EQ(second.accepted(), 1);
    // The status page names every listener: the proxy's, then one per binding.
    auto status = run_command(
        {"/bin/sh", "-c",
         "/usr/bin/curl -sS --max-time 30 http://127.0.0.1:" + std::to_string(port()) +
             "/status.json | /usr/bin/python3 -c \"import json,sys; l=json.load(sys.stdin)['listening'];"
             "print(' '.join(e['service']+'@'+e['address'].rsplit(':',1)[1] for e in l))\""},
        scratch(), 60'000ms);
    ASSERT_TRUE(exited_with(status.status, 0)) << status.err;
    std::vector<std::string> want = {"rdr@" + std::to_string(a), "rdr@" + std::to_string(b)};
    std::sort(want.begin(), want.end());
    std::istringstream words(status.out);
    std::vector<std::string> seen{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.front(), "http@" + std::to_string(port())) << status.out;
    seen.erase(seen.begin());
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, want) << status.out;
}

TEST_F(Redirect, ReloadOpensNewBindingsAndClosesRemovedOnesWhileTheirConnectionsGoOn) {
    EchoServer echo;
    Origin origin(reply_of("new binding"));
    const uint16_t old_port = free_port();
    const uint16_t new_port = free_port();
    config_.rdr_bindings = {{0, binding(old_port, echo.port())}};
    ASSERT_TRUE(start());
    Fd kept = connect_tcp("127.0.0.1", old_port);
    ASSERT_TRUE(kept.valid());
    ASSERT_TRUE(echoes(kept, "before the reload"));

    config_.rdr_bindings = {{1, binding(new_port, origin.port())}};
    ASSERT_TRUE(reload());
    EXPECT_TRUE(is_listening(new_port)) << daemon().output();
    EXPECT_EQ(curl(new_port).out, "new binding");
    EXPECT_FALSE(connect_tcp("127.0.0.1", old_port).valid()) << "the removed binding still listens";
    EXPECT_TRUE(echoes(kept, "after the reload")) << "the relayed connection did not go on";
    EXPECT_TRUE(echoes(kept, pattern_bytes(200'000)));

    config_.rdr_enabled = "false";
    ASSERT_TRUE(reload());
    EXPECT_FALSE(connect_tcp("127.0.0.1", new_port).valid()) << "RDREnabled=false left a listener";
    EXPECT_FALSE(is_listening(new_port));
    EXPECT_FALSE(is_listening(old_port));

    config_.rdr_enabled = "true";
    ASSERT_TRUE(reload());
    EXPECT_EQ(curl(new_port).out, "new binding") << "enabled again, the binding listens again";
}

TEST_F(Redirect, UnresolvableDestinationClosesTheClientAndLogsAnError) {
    const uint16_t port = free_port();
    config_.rdr_bindings = {{0, binding(port, 80, unresolvable_name())}};
    ASSERT_TRUE(start());
    Fd fd = connect_tcp("127.0.0.1", port);
    ASSERT_TRUE(fd.valid());
    const Reply r = talk(fd, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    fd.reset();  // the daemon drains the client until it closes, then logs
    ASSERT_TRUE(wait_for_text(access_log(), "\"REDIRECT " + unresolvable_name() + ":80\"", kIoTimeout))
        << read_file(access_log());
    const std::string line = read_file(access_log());
    EXPECT_NE(line.find(" error "), std::string::npos) << line;
    EXPECT_TRUE(daemon().running());
}

TEST_F(Redirect, ClientOutsideTheAllowListIsClosedAndTheDestinationNeverReached) {
    Origin origin(reply_of("allowed"));
    const uint16_t port = free_port();
    config_.rdr_bindings = {{0, binding(port, origin.port())}};
    config_.allowed = {{0, "127.0.0.4"}};
    ASSERT_TRUE(start());
    Fd fd = connect_tcp("127.0.0.1", port, "127.0.0.2");
    ASSERT_TRUE(fd.valid());
    const Reply r = talk(fd, "GET / HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(r.closed);
    EXPECT_EQ(r.bytes, "");
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused"));
    Fd listed = connect_tcp("127.0.0.1", port, "127.0.0.4");
    EXPECT_EQ(talk(listed, "GET / HTTP/1.1\r\n\r\n").bytes, reply_of("allowed"));
    EXPECT_EQ(origin.accepted(), 1);
}

TEST_F(Redirect, ServedAloneWhileHttpIsOff) {
    Origin origin(reply_of("alone"));
    const uint16_t port = free_port();
    config_.http_enabled = "false";
    config_.rdr_bindings = {{0, binding(port, origin.port())}};
    ASSERT_TRUE(start());
    EXPECT_EQ(this->port(), 0) << read_file(daemon().ports_file());
    EXPECT_EQ(curl(port).out, "alone");
}

}  // namespace
}  // namespace e2e
