// The proxy's own error pages, byte for byte, for every failure a client can cause.
#include "harness.h"

namespace e2e {
namespace {

class ErrorPages : public ProxyTest {};

TEST_F(ErrorPages, GarbageRequestGets400) {
    ASSERT_TRUE(start());
    for (const char *request : {"garbage\r\n\r\n", "\r\n\r\n", "GET\r\n\r\n", "GET :// HTTP/1.1\r\n\r\n",
                                "GET http://127.0.0.1:0/ HTTP/1.1\r\n\r\n",
                                "GET http://127.0.0.1:/ HTTP/1.1\r\n\r\n",
                                "GET http://127.0.0.1:70000/ HTTP/1.1\r\n\r\n"})
        EXPECT_TRUE(IsErrorPage(ask(request), 400, "Bad Request", kInvalidRequest)) << request;
}

TEST_F(ErrorPages, HostileHeadersLeaveTheProxyServing) {
    using namespace std::string_literals;
    ASSERT_TRUE(start());
    ClosedPort closed;
    const std::string target = "127.0.0.1:" + std::to_string(closed.port());
    for (const std::string &request : std::vector<std::string>{
             "GET http://"s + target + "/\0hidden HTTP/1.1\r\n\r\n"s, "\0\0\0\r\n\r\n"s,
          "GET http://" + target + "/ HTTP/1.1\r\n:\r\n: value\r\nName:\r\n\r\n",
          "GET http://" + target + "/ HTTP/1.1\r\nX:" + std::string(1000, ':') + "\r\n\r\n",
          "CONNECT :443 HTTP/1.1\r\n\r\n", "CONNECT " + target + "\r\n\r\n",
          "GET ftp:// HTTP/1.1\r\n\r\n", "GET ftp://:21/x HTTP/1.1\r\n\r\n",
          "GET http://" + std::string(5000, 'h') + "/ HTTP/1.1\r\n\r\n",
          "GET http://" + target + std::string(100'000, '/') + " HTTP/1.1\r\n\r\n"}) {
        Reply reply = ask(request);
        EXPECT_TRUE(reply.closed) << request.substr(0, 60);
        EXPECT_FALSE(reply.timed_out) << request.substr(0, 60);
    }
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nup");
    EXPECT_EQ(ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n").bytes,
              "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nup");
}

TEST_F(ErrorPages, GetOfHttpsUrlGets400AndIsLogged) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    Reply reply = ask("GET https://127.0.0.1:" + std::to_string(closed.port()) + "/ HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 400, "Bad Request", kInvalidRequest));
    EXPECT_TRUE(log_contains("Unsupported method GET"));
}

TEST_F(ErrorPages, HeaderOverTheReceptionLimitGets400) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    const std::string request = "GET http://127.0.0.1:" + std::to_string(closed.port()) +
                                "/ HTTP/1.1\r\nX-Pad: " + std::string(600'000, 'a') + "\r\n\r\n";
    EXPECT_TRUE(IsErrorPage(ask(request), 400, "Bad Request", kInvalidRequest));
}

TEST_F(ErrorPages, LargeHeaderUnderTheLimitIsForwarded) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 204 No Content\r\n\r\n");
    const std::string pad(500'000, 'b');
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\nX-Pad: " + pad +
                      "\r\n\r\n");
    EXPECT_EQ(reply.bytes, "HTTP/1.1 204 No Content\r\n\r\n");
    ASSERT_EQ(origin.requests().size(), 1u);
    EXPECT_EQ(origin.requests()[0], "GET / HTTP/1.1\r\nX-Pad: " + pad + "\r\nConnection: close\r\n\r\n");
}

// A request header of `total` bytes, blank line included.
std::string header_of_size(const std::string &request_line, size_t total) {
    const std::string head = request_line + "X-Pad: ";
    return head + std::string(total - head.size() - 4, 'c') + "\r\n\r\n";
}

TEST_F(ErrorPages, ReceptionLimitIsExact) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 204 No Content\r\n\r\n");
    const std::string line = "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n";

    Reply largest = ask(header_of_size(line, 524'287));
    EXPECT_EQ(largest.bytes, "HTTP/1.1 204 No Content\r\n\r\n");
    Reply over = ask(header_of_size(line, 524'288));
    EXPECT_TRUE(IsErrorPage(over, 400, "Bad Request", kInvalidRequest));
    EXPECT_EQ(origin.accepted(), 1);
}

TEST_F(ErrorPages, MoreThanAHundredFieldsGets400) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 204 No Content\r\n\r\n");
    std::string fields;
    for (int i = 0; i < 101; ++i) fields += "X-F" + std::to_string(i) + ": v\r\n";
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n" + fields + "\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 400, "Bad Request", kInvalidRequest));
    EXPECT_EQ(origin.accepted(), 0);
}

TEST_F(ErrorPages, UnknownMethodGets405AndIsLogged) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 200 OK\r\n\r\n");
    Reply reply = ask("DELETE http://127.0.0.1:" + std::to_string(origin.port()) + "/x HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 405, "Method Not Allowed", kMethodNotAllowed));
    EXPECT_EQ(origin.accepted(), 0);
    EXPECT_TRUE(log_contains("Unsupported method DELETE"));
}

TEST_F(ErrorPages, UnresolvableHostGets503ResolvePage) {
    ASSERT_TRUE(start());
    Reply reply = ask("GET http://" + unresolvable_name() + "/ HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kResolveFail));
}

TEST_F(ErrorPages, RefusedConnectionGets503RefusedPage) {
    ASSERT_TRUE(start());
    ClosedPort closed;
    Reply reply = ask("POST http://127.0.0.1:" + std::to_string(closed.port()) +
                      "/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kConnectionRefused));
}

TEST_F(ErrorPages, PageDoesNotEchoTheRequest) {
    ASSERT_TRUE(start());
    Reply first = ask("GET http://" + unresolvable_name() + "/one HTTP/1.1\r\n\r\n");
    Reply second = ask("GET http://www." + unresolvable_name() + "/two?q=<b> HTTP/1.0\r\nHost: z\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(first, 503, "Service Unavailable", kResolveFail));
    EXPECT_EQ(first.bytes, second.bytes);
}

TEST_F(ErrorPages, ClientLeavingMidHeaderDoesNotStopTheProxy) {
    ASSERT_TRUE(start());
    {
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        ASSERT_TRUE(send_all(fd, "GET http://127.0.0.1/ HTT"));
    }
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nup");
    Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nup");
}

}  // namespace
}  // namespace e2e
