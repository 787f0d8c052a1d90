// The lists administrators keep: a hosts file and an adblock filter list,
// named by AdListFile keys, block GETs and CONNECTs to whole domains, their
// exceptions let hosts through, and a reload reads them again.
#include "harness.h"

#include <signal.h>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";
const std::string kImage = "GIF89a list image";

class AdLists : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        if (!can_use_private_hosts_file()) GTEST_SKIP() << "needs root to give the daemon its own /etc/hosts";
        // Every name the proxy may look up is in its own hosts file.
        hosts_ = "127.0.0.1 plain.lists.test ok.ads.lists.test tracker.lists.test ads.lists.test "
                 "deep.ads.lists.test x.cdn.lists.test\n";
        adhosts_ = std::vector<std::string>{"exact.lists.test"};
        image_ = kImage;
        write_file(folder() / "blockhosts", "# hosts-file list\n127.0.0.1 localhost\n0.0.0.0 tracker.lists.test\n");
        adblock_ = scratch() / "filters.txt";
        write_adblock("");
    }

    void write_adblock(const std::string &more) {
        write_file(adblock_, "[Adblock Plus 2.0]\n! ads and trackers\n||ads.lists.test^\n||cdn.lists.test^$third-party\n"
                             "@@||ok.ads.lists.test^\n##.banner\n" +
                                 more);
    }

    ::testing::AssertionResult start_with_lists() {
        return start_with({{"AdListFile0", "blockhosts"}, {"AdListFile5", adblock_.string()}});
    }

    bool image_for(const std::string &host, uint16_t port) {
        const std::string target = host + ":" + std::to_string(port);
        const Reply r = ask("GET http://" + target + "/x HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
        return r.bytes.size() >= kImage.size() && r.bytes.compare(r.bytes.size() - kImage.size(), kImage.size(), kImage) == 0;
    }
    bool connect_blocked(const std::string &host, uint16_t port) {
        return IsErrorPage(ask("CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.1\r\n\r\n"), 403, "Forbidden",
                           kBlockedHost);
    }
    bool tunnels(const std::string &host, uint16_t port) {
        Fd fd = connect_tcp("127.0.0.1", this->port());
        return talk(fd, "CONNECT " + host + ":" + std::to_string(port) + " HTTP/1.1\r\n\r\nping", kEstablished.size() + 4)
                   .bytes == kEstablished + "ping";
    }

    ::testing::AssertionResult reload() {
        auto count = [&] {
            const std::string out = daemon().out() + daemon().err();
            size_t n = 0;
            for (size_t at = out.find("reload"); at != std::string::npos; at = out.find("reload", at + 1)) ++n;
            return n;
        };
        const size_t before = count();
        ::kill(daemon().pid(), SIGHUP);
        const auto until = Clock::now() + kIoTimeout;
        while (count() == before) {
            if (Clock::now() > until) return ::testing::AssertionFailure() << daemon().output();
            std::this_thread::sleep_for(10ms);
        }
        return ::testing::AssertionSuccess();
    }

    fs::path adblock_;
};

TEST_F(AdLists, DomainsOfBothListsAreBlockedForGetAndConnectAndExceptionsPass) {
    ASSERT_TRUE(start_with_lists());
    Origin origin(kReply);
    EchoServer echo;
    for (const char *host : {"exact.lists.test", "tracker.lists.test", "ads.lists.test", "deep.ads.lists.test",
                             "x.cdn.lists.test", "DEEP.Ads.Lists.Test"}) {
        EXPECT_TRUE(image_for(host, origin.port())) << host;
        EXPECT_TRUE(connect_blocked(host, echo.port())) << host;
    }
    // The exception wins over the domain rule; a host no list names passes.
    for (const char *host : {"ok.ads.lists.test", "plain.lists.test"}) {
        EXPECT_EQ(ask("GET http://" + std::string(host) + ":" + std::to_string(origin.port()) + "/ HTTP/1.1\r\n\r\n").bytes,
                  kReply)
            << host;
        EXPECT_TRUE(tunnels(host, echo.port())) << host;
    }
    EXPECT_EQ(origin.accepted(), 2) << "a blocked host reached the origin";
    const std::string out = daemon().out();
    EXPECT_NE(out.find("1 exact hosts, 0 domains, 0 exceptions, 0 rules skipped from adhosts, "), std::string::npos)
        << out;
    EXPECT_NE(out.find("1 exact hosts, 0 domains, 0 exceptions, 0 rules skipped from blockhosts, "), std::string::npos)
        << out;
    EXPECT_NE(out.find("0 exact hosts, 2 domains, 1 exceptions, 1 rules skipped from " + adblock_.string() + ", "),
              std::string::npos)
        << out;
}

TEST_F(AdLists, ReloadReadsTheListsAgainAndAListThatCannotBeReadKeepsTheOldOnes) {
    ASSERT_TRUE(start_with_lists());
    Origin origin(kReply);
    EXPECT_FALSE(image_for("plain.lists.test", origin.port()));
    write_adblock("||plain.lists.test^\n");
    ASSERT_TRUE(reload());
    EXPECT_TRUE(image_for("plain.lists.test", origin.port())) << daemon().output();

    fs::remove(folder() / "blockhosts");
    write_adblock("");
    ASSERT_TRUE(reload());
    EXPECT_NE(daemon().err().find("AdListFile0 'blockhosts' in section HTTP cannot be read"), std::string::npos)
        << daemon().err();
    // Refused whole: the lists of the last good reload still apply.
    EXPECT_TRUE(image_for("plain.lists.test", origin.port()));
    EXPECT_TRUE(image_for("tracker.lists.test", origin.port()));
}

TEST_F(AdLists, MissingListStopsTheStartNamingTheKey) {
    fs::remove(folder() / "blockhosts");
    auto status = run_to_exit({"--config", write_config_with({{"AdListFile0", "blockhosts"}}).string()});
    EXPECT_TRUE(exited_with(status, 1)) << describe_status(status);
    EXPECT_NE(daemon().err().find("AdListFile0 'blockhosts' in section HTTP cannot be read: open() of \"blockhosts\" "
                                  "failed (2: No such file or directory)"),
              std::string::npos)
        << daemon().err();
}

}  // namespace
}  // namespace e2e
