// Which client addresses may use the proxy.
#include "harness.h"

namespace e2e {
namespace {

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

class AllowList : public ProxyTest {
protected:
    // A forwarded request from `from`; true when the origin's reply came back.
    bool served(const char *from) {
        Origin origin(kReply);
        Reply reply = ask("GET http://127.0.0.1:" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n", from);
        if (reply.bytes == kReply && origin.accepted() == 1) return true;
        EXPECT_TRUE(IsErrorPage(reply, 403, "Forbidden", kNotAllowed)) << "from " << from;
        EXPECT_EQ(origin.accepted(), 0) << "from " << from;
        return false;
    }
};

TEST_F(AllowList, RefusesOtherAddressBeforeReadingAndLogsIt) {
    ASSERT_TRUE(start());
    Fd fd = connect_tcp("127.0.0.1", port(), "127.0.0.2");
    ASSERT_TRUE(fd.valid());
    // Nothing is sent: the page comes first, then the close.
    Reply reply = talk(fd, "");
    EXPECT_TRUE(IsErrorPage(reply, 403, "Forbidden", kNotAllowed));
    fd.reset();  // the proxy drains the connection until the client closes it
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused (HTTP/FTP)"));
}

TEST_F(AllowList, OnlyLocalhostByDefault) {
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.0.0.1"));
    EXPECT_FALSE(served("127.0.0.2"));
    EXPECT_FALSE(served("127.1.0.1"));
}

TEST_F(AllowList, ExactEntryLetsThatAddressIn) {
    config_.allowed = {{0, "127.0.0.3"}};
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.0.0.3"));
    EXPECT_FALSE(served("127.0.0.2"));
    EXPECT_TRUE(served("127.0.0.1"));
}

TEST_F(AllowList, WildcardLastPartCoversTheNetworkDespiteGaps) {
    config_.allowed = {{7, "127.0.0.*"}};
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.0.0.2"));
    EXPECT_TRUE(served("127.0.0.250"));
    EXPECT_FALSE(served("127.0.1.2"));
}

TEST_F(AllowList, WildcardSecondPartCoversTheFirstOctet) {
    config_.allowed = {{99, "127.*"}};
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.200.3.4"));
}

// The wizard writes AllowedHost0 to AllowedHost200; the daemon honours
// every one, those past the first hundred IPv4 entries too, patterns
// included, and still refuses the rest.
TEST_F(AllowList, All201EntriesTheWizardWritesAreHonoured) {
    for (int i = 0; i <= 200; ++i) config_.allowed.push_back({i, "10.0." + std::to_string(i) + ".1"});
    config_.allowed[150].second = "127.0.0.150";
    config_.allowed[199].second = "127.5.*";
    config_.allowed[200].second = "127.0.0.200";
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.0.0.150"));
    EXPECT_TRUE(served("127.0.0.200"));
    EXPECT_TRUE(served("127.5.6.7"));
    EXPECT_FALSE(served("127.0.0.151"));
    EXPECT_FALSE(served("127.6.0.1"));
}

TEST_F(AllowList, LoneStarAllowsEveryClient) {
    config_.allowed = {{1, "*"}};
    ASSERT_TRUE(start());
    EXPECT_TRUE(served("127.9.9.9"));
}

TEST_F(AllowList, MalformedWildcardsDoNotOpenTheProxy) {
    config_.allowed = {{0, "127*"}, {1, "10*"}, {2, "192.168*"}, {3, "300.*"}, {4, "abc.*"}};
    ASSERT_TRUE(start());
    EXPECT_FALSE(served("127.0.0.2"));
    EXPECT_FALSE(served("127.10.0.1"));
    EXPECT_TRUE(served("127.0.0.1"));
    stop_and_check();
    // Each skipped entry is named, so the user can find the typo.
    for (const char *entry : {"127*", "10*", "192.168*", "300.*", "abc.*"})
        EXPECT_NE(daemon().output().find(entry), std::string::npos) << entry << " not reported:\n" << daemon().output();
}

}  // namespace
}  // namespace e2e
