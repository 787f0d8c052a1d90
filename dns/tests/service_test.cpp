// The DNS proxy end to end on loopback: dig and kdig ask it over UDP and
// TCP, a name server of the test's own answers behind it.
#include "dns_service.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "fake_server.h"
#include "stream.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"

namespace kel::dns {
namespace {

using test::FakeServer;

// What a command printed on its standard output.
std::string run(const std::string &command) {
    std::string out;
    if (FILE *p = popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

class DnsService : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("valdrin-dns-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        service_.stop();
        server::publish_config(nullptr);
        std::filesystem::remove_all(dir_);
    }

    std::string write(const std::string &name, const std::string &text) {
        const std::string path = (dir_ / name).string();
        std::ofstream(path) << text;
        return path;
    }

    // A snapshot serving DNS on a free port of 127.0.0.1, forwarding to up.
    std::shared_ptr<server::Config> config_for(const FakeServer &up) {
        auto c = std::make_shared<server::Config>();
        c->dns.enabled = true;
        c->dns.listen = {"127.0.0.1"};
        c->dns.port = 0;
        c->dns.server1 = "127.0.0.1:" + std::to_string(up.server().port);
        c->dns.hosts_file = "";
        c->allowed = server::build_allow_list({});
        return c;
    }

    bool start(const std::shared_ptr<server::Config> &c) {
        server::publish_config(c);
        std::string why;
        const bool ok = service_.start(*c, &why);
        EXPECT_TRUE(ok) << why;
        return ok;
    }

    std::string dig(const std::string &args) {
        return run("dig @127.0.0.1 -p " + std::to_string(service_.port()) + " +tries=1 +time=20 " + args);
    }

    std::filesystem::path dir_;
    Service service_;
};

TEST_F(DnsService, ForwardsOverUdpAndTcpAndAnswersAgainFromTheCache) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    ASSERT_TRUE(start(config_for(up)));
    EXPECT_EQ(dig("www.example.com A +short"), "192.0.2.1\n");
    EXPECT_EQ(dig("WWW.Example.COM A +short"), "192.0.2.1\n");
    EXPECT_EQ(dig("www.example.com A +tcp +short"), "192.0.2.1\n");
    // With EDNS and a cookie option the answer carries an OPT of ours, without the option.
    const std::string k = run("kdig @127.0.0.1 -p " + std::to_string(service_.port()) + " +tcp +edns +cookie www.example.com A");
    EXPECT_NE(k.find("192.0.2.1"), std::string::npos) << k;
    EXPECT_NE(k.find("EDNS"), std::string::npos) << k;
    EXPECT_EQ(up.udp_queries(), 1);
    EXPECT_EQ(service_.counts().cache_hits, 3u);
    EXPECT_EQ(service_.cache_entries(), 1u);
}

// dig drops an answer from another address than the one it asked, so each
// of these fails unless the answer leaves from the address the query came to.
TEST_F(DnsService, WildcardListenersAnswerFromTheAddressEachQueryCameTo) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    for (const std::string any : {"0.0.0.0", "::"}) {
        if (any == "::" && !net::ipv6_available()) continue;
        auto c = config_for(up);
        c->dns.listen = {any};
        ASSERT_TRUE(start(c));
        const std::string port = std::to_string(service_.port());
        for (const std::string to : {"127.0.0.1", "127.0.0.2", "127.1.2.3"}) {
            const std::string out =
                run("dig @" + to + " -p " + port + " +tries=1 +time=20 -b 127.0.0.1 www.example.com A +short");
            EXPECT_EQ(out, "192.0.2.1\n") << any << " asked at " << to;
        }
        if (any == "::") {
            const std::string out = run("dig @::1 -p " + port + " +tries=1 +time=20 www.example.com A +short");
            EXPECT_EQ(out, "192.0.2.1\n") << out;
        }
        service_.stop();
    }
}

TEST_F(DnsService, AnswerLargerThanTheClientTakesIsCutSoThatItAsksOverTcp) {
    FakeServer up(FakeServer::Mode::Big, 7);
    ASSERT_TRUE(start(config_for(up)));
    const std::string cut = dig("big.example A +noedns +ignore");
    EXPECT_NE(cut.find("flags: qr tc rd ra"), std::string::npos) << cut;
    // dig retries over TCP on its own and gets all 40.
    const std::string whole = dig("big.example A +noedns +short");
    EXPECT_EQ(std::count(whole.begin(), whole.end(), '\n'), 40) << whole;
}

TEST_F(DnsService, ListedNamesAndHostsFileNamesAreAnsweredWithoutAskingUpstream) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    auto c = config_for(up);
    c->http.ad_hosts_enabled = true;
    auto list = std::make_shared<server::BlockList>();
    std::string error;
    ASSERT_TRUE(list->load_list(write("list.txt", "||ads.example^\n@@||fine.ads.example^\n"), &error)) << error;
    c->blocked = list;
    c->dns.hosts_file = write("hosts", "10.1.2.3 Printer.lan printer\n# 10.9.9.9 commented.lan\nfd00::5 nas.lan\n");
    ASSERT_TRUE(start(c));
    EXPECT_EQ(dig("ads.example A +short"), "0.0.0.0\n");
    EXPECT_EQ(dig("banner.ads.example AAAA +short"), "::\n");
    const std::string txt = dig("ads.example TXT");
    EXPECT_NE(txt.find("status: NOERROR"), std::string::npos) << txt;
    EXPECT_NE(txt.find("ANSWER: 0"), std::string::npos) << txt;
    EXPECT_EQ(dig("printer.lan A +short"), "10.1.2.3\n");
    EXPECT_EQ(dig("nas.lan AAAA +short"), "fd00::5\n");
    EXPECT_EQ(dig("printer.lan AAAA +short"), "");
    EXPECT_EQ(dig("commented.lan A +short"), "192.0.2.1\n");
    EXPECT_EQ(up.udp_queries(), 1);
    EXPECT_EQ(dig("fine.ads.example A +short"), "192.0.2.1\n");  // the exception is asked upstream
    EXPECT_EQ(up.udp_queries(), 2);
    EXPECT_EQ(service_.counts().blocked, 3u);

    // DNSBlock off: the lists stay the HTTP proxy's alone.
    auto unblocked = std::make_shared<server::Config>(*c);
    unblocked->dns.block = false;
    server::publish_config(unblocked);
    EXPECT_EQ(dig("ads.example A +short"), "192.0.2.1\n");
}

TEST_F(DnsService, AHostsFileThatCannotBeReadIsNamedAndItsNamesGoUpstream) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    auto c = config_for(up);
    c->dns.hosts_file = (dir_ / "no-such-hosts").string();
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(start(c));
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("DNSHostsFile in section DNS: cannot read " + c->dns.hosts_file), std::string::npos) << err;
    EXPECT_EQ(dig("printer.lan A +short"), "192.0.2.1\n");
}

TEST_F(DnsService, AnyGetsTheMinimalAnswerAndAClientOutsideTheAllowListIsRefused) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    ASSERT_TRUE(start(config_for(up)));
    const std::string any = dig("example.com ANY");
    EXPECT_NE(any.find("HINFO\t\"RFC8482\" \"\""), std::string::npos) << any;
    // 127.0.0.5 is not 127.0.0.1: only the latter is allowed by default.
    const std::string refused = dig("-b 127.0.0.5 example.com A");
    EXPECT_NE(refused.find("status: REFUSED"), std::string::npos) << refused;
    EXPECT_EQ(refused.find("192.0.2.1"), std::string::npos) << refused;
    EXPECT_EQ(up.udp_queries(), 0);
    EXPECT_EQ(service_.counts().refused, 1u);
}

TEST_F(DnsService, NoServerAnsweringGivesServfailAndNothingIsCached) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    ASSERT_TRUE(start(config_for(silent)));
    const std::string failed = dig("slow.example A");
    EXPECT_NE(failed.find("status: SERVFAIL"), std::string::npos) << failed;
    EXPECT_EQ(service_.cache_entries(), 0u);
}

TEST_F(DnsService, GarbageAndAStalledTcpClientLeaveTheServiceAnswering) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    ASSERT_TRUE(start(config_for(up)));
    const net::Socket u = net::udp_bind(test::loopback(), 0);
    ASSERT_NE(u, net::kInvalidSocket);
    std::vector<std::uint8_t> junk(600);
    for (int i = 0; i < 1000; ++i) {
        for (std::size_t k = 0; k < junk.size(); ++k) junk[k] = static_cast<std::uint8_t>(i * 31 + k * 7);
        junk[2] &= 0x7f;  // a query, as far as its header goes
        net::send_to_ip(u, test::loopback(), net::host_to_net16(service_.port()), junk.data(),
                        static_cast<std::size_t>(1 + i % junk.size()));
    }
    net::close(u);
    // A length, then nothing: that connection waits alone.
    const net::IpAddress a = test::loopback();
    const net::Socket stalled = net::connect_happy_eyeballs(std::span(&a, 1), net::host_to_net16(service_.port()), 5000);
    ASSERT_NE(stalled, net::kInvalidSocket);
    const std::uint8_t length[2] = {0, 64};
    net::send(stalled, length, 2);
    EXPECT_EQ(dig("after.example A +short"), "192.0.2.1\n");
    EXPECT_EQ(dig("after.example A +tcp +short"), "192.0.2.1\n");
    net::close(stalled);
    EXPECT_GT(service_.counts().malformed, 0u);
}

// One client past its rate loses what it asks beyond; another client, asked
// after it on the same socket, is answered as usual.
TEST_F(DnsService, AFloodingClientIsHeldToItsRateAndOthersAreStillAnswered) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    auto c = config_for(up);
    c->dns.client_rate = 2;  // a burst of 4
    c->dns.hosts_file = write("hosts", "10.1.2.3 printer.lan\n");
    c->allowed = server::build_allow_list({"127.0.0.1", "127.0.0.2"});
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(start(c));
    net::IpAddress one, two;
    ASSERT_TRUE(net::parse_ip("127.0.0.1", &one));
    ASSERT_TRUE(net::parse_ip("127.0.0.2", &two));
    const net::Socket flood = net::udp_bind(one, 0), calm = net::udp_bind(two, 0);
    ASSERT_NE(flood, net::kInvalidSocket);
    ASSERT_NE(calm, net::kInvalidSocket);
    // Hosts-file names are answered on the reading thread, in order.
    const ParsedQuery q = parse_query([] {
        std::vector<std::uint8_t> w = {0, 1, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0};
        const std::string name = name_to_wire("printer.lan");
        w.insert(w.end(), name.begin(), name.end());
        w.insert(w.end(), {0, 1, 0, 1});
        return w;
    }());
    ASSERT_EQ(q.verdict, QueryVerdict::Ok);
    auto query_bytes = [&](std::uint16_t id) {
        std::vector<std::uint8_t> w = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 1, 0, 0, 1,
                                       0, 0, 0, 0, 0, 0};
        w.insert(w.end(), q.query.question.wire.begin(), q.query.question.wire.end());
        w.insert(w.end(), {0, 1, 0, 1});
        return w;
    };
    for (std::uint16_t id = 1; id <= 50; ++id) {
        const auto w = query_bytes(id);
        ASSERT_GT(net::send_to_ip(flood, one, net::host_to_net16(service_.port()), w.data(), w.size()), 0);
    }
    const auto w = query_bytes(999);
    ASSERT_GT(net::send_to_ip(calm, one, net::host_to_net16(service_.port()), w.data(), w.size()), 0);
    pollfd calm_ready{static_cast<int>(calm), POLLIN, 0};
    ASSERT_EQ(::poll(&calm_ready, 1, 20000), 1) << "the other client is answered";
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    // Every answer of the flood was sent before the calm client's.
    int answers = 0;
    std::uint8_t buf[512];
    while (net::recv_from_ip(flood, buf, sizeof buf, nullptr, nullptr) > 0) ++answers;
    EXPECT_GE(answers, 4);
    EXPECT_LE(answers, 4 + static_cast<int>(2 * seconds) + 1) << "in " << seconds << " s";
    EXPECT_GE(service_.counts().limited, static_cast<std::uint64_t>(50 - answers));
    net::close(flood);
    net::close(calm);
}

TEST_F(DnsService, TheStatusFiguresCountTransportsOutcomesAndEachServersAnswers) {
    FakeServer good(FakeServer::Mode::Answer, 1), failing(FakeServer::Mode::ServFail, 2);
    auto c = config_for(good);
    c->dns.server1 = "127.0.0.1:" + std::to_string(failing.server().port);
    c->dns.server2 = "127.0.0.1:" + std::to_string(good.server().port);
    ASSERT_TRUE(start(c));
    EXPECT_EQ(dig("www.example.com A +short"), "192.0.2.1\n");
    EXPECT_EQ(dig("www.example.com A +short"), "192.0.2.1\n");
    EXPECT_EQ(dig("www.example.com A +tcp +short"), "192.0.2.1\n");
    const server::DnsFigures f = service_.figures();
    EXPECT_TRUE(f.running);
    EXPECT_EQ(f.udp_queries, 2u);
    EXPECT_EQ(f.tcp_queries, 1u);
    EXPECT_EQ(f.forwarded, 1u);
    EXPECT_EQ(f.cache_hits, 2u);
    EXPECT_EQ(f.cache_entries, 1u);
    EXPECT_EQ(f.cache_capacity, 10000u);
    ASSERT_EQ(f.upstream.size(), 2u);
    EXPECT_EQ(f.upstream[0].server, "127.0.0.1:" + std::to_string(failing.server().port));
    EXPECT_EQ(f.upstream[0].sent, 1u);
    EXPECT_EQ(f.upstream[0].failures, 1u);
    EXPECT_EQ(f.upstream[0].answered, 0u);
    EXPECT_EQ(f.upstream[1].sent, 1u);
    EXPECT_EQ(f.upstream[1].answered, 1u);
    std::uint64_t in_buckets = 0;
    for (const std::uint64_t n : f.upstream[1].latency) in_buckets += n;
    EXPECT_EQ(in_buckets, 1u);

    // The same figures reach the three forms of the status page.
    server::StatusReport r;
    r.dns = f;
    const std::string metrics = server::status_metrics(r), json = server::status_json(r),
                      html = server::status_html(r);
    EXPECT_NE(metrics.find("valdrin_dns_queries_total{transport=\"tcp\"} 1\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("valdrin_dns_answers_total{outcome=\"cache\"} 2\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("valdrin_dns_upstream_latency_seconds_bucket{server=\"" + f.upstream[1].server +
                           "\",le=\"+Inf\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("valdrin_dns_upstream_failures_total{server=\"" + f.upstream[0].server +
                           "\",kind=\"error\"} 1\n"),
              std::string::npos)
        << metrics;
    EXPECT_NE(json.find("\"dns\":{\"listening\":\"127.0.0.1:" + std::to_string(service_.port()) + "\""),
              std::string::npos)
        << json;
    EXPECT_NE(html.find("Service dns"), std::string::npos);
    // Not running: nothing about DNS at all.
    EXPECT_EQ(server::status_metrics(server::StatusReport{}).find("valdrin_dns_"), std::string::npos);
}

// A query of the common shape for name and type, with the given id.
std::vector<std::uint8_t> query_of(const std::string &name, std::uint16_t type, std::uint16_t id) {
    std::vector<std::uint8_t> w = {static_cast<std::uint8_t>(id >> 8), static_cast<std::uint8_t>(id), 1, 0, 0, 1,
                                   0, 0, 0, 0, 0, 0};
    const std::string wire = name_to_wire(name);
    w.insert(w.end(), wire.begin(), wire.end());
    w.insert(w.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return w;
}

// Reads one framed message from a blocking socket; empty on failure.
std::vector<std::uint8_t> read_framed(net::Socket s) {
    std::uint8_t len[2];
    if (!read_exactly(s, len, 2)) return {};
    std::vector<std::uint8_t> m(static_cast<std::size_t>(len[0] << 8 | len[1]));
    if (m.empty() || !read_exactly(s, m.data(), m.size())) return {};
    return m;
}

net::Socket tcp_client(std::uint16_t port) {
    const net::IpAddress a = test::loopback();
    const net::Socket s = net::connect_happy_eyeballs(std::span(&a, 1), net::host_to_net16(port), 5000);
    if (s != net::kInvalidSocket) net::set_io_timeouts(s, 20000, 20000);
    return s;
}

// RFC 7766: queries pipelined on one connection are answered as each is
// ready, not one after the other: the hosts file's answers do not wait for
// the one no server gives.
TEST_F(DnsService, PipelinedTcpQueriesAreAnsweredAsEachIsReady) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    auto c = config_for(silent);
    c->dns.hosts_file = write("hosts", "10.1.2.3 printer.lan\n10.1.2.4 nas.lan\n");
    ASSERT_TRUE(start(c));
    const net::Socket s = tcp_client(service_.port());
    ASSERT_NE(s, net::kInvalidSocket);
    std::vector<std::uint8_t> all;
    const std::pair<const char *, std::uint16_t> asks[] = {{"nowhere.example", 1}, {"printer.lan", 2}, {"nas.lan", 3}};
    for (const auto &[name, id] : asks) {
        const auto q = query_of(name, kTypeA, id);
        all.push_back(static_cast<std::uint8_t>(q.size() >> 8));
        all.push_back(static_cast<std::uint8_t>(q.size()));
        all.insert(all.end(), q.begin(), q.end());
    }
    ASSERT_EQ(net::send(s, all.data(), all.size()), static_cast<long>(all.size()));
    std::vector<int> order;
    for (int i = 0; i < 3; ++i) {
        const auto m = read_framed(s);
        ASSERT_GE(m.size(), kHeaderSize) << "answer " << i;
        order.push_back(m[0] << 8 | m[1]);
        EXPECT_EQ(m[3] & 0x0f, order.back() == 1 ? kServFail : kNoError) << order.back();
    }
    EXPECT_EQ(order, (std::vector<int>{2, 3, 1}));
    net::close(s);
}

// A client may end its side once it has asked: what is owed still comes,
// here the SERVFAIL of a server that never answers.
TEST_F(DnsService, AnAnswerOwedOverTcpComesAfterTheClientEndsItsSide) {
    FakeServer silent(FakeServer::Mode::Silent, 1);
    ASSERT_TRUE(start(config_for(silent)));
    const net::Socket s = tcp_client(service_.port());
    ASSERT_NE(s, net::kInvalidSocket);
    const auto q = query_of("nowhere.example", kTypeA, 7);
    std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(q.size() >> 8), static_cast<std::uint8_t>(q.size())};
    framed.insert(framed.end(), q.begin(), q.end());
    ASSERT_EQ(net::send(s, framed.data(), framed.size()), static_cast<long>(framed.size()));
    ASSERT_EQ(::shutdown(static_cast<int>(s), SHUT_WR), 0);
    const auto m = read_framed(s);
    ASSERT_GE(m.size(), kHeaderSize);
    EXPECT_EQ(m[0] << 8 | m[1], 7);
    EXPECT_EQ(m[3] & 0x0f, kServFail);
    net::close(s);
}

// Many more questions than are answered at once on one connection, sent in
// one write: each one answered, none twice.
TEST_F(DnsService, APipelineLongerThanTheBoundIsAnsweredWhole) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    ASSERT_TRUE(start(config_for(up)));
    const net::Socket s = tcp_client(service_.port());
    ASSERT_NE(s, net::kInvalidSocket);
    std::vector<std::uint8_t> all;
    constexpr int kQueries = 300;
    for (int id = 1; id <= kQueries; ++id) {
        const auto q = query_of("n" + std::to_string(id % 150) + ".example", kTypeA, static_cast<std::uint16_t>(id));
        all.push_back(static_cast<std::uint8_t>(q.size() >> 8));
        all.push_back(static_cast<std::uint8_t>(q.size()));
        all.insert(all.end(), q.begin(), q.end());
    }
    ASSERT_EQ(net::send(s, all.data(), all.size()), static_cast<long>(all.size()));
    std::set<int> ids;
    for (int i = 0; i < kQueries; ++i) {
        const auto m = read_framed(s);
        ASSERT_GE(m.size(), kHeaderSize) << "answer " << i;
        EXPECT_EQ(m[3] & 0x0f, kNoError);
        EXPECT_TRUE(ids.insert(m[0] << 8 | m[1]).second) << "twice: " << (m[0] << 8 | m[1]);
    }
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kQueries));
    net::close(s);
}

TEST_F(DnsService, APortAnotherServerHoldsIsNamedInTheFailure) {
    FakeServer up(FakeServer::Mode::Answer, 1);
    auto c = config_for(up);
    c->dns.port = up.server().port;  // the fake holds it, UDP and TCP
    server::publish_config(c);
    std::string why;
    EXPECT_FALSE(service_.start(*c, &why));
    EXPECT_NE(why.find("127.0.0.1:" + std::to_string(up.server().port)), std::string::npos) << why;
    EXPECT_NE(why.find("DNSListen"), std::string::npos) << why;
}

TEST(UpstreamServers, AreTheConfiguredOnesOrResolvConfsButNeverTheProxyItself) {
    const auto path = std::filesystem::temp_directory_path() / "valdrin-resolv.conf";
    std::ofstream(path) << "# a comment\nnameserver 127.0.0.53\nnameserver 192.0.2.53\noptions edns0\n"
                           "nameserver ::1\n";
    server::DnsSettings dns;
    const net::IpAddress any4 = net::ipv4_address(0);
    std::vector<Server> s = upstream_servers(dns, path.string(), {}, 53);
    ASSERT_EQ(s.size(), 3u);
    EXPECT_EQ(server_text(s[0]), "127.0.0.53:53");
    EXPECT_EQ(server_text(s[2]), "[::1]:53");
    // Listening on every IPv4 address at 53, the loopback ones would be the proxy.
    s = upstream_servers(dns, path.string(), {any4}, 53);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(server_text(s[0]), "192.0.2.53:53");
    dns.server1 = "192.0.2.1";
    dns.server2 = "[2001:db8::1]:5353";
    s = upstream_servers(dns, path.string(), {any4}, 53);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(server_text(s[0]), "192.0.2.1:53");
    EXPECT_EQ(server_text(s[1]), "[2001:db8::1]:5353");
    std::filesystem::remove(path);
    EXPECT_TRUE(servers_of_resolv_conf(path.string()).empty());
}

}  // namespace
}  // namespace kel::dns
