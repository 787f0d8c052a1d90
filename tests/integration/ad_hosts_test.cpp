// Listed advertising hosts get the replacement image instead of a connection.
#include "harness.h"

namespace e2e {
namespace {

std::string image_reply(const std::string &image) {
    return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: image/gif\r\nContent-Length: " +
           std::to_string(image.size()) + "\r\n\r\n" + image;
}

class AdHosts : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        // Nothing listens on the listed address: a reply other than the image
        // would be the "Connection refused" page.
        adhosts_ = std::vector<std::string>{"banner.example.test", "127.0.0.5"};
        image_ = pattern_bytes(3000, 5);
    }
};

TEST_F(AdHosts, ListedHostGetsTheImageWhateverThePath) {
    ASSERT_TRUE(start());
    for (const std::string path : {"/", "/ads/banner.gif", "/script.js?id=4", "/page.html"}) {
        Reply reply = ask("GET http://127.0.0.5" + path + " HTTP/1.1\r\nHost: 127.0.0.5\r\nAccept: */*\r\n\r\n");
        EXPECT_EQ(reply.bytes, image_reply(*image_)) << path;
        EXPECT_TRUE(reply.closed);
    }
}

TEST_F(AdHosts, MethodAndSchemeAreMatchedWithoutCase) {
    ASSERT_TRUE(start());
    Reply reply = ask("get HTTP://127.0.0.5/b.gif HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, image_reply(*image_));
}

TEST_F(AdHosts, ShippedImageIsServedWithItsLength) {
    image_.reset();
    ASSERT_TRUE(start());
    const std::string shipped = read_file(folder() / "valdrin.sys");
    ASSERT_FALSE(shipped.empty());
    Reply reply = ask("GET http://127.0.0.5/x.gif HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.bytes, image_reply(shipped));
}

TEST_F(AdHosts, ListedHostIsNeverContacted) {
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nno", "127.0.0.5");
    Reply reply = ask("GET http://127.0.0.5:" + std::to_string(origin.port()) + "/banner.gif HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, image_reply(*image_));
    EXPECT_EQ(origin.accepted(), 0);
}

TEST_F(AdHosts, HeadAndPostToListedHostAreForwarded) {
    ASSERT_TRUE(start());
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    Origin origin(response, "127.0.0.5");
    const std::string host = "127.0.0.5:" + std::to_string(origin.port());

    Reply head = ask("HEAD http://" + host + "/banner.gif HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    Reply post = ask("POST http://" + host + "/count HTTP/1.1\r\nHost: " + host +
                     "\r\nContent-Length: 4\r\n\r\nclik");

    EXPECT_EQ(head.bytes, response);
    EXPECT_EQ(post.bytes, response);
    auto requests = origin.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "HEAD /banner.gif HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(requests[1], "POST /count HTTP/1.1\r\nHost: " + host +
                               "\r\nContent-Length: 4\r\nConnection: close\r\n\r\nclik");
}

TEST_F(AdHosts, ListedNameMatchesWithoutCaseOrTrailingDotButNotItsNeighbours) {
    ASSERT_TRUE(start());
    // Matched before any look-up: these are never resolved.
    for (const std::string host : {"BANNER.Example.TEST", "banner.example.test."}) {
        EXPECT_EQ(ask("GET http://" + host + "/banner.gif HTTP/1.1\r\n\r\n").bytes, image_reply(*image_)) << host;
    }
    // Neighbours of the listed address are not listed: nothing listens there.
    for (const std::string host : {"127.0.0.50", "127.0.0.55"}) {
        Reply reply = ask("GET http://" + host + "/banner.gif HTTP/1.1\r\n\r\n");
        EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kConnectionRefused)) << host;
    }
    // A name no DNS can hold is never a listed host.
    Reply reply = ask("GET http://www." + unresolvable_name() + "/banner.gif HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kResolveFail));
}

TEST_F(AdHosts, EmptyHostNameIsNeverListed) {
    ASSERT_TRUE(start());
    Reply reply = ask("GET http:/// HTTP/1.1\r\n\r\n");
    EXPECT_NE(reply.bytes.rfind("HTTP/1.1 200", 0), 0u) << reply.bytes;
    EXPECT_EQ(reply.bytes.find(*image_), std::string::npos);
}

TEST_F(AdHosts, ReadsCrlfListAndReportsTheCount) {
    adhosts_.reset();
    write_file(folder() / "adhosts", "one.example.test\r\n127.0.0.5\r\n127.0.0.6\r\n");
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 200 OK\r\n\r\n", "127.0.0.6");
    EXPECT_EQ(ask("GET http://127.0.0.5/ HTTP/1.1\r\n\r\n").bytes, image_reply(*image_));
    EXPECT_EQ(ask("GET http://127.0.0.6:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n").bytes,
              image_reply(*image_));
    EXPECT_EQ(origin.accepted(), 0);
    stop_and_check();
    EXPECT_NE(daemon().out().find("3 ad-domains loaded."), std::string::npos) << daemon().out();
}

TEST_F(AdHosts, DisabledRemovalForwardsListedHosts) {
    config_.ad_hosts_enabled = "false";
    ASSERT_TRUE(start());
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "127.0.0.5");
    Reply reply = ask("GET http://127.0.0.5:" + std::to_string(origin.port()) + "/banner.gif HTTP/1.1\r\n\r\n");
    EXPECT_EQ(reply.bytes, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(origin.accepted(), 1);
}

}  // namespace
}  // namespace e2e
