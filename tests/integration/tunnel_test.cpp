// CONNECT: a bare 200 line once the target answers, then raw bytes both ways.
#include "harness.h"

namespace e2e {
namespace {

const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";

class Tunnel : public ProxyTest {};

TEST_F(Tunnel, RelaysBothWaysIncludingBytesBehindTheHeader) {
    ASSERT_TRUE(start());
    EchoServer echo;
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    Fd fd = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(fd.valid());

    // The first payload goes out with the header, before the 200 line.
    const std::string early = "\x16\x03\x01 early bytes";
    Reply first = talk(fd, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n" + early,
                           kEstablished.size() + early.size());
    EXPECT_EQ(first.bytes, kEstablished + early);

    const std::string bulk = pattern_bytes(1024 * 1024, 9);
    Reply echoed = talk(fd, bulk, bulk.size());
    ASSERT_EQ(echoed.bytes.size(), bulk.size());
    EXPECT_TRUE(echoed.bytes == bulk) << "tunnelled bytes differ";
}

TEST_F(Tunnel, ClosesTheClientWhenTheTargetCloses) {
    ASSERT_TRUE(start());
    Origin target("SSH-2.0-banner\r\n", "127.0.0.1", Origin::Mode::kSpeaksFirst);
    Reply reply = ask("CONNECT 127.0.0.1:" + std::to_string(target.port()) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.bytes, kEstablished + "SSH-2.0-banner\r\n");
    EXPECT_TRUE(reply.closed);
    // The CONNECT header itself is not passed on.
    auto received = target.wait_requests(1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0], "");
}

TEST_F(Tunnel, CarriesTlsEndToEnd) {
    ASSERT_TRUE(start());
    const fs::path root = scratch() / "tls";
    fs::create_directories(root);
    const std::string page = "secret page " + std::string(5000, 's') + "\n";
    write_file(root / "page.txt", page);
    TlsServer server(root);
    ASSERT_TRUE(server.ready()) << server.log();

    auto result = run_command({"/usr/bin/curl", "-s", "-S", "-k", "--max-time", "10", "--proxytunnel", "-x",
                               "http://127.0.0.1:" + std::to_string(port()), "-o", "got.txt",
                               "https://127.0.0.1:" + std::to_string(server.port()) + "/page.txt"},
                              scratch(), 15'000ms);
    ASSERT_TRUE(exited_with(result.status, 0)) << describe_status(result.status) << "\n" << result.err;
    EXPECT_EQ(read_file(scratch() / "got.txt"), page);
}

TEST_F(Tunnel, ListedAdHostGetsTheBlockedPageAndNoConnection) {
    adhosts_ = std::vector<std::string>{"127.0.0.1"};
    ASSERT_TRUE(start());
    Origin target("never sent", "127.0.0.1", Origin::Mode::kSpeaksFirst);
    Reply reply = ask("CONNECT 127.0.0.1:" + std::to_string(target.port()) + " HTTP/1.1\r\n\r\nping");
    EXPECT_TRUE(IsErrorPage(reply, 403, "Forbidden", kBlockedHost));
    EXPECT_EQ(target.accepted(), 0);
    EXPECT_TRUE(log_contains("CONNECT to 127.0.0.1:" + std::to_string(target.port()) +
                             " blocked: listed advertising or tracking host"));
}

TEST_F(Tunnel, ListedAdHostIsTunnelledWhileAdHostsAreOff) {
    adhosts_ = std::vector<std::string>{"127.0.0.1"};
    config_.ad_hosts_enabled = "false";
    ASSERT_TRUE(start());
    EchoServer echo;
    Fd fd = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(fd.valid());
    Reply reply = talk(fd, "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\n\r\nping",
                           kEstablished.size() + 4);
    EXPECT_EQ(reply.bytes, kEstablished + "ping");
}

TEST_F(Tunnel, DaemonStopsCleanlyWithATunnelOpen) {
    ASSERT_TRUE(start());
    EchoServer echo;
    Fd fd = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(fd.valid());
    Reply reply = talk(fd, "CONNECT 127.0.0.1:" + std::to_string(echo.port()) + " HTTP/1.1\r\n\r\nopen",
                       kEstablished.size() + 4);
    ASSERT_EQ(reply.bytes, kEstablished + "open");
    stop_and_check();  // the relay thread is still blocked in both directions
}

TEST_F(Tunnel, ClosedPortGets503RefusedPage) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    Reply reply = ask("CONNECT 127.0.0.1:" + std::to_string(closed.port()) + " HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kConnectionRefused));
}

TEST_F(Tunnel, UnresolvableNameGets503ResolvePage) {
    ASSERT_TRUE(start());
    Reply reply = ask("CONNECT " + unresolvable_name() + ":443 HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kResolveFail));
}

}  // namespace
}  // namespace e2e
