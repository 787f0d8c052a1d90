#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "kelhttp.h"
#include "kelhttpe.h"
#include "test_support.h"

using kel::test::fields;
using kel::test::Record;
using kel::test::Text;

namespace {

constexpr int kWaitMs = 5000;

struct SocketPair {
    int fds[2] = {-1, -1};
    SocketPair() { EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0); }
    ~SocketPair() {
        for (int fd : fds)
            if (fd >= 0) ::close(fd);
    }
    uint32_t library_end() const { return static_cast<uint32_t>(fds[0]); }
    void close_library_end() {
        ::close(fds[0]);
        fds[0] = -1;
    }
    int peer() const { return fds[1]; }
};

// Everything the peer receives until the other end closes, bounded in time.
std::string read_to_close(int fd) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    char buf[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) return out;
        out.append(buf, static_cast<size_t>(n));
    }
    ADD_FAILURE() << "peer did not close within " << kWaitMs << " ms";
    return out;
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

void send_all(int fd, const std::string &data) {
    size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return;
        sent += static_cast<size_t>(n);
    }
}

int open_descriptors() {
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

// A one-connection origin on 127.0.0.1 with a kernel-chosen port: reads one
// request header, answers with the canned bytes, and then either closes in
// order (after waiting for the client's own close) or resets.
class Origin {
public:
    enum class End { Orderly, Reset };

    Origin(std::string reply, End end = End::Orderly) : reply_(std::move(reply)), end_(end) {
        listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = 0;
        EXPECT_EQ(::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(listen_fd_, 4), 0);
        socklen_t len = sizeof addr;
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~Origin() {
        join();
        ::close(listen_fd_);
    }
    void join() {
        if (thread_.joinable()) thread_.join();
    }
    int port() const { return port_; }
    std::string url(const std::string &path) const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    // Valid after join().
    const std::string &request() const { return request_; }
    bool client_closed() const { return client_closed_; }

private:
    void serve() {
        pollfd p{listen_fd_, POLLIN, 0};
        if (::poll(&p, 1, kWaitMs) <= 0) return;
        const int fd = ::accept(listen_fd_, nullptr, nullptr);
        if (fd < 0) return;
        char c;
        while (request_.find("\r\n\r\n") == std::string::npos && request_.size() < 65536) {
            pollfd q{fd, POLLIN, 0};
            if (::poll(&q, 1, kWaitMs) <= 0 || ::recv(fd, &c, 1, 0) != 1) break;
            request_ += c;
        }
        send_all(fd, reply_);
        if (end_ == End::Reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(fd);
            return;
        }
        ::shutdown(fd, SHUT_WR);
        // The client closes its side once it has read everything.
        client_closed_ = read_to_close(fd).empty();
        ::close(fd);
    }

    std::string reply_;
    End end_;
    int listen_fd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::string request_;
    bool client_closed_ = false;
};

}  // namespace

TEST(SendResponse, WritesExactBytesOnTheWire) {
    SocketPair pair;
    EXPECT_EQ(kelHttp_envoie_str(pair.library_end(), "abc", "text/html"), 0);
    pair.close_library_end();
    EXPECT_EQ(read_to_close(pair.peer()),
              "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html\r\n"
              "Content-Length: 3\r\n\r\nabc");
}

TEST(SendResponse, EmptyBodyGivesLengthZeroAndNothingBehind) {
    SocketPair pair;
    EXPECT_EQ(kelHttp_envoie_str_E(pair.library_end(), "", "text/plain", 404), 0);
    pair.close_library_end();
    EXPECT_EQ(read_to_close(pair.peer()),
              "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Type: text/plain\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST(SendResponse, CodeWithoutPhraseIsUnknown) {
    SocketPair pair;
    EXPECT_EQ(kelHttp_envoie_str_E(pair.library_end(), "x", "text/html", 299), 0);
    pair.close_library_end();
    EXPECT_EQ(read_to_close(pair.peer()).substr(0, 23), "HTTP/1.1 299 Unknown\r\nC");
}

TEST(SendResponse, SendsBinaryBodyOfAnySizeUnchanged) {
    std::string body(1 << 20, '\0');
    for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + 3);
    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = read_to_close(pair.peer()); });
    EXPECT_EQ(kelHttp_envoie_E(pair.library_end(), body.data(), static_cast<int32_t>(body.size()),
                               "image/gif", 200),
              0);
    pair.close_library_end();
    reader.join();
    const std::string head =
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/gif\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n";
    ASSERT_EQ(received.size(), head.size() + body.size());
    EXPECT_EQ(received.substr(0, head.size()), head);
    EXPECT_TRUE(received.compare(head.size(), std::string::npos, body) == 0);
}

TEST(SendResponse, RefusesBadArgumentsAndSendsNothing) {
    SocketPair pair;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttp_envoie_E(pair.library_end(), "abc", 3, nullptr, 200), -1);
    EXPECT_EQ(kelHttp_envoie_E(pair.library_end(), nullptr, 3, "text/html", 200), -1);
    EXPECT_EQ(kelHttp_envoie_E(pair.library_end(), "abc", -1, "text/html", 200), -1);
    EXPECT_EQ(kelHttp_envoie_str(pair.library_end(), nullptr, "text/html"), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: kelhttp line "), std::string::npos) << err;
    EXPECT_FALSE(readable(pair.peer()));
}

TEST(SendResponse, NullBodyWithZeroLengthIsAnEmptyBody) {
    SocketPair pair;
    EXPECT_EQ(kelHttp_envoie_E(pair.library_end(), nullptr, 0, "text/html", 204), 0);
    pair.close_library_end();
    EXPECT_EQ(read_to_close(pair.peer()),
              "HTTP/1.1 204 No Content\r\nConnection: close\r\nContent-Type: text/html\r\n"
              "Content-Length: 0\r\n\r\n");
}

TEST(HeaderOnTheWire, UnknownTypeSendsNothing) {
    SocketPair pair;
    Record che(kelHttpE_cree_vide());
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 200, "HTTP/1.1"), 0);
    che->type = static_cast<kelHttpE_type>(3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_en_net(pair.library_end(), che.get(), 0), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Type inconnu"), std::string::npos);
    EXPECT_FALSE(readable(pair.peer()));
}

TEST(HeaderOnTheWire, SendsSerialisedHeaderWhole) {
    SocketPair pair;
    Record che(kelHttpE_cree_str("GET http://h:81/p HTTP/1.1\r\nHost: h\r\n\r\n", KEL_HE_REQUETE));
    ASSERT_NE(che, nullptr);
    EXPECT_EQ(kelHttpE_en_net(pair.library_end(), che.get(), 1), 0);
    pair.close_library_end();
    EXPECT_EQ(read_to_close(pair.peer()), "GET http://h:81/p HTTP/1.1\r\nHost: h\r\n\r\n");
}

TEST(HeaderFromSocket, ReadsHeaderAndLeavesBodyInTheSocket) {
    SocketPair pair;
    send_all(pair.peer(), "POST http://h/f HTTP/1.1\r\nContent-Length: 4\r\n\r\nbody");
    Record che(kelHttpE_cree_net(pair.library_end(), KEL_HE_REQUETE));
    ASSERT_NE(che, nullptr);
    EXPECT_STREQ(che->methode, "POST");
    EXPECT_EQ(fields(che.get()), "Content-Length=4;");
    char rest[8] = {};
    EXPECT_EQ(::recv(pair.fds[0], rest, sizeof rest, 0), 4);
    EXPECT_STREQ(rest, "body");
}

TEST(HeaderFromSocket, StopsAtNulByteInsideHeader) {
    SocketPair pair;
    send_all(pair.peer(), std::string("HTTP/1.1 200 OK\r\nA: b") + '\0' + "c\r\nD: e\r\n\r\n");
    Record che(kelHttpE_cree_net(pair.library_end(), KEL_HE_REPONSE));
    ASSERT_NE(che, nullptr);
    EXPECT_EQ(che->code, 200);
    EXPECT_EQ(fields(che.get()), "A=b;");
}

TEST(HeaderFromSocket, PeerClosingEarlyGivesNull) {
    SocketPair pair;
    send_all(pair.peer(), "GET http://h/ HTTP/1.1\r\nHost:");
    ::shutdown(pair.peer(), SHUT_WR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_cree_net(pair.library_end(), KEL_HE_REQUETE), nullptr);
    testing::internal::GetCapturedStderr();
    send_all(pair.peer(), "");
    SocketPair bad;
    send_all(bad.peer(), "GET http://h:0/ HTTP/1.1\r\n\r\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_cree_net(bad.library_end(), KEL_HE_REQUETE), nullptr);
    testing::internal::GetCapturedStderr();
}

// ---------------------------------------------------------------------------

// The fetch used to go to port 80 whatever the URL said, hand back a body
// without length or terminator, and leave its socket open on failures.
TEST(Fetch, UsesUrlPortAndReturnsTerminatedBodyWithLength) {
    const std::string body = std::string("hello") + '\0' + "world";
    Origin origin("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n" + body);
    const int before = open_descriptors();
    char *content = nullptr;
    char *content_type = nullptr;
    int32_t length = -1;
    ASSERT_EQ(kelHttp_recup_str(&content, &content_type, origin.url("/a/b?c=1").c_str(), &length), 0);
    Text content_owner(content), type_owner(content_type);
    origin.join();
    EXPECT_EQ(origin.request(), "GET /a/b?c=1 HTTP/1.1\r\nHost: 127.0.0.1:" +
                                    std::to_string(origin.port()) +
                                    "\r\nAccept: */*\r\nConnection: close\r\n\r\n");
    ASSERT_EQ(length, static_cast<int32_t>(body.size()));
    EXPECT_EQ(std::string(content, static_cast<size_t>(length)), body);
    EXPECT_EQ(content[length], '\0');
    EXPECT_STREQ(content_type, "text/plain");
    EXPECT_TRUE(origin.client_closed());
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Fetch, EmptyBodyAndNullOptionalOutputs) {
    Origin origin("HTTP/1.1 200 OK\r\n\r\n");
    char *content = nullptr;
    ASSERT_EQ(kelHttp_recup_str(&content, nullptr, origin.url("").c_str(), nullptr), 0);
    Text owner(content);
    origin.join();
    EXPECT_EQ(origin.request().substr(0, 16), "GET / HTTP/1.1\r\n");
    ASSERT_NE(content, nullptr);
    EXPECT_STREQ(content, "");
}

TEST(Fetch, NotFoundPrintsBothHeadersAndLeavesContentUntouched) {
    Origin origin("HTTP/1.1 404 Not Found\r\nServer: t\r\n\r\ngone");
    const int before = open_descriptors();
    char sentinel = 'x';
    char *content = &sentinel;
    int32_t length = 77;
    testing::internal::CaptureStdout();
    const int32_t r = kelHttp_recup_str(&content, nullptr, origin.url("/missing").c_str(), &length);
    const std::string out = testing::internal::GetCapturedStdout();
    origin.join();
    EXPECT_EQ(r, -2);
    EXPECT_EQ(content, &sentinel);
    EXPECT_EQ(length, 77);
    EXPECT_EQ(out, "Le serveur a dit : \nHTTP/1.1 404 Not Found\r\nServer: t\r\n\r\n"
                   "J'ai dit : \n" + origin.request());
    EXPECT_TRUE(origin.client_closed());
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Fetch, ResetDuringBodyIsAFailure) {
    Origin origin("HTTP/1.1 200 OK\r\n\r\npartial body", Origin::End::Reset);
    const int before = open_descriptors();
    char *content = nullptr;
    testing::internal::CaptureStderr();
    // The reset may land before or after the body bytes are read; either way
    // it is never the orderly end of the body.
    const int32_t r = kelHttp_recup_str(&content, nullptr, origin.url("/").c_str(), nullptr);
    testing::internal::GetCapturedStderr();
    origin.join();
    EXPECT_TRUE(r == -3 || r == -1) << r;
    EXPECT_EQ(content, nullptr);
    EXPECT_EQ(open_descriptors(), before);
}

TEST(Fetch, RefusedConnectionAndUnknownHostFail) {
    int port = 0;
    {
        Origin gone("");
        port = gone.port();
        // Connect once so the origin's thread ends, then the listener closes.
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        send_all(fd, "\r\n\r\n");
        ::shutdown(fd, SHUT_WR);
        read_to_close(fd);
        ::close(fd);
    }
    const int before = open_descriptors();
    char *content = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttp_recup_str(&content, nullptr,
                                ("http://127.0.0.1:" + std::to_string(port) + "/").c_str(), nullptr),
              -1);
    const std::string unknown = "http://" + std::string(70, 'x') + ".invalid/";
    EXPECT_EQ(kelHttp_recup_str(&content, nullptr, unknown.c_str(), nullptr), -1);
    EXPECT_EQ(kelHttp_recup_str(&content, nullptr, "http://h:0/", nullptr), -1);
    EXPECT_EQ(kelHttp_recup_str(nullptr, nullptr, "http://127.0.0.1/", nullptr), -1);
    EXPECT_EQ(kelHttp_recup_str(&content, nullptr, nullptr, nullptr), -1);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(content, nullptr);
    EXPECT_EQ(open_descriptors(), before);
}
