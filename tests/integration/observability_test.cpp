// What an administrator reads: the access log, by the tools that read web
// server logs, and the status page with its metrics and JSON.
#include "harness.h"

#include <signal.h>

#include <fstream>
#include <regex>

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

const std::string kReply = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello";
const std::string kEstablished = "HTTP/1.1 200 OK\r\n\r\n";

std::vector<std::string> lines_of(const fs::path &file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The goaccess options the README documents for the access log.
std::string documented_goaccess_format() {
    const std::string readme = read_file(fs::path(VALDRIN_SOURCE_DIR) / "README.md");
    const std::string key = "--log-format='";
    const size_t at = readme.find(key);
    if (at == std::string::npos) return "";
    const size_t end = readme.find('\'', at + key.size());
    return readme.substr(at + key.size(), end - at - key.size());
}

// One parsed access log line.
struct Line {
    std::string client, time, request, referer, agent, verdict;
    int status = 0;
    uint64_t bytes = 0;
    long ms = -1;
};

std::optional<Line> parse(const std::string &text) {
    static const std::regex kLine(
        R"re(^(\S+) - - \[(\d\d/[A-Z][a-z][a-z]/\d{4}:\d\d:\d\d:\d\d [+-]\d{4})\] "([^"]*)" (\d{3}) (\d+) "([^"]*)" "([^"]*)" (\d+) ([a-z-]+)$)re");
    std::smatch m;
    if (!std::regex_match(text, m, kLine)) return std::nullopt;
    Line l;
    l.client = m[1];
    l.time = m[2];
    l.request = m[3];
    l.status = std::stoi(m[4]);
    l.bytes = std::stoull(m[5]);
    l.referer = m[6];
    l.agent = m[7];
    l.ms = std::stol(m[8]);
    l.verdict = m[9];
    return l;
}

class Observability : public ProxyTest {
protected:
    fs::path access_log() const { return folder() / "access.log"; }

    // Waits until the access log holds at least `count` lines.
    std::vector<std::string> wait_lines(size_t count) {
        const auto until = Clock::now() + kIoTimeout;
        for (;;) {
            auto lines = lines_of(access_log());
            if (lines.size() >= count || Clock::now() > until) return lines;
            std::this_thread::sleep_for(10ms);
        }
    }

    Reply status(const std::string &path, const char *from = nullptr) {
        return ask("GET http://valdrin.status" + path + " HTTP/1.1\r\nHost: valdrin.status\r\n\r\n", from);
    }
    static std::string body_of(const Reply &r) {
        const size_t end = r.bytes.find("\r\n\r\n");
        return end == std::string::npos ? "" : r.bytes.substr(end + 4);
    }
};

// One request of every kind the proxy answers; returns the verdicts in the
// order sent.
std::vector<std::string> one_of_each(uint16_t proxy, uint16_t origin, uint16_t echo, uint16_t closed_port,
                                     std::function<Reply(std::string_view, const char *)> ask) {
    const std::string host = "127.0.0.1:" + std::to_string(origin);
    EXPECT_EQ(ask("GET http://" + host + "/page?q=1 HTTP/1.1\r\nHost: " + host +
                      "\r\nUser-Agent: test-agent/1.0 (\"quoted\")\r\nReferer: http://ref.test/\r\n\r\n",
                  nullptr)
                  .bytes,
              kReply);
    {
        Fd fd = connect_tcp("127.0.0.1", proxy);
        const std::string target = "127.0.0.1:" + std::to_string(echo);
        EXPECT_EQ(talk(fd, "CONNECT " + target + " HTTP/1.1\r\n\r\nping", kEstablished.size() + 4).bytes,
                  kEstablished + "ping");
    }
    EXPECT_NE(ask("GET http://ads.observe.test/banner.gif HTTP/1.1\r\n\r\n", nullptr).bytes.find("image/gif"),
              std::string::npos);
    EXPECT_TRUE(IsErrorPage(ask("CONNECT ads.observe.test:443 HTTP/1.1\r\n\r\n", nullptr), 403, "Forbidden",
                            kBlockedHost));
    EXPECT_TRUE(IsErrorPage(ask("", "127.0.0.2"), 403, "Forbidden", kNotAllowed));
    EXPECT_TRUE(IsErrorPage(ask("DELETE http://" + host + "/x HTTP/1.1\r\n\r\n", nullptr), 405,
                            "Method Not Allowed", kMethodNotAllowed));
    EXPECT_TRUE(IsErrorPage(ask("GET http://127.0.0.1:" + std::to_string(closed_port) + "/ HTTP/1.1\r\n\r\n", nullptr),
                            503, "Service Unavailable", kConnectionRefused));
    EXPECT_NE(ask("GET http://valdrin.status/ HTTP/1.1\r\n\r\n", nullptr).bytes.find("200 OK"), std::string::npos);
    return {"forwarded", "tunnel", "ad-image", "blocked", "refused", "error", "error", "status"};
}

TEST_F(Observability, AccessLogHasALineForEveryRequestThatGoaccessReads) {
    adhosts_ = std::vector<std::string>{"ads.observe.test"};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    EchoServer echo;
    ClosedPort closed;
    const auto verdicts = one_of_each(port(), origin.port(), echo.port(), closed.port(),
                                      [&](std::string_view r, const char *from) { return ask(r, from); });
    // Entries reach the file in the order the connections ended, which a
    // tunnel's close may change: compare as sets, per verdict.
    const auto lines = wait_lines(verdicts.size());
    ASSERT_EQ(lines.size(), verdicts.size()) << read_file(access_log());
    std::multiset<std::string> seen;
    for (const std::string &text : lines) {
        const auto l = parse(text);
        ASSERT_TRUE(l.has_value()) << "not in the documented layout: " << text;
        seen.insert(l->verdict);
        EXPECT_GE(l->ms, 0);
        if (l->verdict == "forwarded") {
            EXPECT_EQ(l->client, "127.0.0.1");
            EXPECT_EQ(l->request, "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/page?q=1 HTTP/1.1");
            EXPECT_EQ(l->status, 200);
            EXPECT_EQ(l->bytes, kReply.size()) << "the origin's reply, head included";
            EXPECT_EQ(l->agent, "test-agent/1.0 (\\x22quoted\\x22)");
            EXPECT_EQ(l->referer, "http://ref.test/");
        } else if (l->verdict == "tunnel") {
            EXPECT_EQ(l->status, 200);
            EXPECT_EQ(l->bytes, kEstablished.size() + 4);
            EXPECT_EQ(l->request.rfind("CONNECT 127.0.0.1:", 0), 0u) << l->request;
        } else if (l->verdict == "ad-image") {
            EXPECT_EQ(l->status, 200);
            EXPECT_EQ(l->request, "GET http://ads.observe.test/banner.gif HTTP/1.1");
        } else if (l->verdict == "blocked") {
            EXPECT_EQ(l->status, 403);
            EXPECT_EQ(l->request, "CONNECT ads.observe.test:443 HTTP/1.1");
        } else if (l->verdict == "refused") {
            EXPECT_EQ(l->client, "127.0.0.2");
            EXPECT_EQ(l->status, 403);
            EXPECT_EQ(l->request, "-");
        } else if (l->verdict == "error") {
            EXPECT_TRUE(l->status == 405 || l->status == 503) << text;
        } else if (l->verdict == "status") {
            EXPECT_EQ(l->status, 200);
        }
    }
    EXPECT_EQ(seen, std::multiset<std::string>(verdicts.begin(), verdicts.end()));

    const std::string format = documented_goaccess_format();
    ASSERT_FALSE(format.empty()) << "README.md has no goaccess --log-format line";
    auto run = run_command({"/usr/bin/goaccess", access_log().string(), "--no-global-config",
                            "--log-format=" + format, "--date-format=%d/%b/%Y", "--time-format=%H:%M:%S",
                            "--invalid-requests=" + (scratch() / "invalid.txt").string(), "-o",
                            (scratch() / "report.json").string()},
                           scratch(), 30'000ms);
    ASSERT_TRUE(exited_with(run.status, 0)) << describe_status(run.status) << run.err;
    const std::string report = read_file(scratch() / "report.json");
    EXPECT_NE(report.find("\"failed_requests\": 0"), std::string::npos) << read_file(scratch() / "invalid.txt");
    EXPECT_NE(report.find("\"valid_requests\": " + std::to_string(verdicts.size())), std::string::npos)
        << report.substr(0, 600);
}

TEST_F(Observability, RotatedAccessLogIsFollowedWithoutASignal) {
    ASSERT_TRUE(start());
    Origin origin(kReply);
    const std::string get = "GET http://127.0.0.1:" + std::to_string(origin.port()) + "/r HTTP/1.1\r\n\r\n";
    EXPECT_EQ(ask(get).bytes, kReply);
    ASSERT_EQ(wait_lines(1).size(), 1u);
    fs::rename(access_log(), folder() / "access.log.1");
    EXPECT_EQ(ask(get).bytes, kReply);
    EXPECT_EQ(wait_lines(1).size(), 1u) << "the next entry did not start a new file";
    EXPECT_EQ(lines_of(folder() / "access.log.1").size(), 1u);
}

TEST_F(Observability, ConnectionPastTheCapIsLoggedAsTooMany) {
    ASSERT_TRUE(start_with({{"HTTPMaxClients", "1"}, {"HTTPMaxWaiting", "1"}}));
    // An open tunnel is a connection at work: the one the cap allows.
    EchoServer echo;
    Fd tunnel = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(tunnel.valid());
    const std::string target = "127.0.0.1:" + std::to_string(echo.port());
    ASSERT_EQ(talk(tunnel, "CONNECT " + target + " HTTP/1.1\r\n\r\nx", kEstablished.size() + 1).bytes,
              kEstablished + "x");
    const std::string too_many =
        "<H1>Too many connections</H1>The proxy serves as many connections as it may; try again in a moment.";
    EXPECT_TRUE(IsErrorPage(ask("GET http://127.0.0.1:1/ HTTP/1.1\r\n\r\n"), 503, "Service Unavailable", too_many));
    // One silent connection fills the waiting room; the next is refused at once.
    Fd silent = connect_tcp("127.0.0.1", port());
    ASSERT_TRUE(silent.valid());
    Reply past_waiting;
    const auto until = Clock::now() + kIoTimeout;
    do {
        past_waiting = ask("");
    } while (past_waiting.bytes.find(" 503 ") == std::string::npos && Clock::now() < until);
    EXPECT_TRUE(IsErrorPage(past_waiting, 503, "Service Unavailable", too_many));
    EXPECT_TRUE(log_contains("refused: too many connections waiting for their request (HTTPMaxWaiting 1)"));
    // The silent one, closed while the tunnel may still be winding down, may
    // meet the cap too.
    tunnel.reset();
    silent.reset();
    size_t found = 0;
    for (const std::string &text : wait_lines(3)) {
        const auto l = parse(text);
        ASSERT_TRUE(l.has_value()) << text;
        if (l->verdict == "too-many" && l->status == 503 && l->request == "-") ++found;
    }
    EXPECT_GE(found, 2u) << read_file(access_log());
}

TEST_F(Observability, EmptyAccessLogKeyTurnsItOff) {
    ASSERT_TRUE(start({"--config", [&] {
                           std::string text = config_.render();
                           text.insert(text.find("[Main]\n") + 7, "AccessLog=\n");
                           write_file(scratch() / "off.conf", text);
                           return (scratch() / "off.conf").string();
                       }()}));
    EXPECT_TRUE(IsErrorPage(ask("", "127.0.0.2"), 403, "Forbidden", kNotAllowed));
    EXPECT_TRUE(log_contains("Connection from 127.0.0.2 refused"));
    EXPECT_FALSE(fs::exists(access_log()));
}

TEST_F(Observability, StatusPageCountsWhatHappenedInThreeFormats) {
    adhosts_ = std::vector<std::string>{"ads.observe.test"};
    ASSERT_TRUE(start());
    Origin origin(kReply);
    EchoServer echo;
    ClosedPort closed;
    one_of_each(port(), origin.port(), echo.port(), closed.port(),
                [&](std::string_view r, const char *from) { return ask(r, from); });
    ASSERT_EQ(wait_lines(8).size(), 8u);  // every connection has ended and been counted

    const Reply json_reply = status("/status.json");
    ASSERT_NE(json_reply.bytes.find("Content-Type: application/json"), std::string::npos) << json_reply.bytes;
    const std::string json = body_of(json_reply);
    write_file(scratch() / "status.json", json);
    // A real JSON reader, and the counts in it.
    auto check = run_command(
        {"/usr/bin/python3", "-c",
         "import json,sys; d=json.load(open(sys.argv[1])); r=d['requests'];"
         "assert r['forwarded']==1 and r['tunnel']==1 and r['ad-image']==1 and r['blocked']==1, r;"
         "assert r['refused']==1 and r['error']==2 and r['status']==1, r;"
         "assert d['blocked_hosts']['top'][0]=={'name':'ads.observe.test','count':2}, d['blocked_hosts'];"
         "assert d['refused_clients']['top'][0]=={'name':'127.0.0.2','count':1}, d['refused_clients'];"
         "assert d['lists']['exact_hosts']==1, d['lists'];"
         "assert d['bytes']['to_clients']>0 and d['bytes']['to_origins']>0, d['bytes'];"
         "assert d['connections']['peak']>=1 and d['uptime_seconds']>=0;"
         "assert d['configuration_file'].endswith('valdrin.conf'), d;"
         "assert [l['service'] for l in d['listening']]==['http'], d['listening'];"
         "assert d['listening'][0]['address'].endswith(':'+sys.argv[2]), d['listening']",
         (scratch() / "status.json").string(), std::to_string(port())},
        scratch());
    EXPECT_TRUE(exited_with(check.status, 0)) << check.err << "\n" << json;

    const Reply metrics = status("/metrics");
    ASSERT_NE(metrics.bytes.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << metrics.bytes;
    write_file(scratch() / "metrics.txt", body_of(metrics));
    auto promtool = run_command({"/bin/sh", "-c", "promtool check metrics < metrics.txt"}, scratch(), 30'000ms);
    EXPECT_TRUE(exited_with(promtool.status, 0)) << promtool.out << promtool.err << "\n" << body_of(metrics);
    EXPECT_NE(body_of(metrics).find("valdrin_requests_total{verdict=\"blocked\"} 1\n"), std::string::npos);

    const std::string html = body_of(status("/"));
    EXPECT_NE(html.find("<h1>Valdrin Proxy Server</h1>"), std::string::npos) << html;
    EXPECT_NE(html.find("ads.observe.test"), std::string::npos);
    EXPECT_NE(html.find((folder() / "valdrin.conf").string()), std::string::npos);
    EXPECT_NE(html.find("<th>Listening on</th><td>http "), std::string::npos) << html;

    // Sent to the proxy's own port in origin form, the same page.
    const std::string origin_form = body_of(ask("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
    EXPECT_NE(origin_form.find("valdrin_uptime_seconds"), std::string::npos) << origin_form;
    EXPECT_TRUE(IsErrorPage(status("/nothing-here"), 404, "Not Found",
                            "<H1>Not found</H1>The proxy has no page at this address."));
    // Only an allowed client sees it.
    EXPECT_TRUE(IsErrorPage(status("/", "127.0.0.2"), 403, "Forbidden", kNotAllowed));
}

}  // namespace
}  // namespace e2e
