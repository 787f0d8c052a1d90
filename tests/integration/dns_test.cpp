// The DNS proxy of the daemon, between dig and a dnsmasq on loopback:
// forwarding, blocking from the daemon's own lists, a reload that turns
// blocking off, and a port another name server holds.
#include "harness.h"

#include <unistd.h>

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
    // The status page asks the DNS proxy for its figures and names where it
    // listens; under ThreadSanitizer this also holds the two services'
    // locks to one order.
    const Reply status = ask("GET /status.json HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_NE(status.bytes.find("{\"service\":\"dns\",\"address\":\"127.0.0.1:" + std::to_string(dns_port()) + "\"}"),
              std::string::npos)
        << status.bytes;
    EXPECT_NE(status.bytes.find("\"dns\":{\"listening\":"), std::string::npos) << status.bytes;

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


// A network namespace of the test's own, where the proxy may take port 53
// on 127.0.0.1 and be the name server of a resolv.conf, as on a LAN.
class DnsNamespace : public NetNamespace {
public:
    DnsNamespace() : NetNamespace("valdrin-dns") {}
    // Through the C library, with resolv.conf naming only 127.0.0.1.
    CommandResult getent(const std::string &database, const std::string &name) const {
        write_file(files_.path() / "resolv.conf", "nameserver 127.0.0.1\noptions attempts:1 timeout:5\n");
        return run({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                    "mount --bind \"$0\" /etc/resolv.conf && exec getent \"$1\" \"$2\"",
                    (files_.path() / "resolv.conf").string(), database, name});
    }

private:
    TempDir files_;
};

TEST_F(Dns, TheCLibrarysResolverAndDnsperfAreAnsweredOnPort53) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    DnsNamespace ns;
    if (!ns.ok()) GTEST_SKIP() << "no network namespace could be made";
    // The LAN's name server, inside the namespace too.
    Process upstream;
    const fs::path dir = scratch();
    std::vector<std::string> argv = ns.prefix();
    argv.insert(argv.end(), {"/usr/sbin/dnsmasq", "--keep-in-foreground", "--conf-file=/dev/null", "--no-resolv",
                             "--no-hosts", "--port=5300", "--listen-address=127.0.0.1", "--bind-interfaces",
                             "--user=root", "--group=root", "--pid-file=", "--local-ttl=300",
                             "--address=/example.test/192.0.2.1", "--address=/example.test/2001:db8::1"});
    ASSERT_TRUE(upstream.spawn(argv, dir, dir / "dnsmasq.out", dir / "dnsmasq.err"));
    bool up = false;
    for (int i = 0; i < 50 && !up && upstream.running(); ++i)
        up = ns.run({"/usr/bin/dig", "@127.0.0.1", "-p", "5300", "+tries=1", "+time=1", "+short", "probe.example.test"})
                 .out == "192.0.2.1\n";
    ASSERT_TRUE(up) << read_file(dir / "dnsmasq.err");

    netns_ = ns.name();
    config_.dns_port = "53";
    // dnsperf asks far faster than a device: no limit for this one client.
    config_.dns_keys = {{"DNSServer1", "127.0.0.1:5300"}, {"DNSClientRate", "0"}};
    hosts_ = "127.0.0.1 localhost\n10.1.2.3 printer.lan\n";
    ASSERT_TRUE(start());

    // glibc asks A and AAAA at once from one socket, and takes both answers.
    const CommandResult both = ns.getent("ahosts", "www.example.test");
    EXPECT_TRUE(exited_with(both.status, 0)) << both.err;
    EXPECT_NE(both.out.find("192.0.2.1"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("2001:db8::1"), std::string::npos) << both.out;
    const CommandResult printer = ns.getent("hosts", "printer.lan");
    EXPECT_NE(printer.out.find("10.1.2.3"), std::string::npos) << printer.out << printer.err;
    // ahosts: without AI_ADDRCONFIG, which finds no address but loopback here and asks nothing.
    const CommandResult blocked = ns.getent("ahosts", "ads.test");
    EXPECT_NE(blocked.out.find("0.0.0.0"), std::string::npos) << blocked.out << blocked.err;
    EXPECT_NE(blocked.out.find("::"), std::string::npos) << blocked.out << blocked.err;
    // A name nobody knows: getent says so by its exit status (2: not found).
    const CommandResult none = ns.getent("hosts", "nothing.invalid");
    EXPECT_TRUE(exited_with(none.status, 2)) << describe_status(none.status) << none.out;

    // 2,000 queries as dnsperf sends them, 100 on their way at once: every one answered.
    std::string names;
    for (int i = 0; i < 200; ++i)
        names += "n" + std::to_string(i) + ".example.test " + (i % 2 ? "AAAA" : "A") + "\n";
    names += "printer.lan A\nads.test A\n";
    write_file(dir / "names.txt", names);
    const CommandResult perf = ns.run({"/usr/bin/dnsperf", "-s", "127.0.0.1", "-p", "53", "-d",
                                         (dir / "names.txt").string(), "-n", "10", "-q", "100", "-t", "10"});
    EXPECT_TRUE(exited_with(perf.status, 0)) << perf.err;
    EXPECT_NE(perf.out.find("Queries sent:         2020"), std::string::npos) << perf.out;
    EXPECT_NE(perf.out.find("Queries lost:         0 "), std::string::npos) << perf.out;
    EXPECT_NE(perf.out.find("NOERROR 2020 (100.00%)"), std::string::npos) << perf.out;
}

}  // namespace
}  // namespace e2e
