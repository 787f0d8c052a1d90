// The access log's lines, its bounded queue and its writer, and the
// lock-free counters of the status page.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "access_log.h"
#include "stats.h"
#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

// 2026-12-09 01:07:26 UTC.
constexpr std::time_t kWhen = 1796778446;

class UtcZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char *tz = std::getenv("TZ");
        had_tz_ = tz != nullptr;
        if (had_tz_) old_tz_ = tz;
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }
    void TearDown() override {
        if (had_tz_) ::setenv("TZ", old_tz_.c_str(), 1);
        else ::unsetenv("TZ");
        ::tzset();
    }
    bool had_tz_ = false;
    std::string old_tz_;
};

AccessEntry sample() {
    AccessEntry e;
    e.client = "192.168.1.20";
    e.started = kWhen;
    e.request_line = "GET http://example.test/a?b=1 HTTP/1.1";
    e.status = 200;
    e.bytes = 5123;
    e.referer = "http://example.test/";
    e.user_agent = "curl/7.88.1";
    e.duration_ms = 17;
    e.verdict = Verdict::Forwarded;
    return e;
}

using AccessLine = UtcZone;

TEST_F(AccessLine, IsTheCombinedFormatWithDurationAndVerdict) {
    EXPECT_EQ(format_access_line(sample()),
              "192.168.1.20 - - [09/Dec/2026:01:07:26 +0000] \"GET http://example.test/a?b=1 HTTP/1.1\" 200 5123 "
              "\"http://example.test/\" \"curl/7.88.1\" 17 forwarded\n");
}

TEST_F(AccessLine, OffsetAndMonthFollowTheZoneNotTheLocale) {
    ::setenv("TZ", "EST5EDT", 1);
    ::tzset();
    AccessEntry e = sample();
    e.started = kWhen - 31 * 86400;  // after the end of daylight saving
    EXPECT_NE(format_access_line(e).find("[07/Nov/2026:20:07:26 -0500]"), std::string::npos) << format_access_line(e);
    e.started = kWhen - 60 * 86400;  // during it
    EXPECT_NE(format_access_line(e).find("[09/Oct/2026:21:07:26 -0400]"), std::string::npos) << format_access_line(e);
    ::setenv("TZ", "IST-5:30", 1);
    ::tzset();
    EXPECT_NE(format_access_line(sample()).find("[09/Dec/2026:06:37:26 +0530]"), std::string::npos);
}

TEST_F(AccessLine, QuotedFieldsCannotEndEarly) {
    AccessEntry e = sample();
    e.request_line = "GET http://a.test/\"x\\y\x01\x7F\xC3\xA9 HTTP/1.1";
    e.user_agent = "say \"hi\"\r\n";
    e.referer = "";
    const std::string line = format_access_line(e);
    EXPECT_NE(line.find("\"GET http://a.test/\\x22x\\x5Cy\\x01\\x7F\\xC3\\xA9 HTTP/1.1\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"-\" \"say \\x22hi\\x22\\x0D\\x0A\""), std::string::npos) << line;
    EXPECT_EQ(std::count(line.begin(), line.end(), '"'), 6);
    EXPECT_EQ(line.find('\n'), line.size() - 1);
}

TEST_F(AccessLine, MissingRequestAndStatusAreDashes) {
    AccessEntry e;
    e.client = "127.0.0.2";
    e.started = kWhen;
    e.verdict = Verdict::Refused;
    EXPECT_EQ(format_access_line(e), "127.0.0.2 - - [09/Dec/2026:01:07:26 +0000] \"-\" - 0 \"-\" \"-\" 0 refused\n");
}

TEST(AccessVerdicts, NamesAreTheDocumentedOnes) {
    const std::vector<std::string> names = {"forwarded", "tunnel", "ftp",    "ad-image",    "blocked", "refused",
                                            "error",     "too-many", "status", "auth-failed", "redirect"};
    ASSERT_EQ(names.size(), static_cast<size_t>(kVerdicts));
    for (int i = 0; i < kVerdicts; ++i) EXPECT_EQ(verdict_name(static_cast<Verdict>(i)), names[i]);
}

TEST(ReplyStart, StatusIsReadFromTheFirstBytes) {
    EXPECT_EQ(status_of_reply_start("HTTP/1.1 200 OK\r\n"), 200);
    EXPECT_EQ(status_of_reply_start("HTTP/1.0 404 Not Found"), 404);
    EXPECT_EQ(status_of_reply_start("HTTP/1.1 301"), 301);
    for (const char *bad : {"", "HTTP/1.1", "HTTP/1.1 20", "HTTP/1.1 2x0 OK", "SSH-2.0-x", "HTTP/1.1 042 x",
                            "http/1.1 200 OK"})
        EXPECT_EQ(status_of_reply_start(bad), 0) << bad;
}

std::vector<std::string> lines_of(const fs::path &file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

class AccessLogFile : public ::testing::Test {
protected:
    void TearDown() override {
        AccessLog::instance().flush(5000);
        AccessLog::instance().configure("");
        AccessLog::instance().set_queue_limit_for_tests(65536);
    }
    AccessEntry numbered(int thread, int n) {
        AccessEntry e = sample();
        e.request_line = "GET http://t" + std::to_string(thread) + ".test/" + std::to_string(n) + " HTTP/1.1";
        e.user_agent = std::string(200, 'u');
        return e;
    }
    TempFolder folder_;
};

TEST_F(AccessLogFile, EntriesOfConcurrentThreadsNeverInterleave) {
    const fs::path file = folder_.path() / "access.log";
    AccessLog &log = AccessLog::instance();
    log.configure(file.string());
    const uint64_t before = log.written();
    constexpr int kThreads = 8, kEach = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int n = 0; n < kEach; ++n) log.submit(numbered(t, n));
        });
    for (auto &t : threads) t.join();
    ASSERT_TRUE(log.flush(10000));
    EXPECT_EQ(log.written() - before, static_cast<uint64_t>(kThreads * kEach));
    const auto lines = lines_of(file);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEach));
    std::set<std::string> seen;
    const std::string tail = " 200 5123 \"http://example.test/\" \"" + std::string(200, 'u') + "\" 17 forwarded";
    for (const std::string &line : lines) {
        ASSERT_EQ(line.rfind("192.168.1.20 - - [", 0), 0u) << line;
        ASSERT_EQ(line.substr(line.size() - tail.size()), tail) << line;
        seen.insert(line);
    }
    EXPECT_EQ(seen.size(), lines.size()) << "an entry was written twice";
}

TEST_F(AccessLogFile, FileMovedAwayIsReopenedWithoutASignal) {
    const fs::path file = folder_.path() / "access.log";
    AccessLog &log = AccessLog::instance();
    log.configure(file.string());
    for (int n = 0; n < 10; ++n) log.submit(numbered(0, n));
    ASSERT_TRUE(log.flush(5000));
    // What a rotation does: move the file, and let the writer make a new one.
    fs::rename(file, folder_.path() / "access.log.1");
    for (int n = 10; n < 15; ++n) log.submit(numbered(0, n));
    ASSERT_TRUE(log.flush(5000));
    const auto old_lines = lines_of(folder_.path() / "access.log.1");
    const auto new_lines = lines_of(file);
    ASSERT_EQ(old_lines.size(), 10u);
    ASSERT_EQ(new_lines.size(), 5u);
    EXPECT_NE(new_lines[0].find("GET http://t0.test/10 "), std::string::npos) << new_lines[0];
    // And a file removed outright comes back too.
    fs::remove(file);
    log.submit(numbered(0, 99));
    ASSERT_TRUE(log.flush(5000));
    EXPECT_EQ(lines_of(file).size(), 1u);
}

TEST_F(AccessLogFile, FullQueueDropsAndCountsInsteadOfWaiting) {
    const fs::path file = folder_.path() / "access.log";
    AccessLog &log = AccessLog::instance();
    log.configure(file.string());
    log.set_queue_limit_for_tests(4);
    const uint64_t written0 = log.written(), dropped0 = log.dropped();
    constexpr int kSubmitted = 20000;
    for (int n = 0; n < kSubmitted; ++n) log.submit(numbered(1, n));
    ASSERT_TRUE(log.flush(10000));
    const uint64_t written = log.written() - written0, dropped = log.dropped() - dropped0;
    EXPECT_EQ(written + dropped, static_cast<uint64_t>(kSubmitted));
    EXPECT_GT(dropped, 0u) << "a queue of 4 took 20,000 entries without a drop";
    EXPECT_EQ(lines_of(file).size(), written);
}

TEST_F(AccessLogFile, EmptyPathTurnsTheLogOff) {
    const fs::path file = folder_.path() / "access.log";
    AccessLog &log = AccessLog::instance();
    log.configure(file.string());
    log.configure("");
    EXPECT_EQ(log.path(), "");
    log.submit(sample());
    ASSERT_TRUE(log.flush(5000));
    EXPECT_EQ(lines_of(file).size(), 0u);
}

TEST(TopCounts, ConcurrentAddsOfTheSameNamesCountExactly) {
    TopCounter counter;
    constexpr int kThreads = 8, kRounds = 2000, kNames = 50;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) counter.add("host" + std::to_string(r % kNames) + ".test");
        });
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter.names(), static_cast<size_t>(kNames)) << "a name took two slots";
    const auto top = counter.top(100);
    ASSERT_EQ(top.size(), static_cast<size_t>(kNames));
    for (const auto &[name, count] : top) EXPECT_EQ(count, static_cast<uint64_t>(kThreads * kRounds / kNames)) << name;
    EXPECT_EQ(counter.others(), 0u);
}

TEST(TopCounts, TopIsOrderedAndOverflowGoesToOthers) {
    TopCounter counter;
    for (int i = 0; i < 30; ++i)
        for (int n = 0; n <= i; ++n) counter.add("h" + std::to_string(i));
    const auto top = counter.top(20);
    ASSERT_EQ(top.size(), 20u);
    EXPECT_EQ(top[0], (std::pair<std::string, uint64_t>{"h29", 30}));
    EXPECT_EQ(top[19], (std::pair<std::string, uint64_t>{"h10", 11}));
    counter.add(std::string(TopCounter::kNameBytes, 'x'));
    counter.add("");
    EXPECT_EQ(counter.others(), 2u);
    // A table full of other names counts the rest as others.
    TopCounter full;
    for (size_t i = 0; i < TopCounter::kSlots * 2; ++i) full.add("n" + std::to_string(i));
    EXPECT_LE(full.names(), TopCounter::kSlots);
    EXPECT_EQ(full.names() + full.others(), TopCounter::kSlots * 2);
}

TEST(StatusPages, MetricsNameEveryVerdictAndTheTopHosts) {
    StatusReport r;
    r.version = "9.9";
    r.requests[static_cast<int>(Verdict::Blocked)] = 7;
    r.blocked = {{"ads.test", 5}, {"track\"er.test", 2}};
    r.refused = {{"10.0.0.9", 3}};
    const std::string metrics = status_metrics(r);
    EXPECT_NE(metrics.find("valdrin_build_info{version=\"9.9\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("valdrin_requests_total{verdict=\"blocked\"} 7\n"), std::string::npos);
    EXPECT_NE(metrics.find("valdrin_blocked_requests_total{host=\"track\\\"er.test\"} 2\n"), std::string::npos);
    EXPECT_NE(metrics.find("valdrin_refused_connections_total{client=\"10.0.0.9\"} 3\n"), std::string::npos);
    for (int i = 0; i < kVerdicts; ++i)
        EXPECT_NE(metrics.find(std::string("verdict=\"") + verdict_name(static_cast<Verdict>(i)) + "\""),
                  std::string::npos);
    const std::string html = status_html(r);
    EXPECT_NE(html.find("track&quot;er.test"), std::string::npos);
    const std::string json = status_json(r);
    EXPECT_NE(json.find("{\"name\":\"track\\\"er.test\",\"count\":2}"), std::string::npos) << json;
}

}  // namespace
}  // namespace kel::server::test
