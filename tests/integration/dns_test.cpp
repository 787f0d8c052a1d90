// The DNS proxy of the daemon, between dig and a dnsmasq on loopback:
// forwarding, blocking from the daemon's own lists, a reload that turns
// blocking off, and a port another name server holds.
#include "harness.h"

#include <sstream>

namespace e2e {
namespace {

// dnsmasq as the LAN's upstream name server, on a port of its own.
class Upstream {
public:
    explicit Upstream(const fs::path &dir) : dir_(dir), port_(free_port()) {
        process_.spawn({"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                        "--no-hosts", "--port=" + std::to_string(port_), "--listen-address=127.0.0.1",
                        "--bind-interfaces", "--user=root", "--group=root", "--pid-file=",
                        "--address=/example.test/192.0.2.1", "--address=/ads.test/192.0.2.66"},
                       dir_, dir_ / "dnsmasq.out", dir_ / "dnsmasq.err");
    }
    uint16_t port() const { return port_; }
    // Waits until it answers; each dig waits for its own answer.
    bool ready() {
        for (int i = 0; i < 50 && process_.running(); ++i)
            if (dig(port_, "probe.example.test +short", dir_).out == "192.0.2.1\n") return true;
        return false;
    }
    std::string err() const { return read_file(dir_ / "dnsmasq.err"); }

    static CommandResult dig(uint16_t port, const std::string &args, const fs::path &cwd) {
        std::vector<std::string> argv = {"/usr/bin/dig", "@127.0.0.1", "-p", std::to_string(port), "+tries=1",
                                         "+time=5"};
        std::istringstream words(args);
        for (std::string w; words >> w;) argv.push_back(w);
        return run_command(argv, cwd);
    }

private:
    fs::path dir_;
    uint16_t port_;
    Process process_;
};

class Dns : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        adhosts_ = std::vector<std::string>{"ads.test"};
        config_.dns_enabled = "true";
    }
    CommandResult dig(const std::string &args) { return Upstream::dig(dns_port(), args, scratch()); }
};

TEST_F(Dns, DigGetsForwardedAndBlockedNamesAndThePortIsListed) {
    Upstream up(scratch());
    ASSERT_TRUE(up.ready()) << up.err();
    config_.dns_keys = {{"DNSServer1", "127.0.0.1:" + std::to_string(up.port())}, {"DNSHostsFile", ""}};
    ASSERT_TRUE(start());
    ASSERT_NE(dns_port(), 0) << read_file(daemon().ports_file());
    EXPECT_EQ(dig("www.example.test A +short").out, "192.0.2.1\n");
    EXPECT_EQ(dig("www.example.test A +tcp +short").out, "192.0.2.1\n");
    EXPECT_EQ(dig("ads.test A +short").out, "0.0.0.0\n");
    EXPECT_EQ(dig("x.ads.test AAAA +short").out, "") << "exact entries of adhosts cover no subdomain";
    EXPECT_NE(daemon().output().find("DNS proxy listening on 127.0.0.1:" + std::to_string(dns_port())),
              std::string::npos)
        << daemon().output();

    // DNSBlock off at a reload: the name goes upstream.
    config_.dns_keys.emplace_back("DNSBlock", "false");
    ASSERT_TRUE(reload());
    EXPECT_EQ(dig("ads.test A +short").out, "192.0.2.66\n");
}

TEST_F(Dns, APortAnotherNameServerHoldsStopsTheStartNamingItsAddress) {
    Upstream up(scratch());
    ASSERT_TRUE(up.ready()) << up.err();
    config_.dns_port = std::to_string(up.port());
    const auto status = run_to_exit();
    EXPECT_TRUE(exited_with(status, 1)) << describe_status(status) << daemon().output();
    EXPECT_NE(daemon().output().find("127.0.0.1:" + std::to_string(up.port())), std::string::npos) << daemon().output();
    EXPECT_NE(daemon().output().find("DNSListen"), std::string::npos) << daemon().output();
}

}  // namespace
}  // namespace e2e
