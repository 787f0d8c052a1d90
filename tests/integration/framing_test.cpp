// Request heads that an origin could read two ways get the 400 page and
// never reach the origin; well-framed requests and their bodies still do.
#include "harness.h"

#include <poll.h>
#include <sys/socket.h>

namespace e2e {
namespace {

using namespace std::string_literals;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class Framing : public ProxyTest {};

// Heads that smuggle a second request past a reader that frames the body
// differently, each followed by the bytes an attacker would send.
std::vector<std::string> smuggling_heads(const std::string &host) {
    const std::string line = "POST http://" + host + "/a HTTP/1.1\r\nHost: " + host + "\r\n";
    const std::string hidden = "GET /hidden HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    const std::string chunks = "0\r\n\r\n" + hidden;
    return {
        line + "Content-Length: " + std::to_string(chunks.size()) + "\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks,
        line + "Content-Length: 0\r\nContent-Length: 44\r\n\r\n" + hidden,
        line + "Content-Length: 5, 5\r\n\r\nhello",
        line + "Transfer-Encoding: chunked, identity\r\n\r\n" + chunks,
        line + "Transfer-Encoding : chunked\r\n\r\n" + chunks,
        line + "X-Pad: a\r\n Transfer-Encoding: chunked\r\n\r\n" + chunks,
        line + "X-Pad: a\nTransfer-Encoding: chunked\r\n\r\n" + chunks,
        line + "X-Pad: a\rContent-Length: 10\r\n\r\n" + hidden,
        line + "X-Pad: a\0\r\nTransfer-Encoding: chunked\r\n\r\n"s + chunks,
        line + "X-Pad: \x01\r\n\r\n",
        "POST  http://" + host + "/a HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
        "POST http://" + host + "/a http/1.1\r\nContent-Length: 0\r\n\r\n",
    };
}

TEST_F(Framing, SmugglingHeadsGetThe400PageAndNeverReachTheOrigin) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    for (const std::string &request : smuggling_heads(host)) {
        EXPECT_TRUE(IsErrorPage(ask(request), 400, "Bad Request", kInvalidRequest))
            << ::testing::PrintToString(request.substr(0, 120));
    }
    EXPECT_EQ(origin.accepted(), 0);

    // A request sent afterwards is the first and only one the origin sees.
    const std::string good = "GET http://" + host + "/after HTTP/1.1\r\nHost: " + host + "\r\n\r\n";
    EXPECT_EQ(ask(good).bytes, kReply);
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0], "GET /after HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(origin.accepted(), 1);
}

TEST_F(Framing, RefusalWritesItsReasonOnTheErrorStream) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    const std::string host = "127.0.0.1:" + std::to_string(closed.port());
    Reply reply = ask("POST http://" + host + "/ HTTP/1.1\r\nContent-Length: 1\r\nTransfer-Encoding: chunked\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 400, "Bad Request", kInvalidRequest));
    EXPECT_NE(daemon().err().find("both Content-Length and Transfer-Encoding"), std::string::npos)
        << daemon().err();
}

TEST_F(Framing, UnknownMethodStillGets405) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    Reply reply = ask("DELETE http://127.0.0.1:" + std::to_string(closed.port()) + "/r HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 405, "Method Not Allowed", kMethodNotAllowed));
}

TEST_F(Framing, PostWithContentLengthReachesTheOriginByteForByte) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    const std::string body = pattern_bytes(20'000, 5);
    Reply reply = ask("POST http://" + host + "/up HTTP/1.1\r\nHost: " + host +
                      "\r\nContent-Length:\t20000 \r\nX-Empty:\r\nX-Obs: caf\xC3\xA9\r\n\r\n" + body);

    EXPECT_EQ(reply.bytes, kReply);
    const auto requests = origin.wait_requests(1);
    ASSERT_EQ(requests.size(), 1u);
    const std::string head = "POST /up HTTP/1.1\r\nHost: " + host +
                             "\r\nContent-Length: \t20000 \r\nX-Empty: \r\nX-Obs: caf\xC3\xA9"
                             "\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(requests[0].size(), head.size() + body.size());
    EXPECT_EQ(requests[0].substr(0, head.size()), head);
    EXPECT_TRUE(requests[0].compare(head.size(), std::string::npos, body) == 0) << "body differs";
}

TEST_F(Framing, TargetBytesOutsideAsciiReachTheOriginPercentEncoded) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    EXPECT_EQ(ask("GET http://" + host + "/caf\xC3\xA9/%41?q=\x80\xFF~ HTTP/1.1\r\nHost: " + host + "\r\n\r\n").bytes,
              kReply);
    EXPECT_EQ(ask("POST http://" + host + "/\xE2\x82\xAC HTTP/1.1\r\nHost: " + host +
                  "\r\nContent-Length: 2\r\n\r\nhi")
                  .bytes,
              kReply);
    // A DEL, a control byte or a space in the target is still refused.
    for (const std::string &bad : {"/a\x7F"s, "/a\x01"s, "/a b"s}) {
        EXPECT_TRUE(IsErrorPage(ask("GET http://" + host + bad + " HTTP/1.1\r\n\r\n"), 400, "Bad Request",
                                kInvalidRequest))
            << ::testing::PrintToString(bad);
    }
    const auto requests = origin.wait_requests(2);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /caf%C3%A9/%41?q=%80%FF~ HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(requests[1], "POST /%E2%82%AC HTTP/1.1\r\nHost: " + host +
                               "\r\nContent-Length: 2\r\nConnection: close\r\n\r\nhi");
    EXPECT_EQ(origin.accepted(), 2);
}

// One-connection origin that records a request until its body ends with
// `last_bytes` (the end of a chunked body, which carries no length), then
// answers and closes. Every wait is bounded.
class ChunkedOrigin {
public:
    ChunkedOrigin(std::string reply, std::string last_bytes)
        : reply_(std::move(reply)), last_bytes_(std::move(last_bytes)), listener_(listen_tcp("127.0.0.1")),
          port_(local_port(listener_)), thread_([this] { serve(); }) {}
    ~ChunkedOrigin() { thread_.join(); }
    ChunkedOrigin(const ChunkedOrigin &) = delete;
    ChunkedOrigin &operator=(const ChunkedOrigin &) = delete;

    uint16_t port() const { return port_; }
    // What arrived; valid once the client has its reply (the origin answers
    // only after recording).
    std::string received() {
        std::lock_guard lock(mutex_);
        return received_;
    }

private:
    static bool wait_readable(int fd, std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(left)) == 1;
    }

    void serve() {
        const auto deadline = std::chrono::steady_clock::now() + kIoTimeout;
        if (!wait_readable(listener_.get(), deadline)) return;
        Fd client(::accept(listener_.get(), nullptr, nullptr));
        if (!client.valid()) return;
        std::string got;
        char buffer[16 * 1024];
        for (;;) {
            const size_t head_end = got.find("\r\n\r\n");
            if (head_end != std::string::npos && got.size() >= head_end + 4 + last_bytes_.size() &&
                got.compare(got.size() - last_bytes_.size(), last_bytes_.size(), last_bytes_) == 0)
                break;
            if (!wait_readable(client.get(), deadline)) break;
            const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
            if (n <= 0) break;
            got.append(buffer, static_cast<size_t>(n));
        }
        {
            std::lock_guard lock(mutex_);
            received_ = got;
        }
        send_all(client, reply_);
        ::shutdown(client.get(), SHUT_WR);
        while (wait_readable(client.get(), deadline) && ::recv(client.get(), buffer, sizeof buffer, 0) > 0) {
        }
    }

    std::string reply_;
    std::string last_bytes_;
    Fd listener_;
    uint16_t port_;
    std::mutex mutex_;
    std::string received_;
    std::thread thread_;
};

TEST_F(Framing, ChunkedPostReachesTheOriginByteForByte) {
    ASSERT_TRUE(start());
    ChunkedOrigin origin(kReply, "0\r\nX-Trailer: t\r\n\r\n");
    const std::string host = "127.0.0.1:" + std::to_string(origin.port());
    const std::string data = pattern_bytes(3000, 9);
    const std::string body = "bb8\r\n" + data + "\r\n5;ext=1\r\nhello\r\n0\r\nX-Trailer: t\r\n\r\n";
    Reply reply = ask("POST http://" + host + "/chunks HTTP/1.1\r\nHost: " + host +
                      "\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n" + body);

    EXPECT_EQ(reply.bytes, kReply);
    EXPECT_TRUE(origin.received() == "POST /chunks HTTP/1.1\r\nHost: " + host +
                                         "\r\nTransfer-Encoding: gzip, Chunked\r\nConnection: close\r\n\r\n" + body)
        << ::testing::PrintToString(origin.received().substr(0, 200));
}

}  // namespace
}  // namespace e2e
