#include "kellog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kellog_time.h"
#include "kelplat/msgbox.h"

namespace {

namespace fsys = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// "DD/MM/YYYY @ HH:MM  ": digits where the pattern has 9, the rest literal.
bool is_stamp(const std::string &s) {
    const std::string pattern = "99/99/9999 @ 99:99  ";
    if (s.size() != pattern.size()) return false;
    for (size_t i = 0; i < s.size(); ++i) {
        const bool digit = s[i] >= '0' && s[i] <= '9';
        if (pattern[i] == '9' ? !digit : s[i] != pattern[i]) return false;
    }
    return true;
}

bool all_digits(const std::string &s) {
    return !s.empty() &&
           std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string slurp(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> entries(const std::string &path) {
    std::vector<std::string> out;
    const std::string text = slurp(path);
    size_t at = 0;
    for (size_t end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        out.push_back(text.substr(at, end - at));
    if (at != text.size()) out.push_back("<unterminated>" + text.substr(at));
    return out;
}

// Splits off and checks the timestamp of an entry; returns the rest.
std::string body_of(const std::string &entry) {
    EXPECT_GE(entry.size(), 20u);
    EXPECT_TRUE(is_stamp(entry.substr(0, 20))) << entry;
    return entry.size() >= 20 ? entry.substr(20) : "";
}

class Log : public testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fsys::temp_directory_path() /
               ("kellog_test_" + std::to_string(rd()) + std::to_string(rd()));
        fsys::create_directories(dir_);
        log_ = (dir_ / "log.txt").string();
        err_ = (dir_ / "err.txt").string();
        ASSERT_EQ(kellog_init(log_.c_str(), err_.c_str(), 0), 0);
    }
    void TearDown() override {
        kel::set_message_box_handler(nullptr);
        std::error_code ec;
        fsys::remove_all(dir_, ec);
    }
    fsys::path dir_;
    std::string log_, err_;
};

TEST(LogTimestamp, HasTheFixedTwentyCharacterLayout) {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 0;
    when.tm_mday = 3;
    when.tm_hour = 9;
    when.tm_min = 5;
    char out[32];
    std::memset(out, 'x', sizeof out);
    kel::log::format_timestamp(when, out);
    EXPECT_STREQ(out, "03/01/2026 @ 09:05  ");
    when.tm_year = 12345 - 1900;
    std::memset(out, 'x', sizeof out);
    kel::log::format_timestamp(when, out);
    EXPECT_EQ(std::strlen(out), 20u);
    EXPECT_EQ(out[21], 'x');
}

TEST(LogTimestamp, StampsTheCurrentLocalTime) {
    char out[21];
    const std::time_t before = std::time(nullptr);
    EXPECT_EQ(kellog_timestamp(out), 0);
    const std::time_t after = std::time(nullptr);
    std::set<std::string> expected;
    for (std::time_t t : {before, after}) {
        std::tm tm{};
        localtime_r(&t, &tm);
        char s[21];
        kel::log::format_timestamp(tm, s);
        expected.insert(s);
    }
    EXPECT_EQ(expected.count(out), 1u) << out;
}

TEST(LogState, WritersFailBeforeInitAndCreateNoFile) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process: the module is still uninitialised there.
    EXPECT_EXIT(
        {
            const bool ok = kellog_log("x %d", 1) == -1 && kellog_msg("x") == -1 &&
                            kellog_err("f", 1, "x") == -1;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "ERROR: kelLog not initialized\nkellog line [0-9]+\n");
}

TEST_F(Log, EntryHasTimestampMessageAndCrlf) {
    EXPECT_EQ(kellog_log("Connection from %s refused (HTTP/FTP)", "10.0.0.5"), 0);
    const auto lines = entries(log_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(body_of(lines[0]), "Connection from 10.0.0.5 refused (HTTP/FTP)");
    EXPECT_EQ(slurp(err_), "");
}

TEST_F(Log, ErrEntryCarriesSourcePosition) {
    EXPECT_EQ(kellog_err("x", 12, "boom"), 0);
    EXPECT_EQ(kellog_err("y.c", -3, "%s%d", "n", 7), 0);
    const auto lines = entries(err_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(body_of(lines[0]), "x(12) boom");
    EXPECT_EQ(body_of(lines[1]), "y.c(-3) n7");
}

TEST_F(Log, MsgEchoesOnStandardOutputWithoutABoxWhenQuiet) {
    static int boxes = 0;
    boxes = 0;
    kel::set_message_box_handler([](const char *, const char *, unsigned) { return ++boxes; });
    CaptureStdout();
    EXPECT_EQ(kellog_msg("disk %s", "full"), 0);
    EXPECT_EQ(GetCapturedStdout(), "ERROR: disk full");
    EXPECT_EQ(boxes, 0);
    const auto lines = entries(err_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(body_of(lines[0]), "disk full");
}

TEST_F(Log, VerboseMsgShowsTheBox) {
    ASSERT_EQ(kellog_init(log_.c_str(), err_.c_str(), 1), 0);
    static std::string seen;
    seen.clear();
    kel::set_message_box_handler([](const char *caption, const char *text, unsigned style) {
        seen = std::string(caption) + "|" + text + "|" + std::to_string(style);
        return 1;
    });
    CaptureStdout();
    EXPECT_EQ(kellog_msg("bad %d", 1), 0);
    GetCapturedStdout();
    EXPECT_EQ(seen, "Valdrin Proxy Server Error|bad 1|" + std::to_string(0x40010));
    // The default handler puts the box on standard error.
    kel::set_message_box_handler(nullptr);
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(kellog_msg("worse"), 0);
    EXPECT_EQ(GetCapturedStderr(), "Valdrin Proxy Server Error: worse\n");
    EXPECT_EQ(GetCapturedStdout(), "ERROR: worse");
}

TEST_F(Log, NullArgumentsAreReportedInTheErrorFile) {
    int32_t (*log)(const char *, ...) = &kellog_log;
    int32_t (*msg)(const char *, ...) = &kellog_msg;
    int32_t (*err)(const char *, int32_t, const char *, ...) = &kellog_err;
    EXPECT_EQ(log(nullptr), -1);
    EXPECT_EQ(msg(nullptr), -1);
    EXPECT_EQ(err(nullptr, 1, "x"), -1);
    EXPECT_EQ(err("f", 1, nullptr), -1);
    const auto lines = entries(err_);
    ASSERT_EQ(lines.size(), 4u);
    for (const auto &l : lines) {
        const std::string body = body_of(l);
        const auto close = body.find(") ");
        ASSERT_NE(close, std::string::npos) << l;
        EXPECT_EQ(body.substr(0, 11), "kellog.cpp(");
        EXPECT_TRUE(all_digits(body.substr(11, close - 11))) << l;
        const std::string text = body.substr(close + 2);
        EXPECT_TRUE(text == "A null argument has been passed to vln_log" ||
                    text == "A null argument has been passed to vln_err")
            << l;
    }
    EXPECT_NE(lines[0].find("vln_log"), std::string::npos);
    EXPECT_NE(lines[1].find("vln_err"), std::string::npos);
    EXPECT_EQ(slurp(log_), "");
}

TEST_F(Log, InitInAMissingFolderFailsAndKeepsTheOldFiles) {
    const std::string missing = (dir_ / "nope" / "log.txt").string();
    CaptureStderr();
    EXPECT_EQ(kellog_init(missing.c_str(), err_.c_str(), 0), -1);
    EXPECT_EQ(GetCapturedStderr(), "Unable to open LOG file for output ('" + missing + "')");
    CaptureStderr();
    EXPECT_EQ(kellog_init(log_.c_str(), missing.c_str(), 0), -1);
    EXPECT_EQ(GetCapturedStderr(), "Unable to open ERR file for output ('" + missing + "')");
    EXPECT_EQ(kellog_log("still here"), 0);
    EXPECT_EQ(entries(log_).size(), 1u);
}

TEST_F(Log, OverlongPathIsRefused) {
    const std::string long_path = (dir_ / std::string(1100, 'l')).string();
    CaptureStderr();
    EXPECT_EQ(kellog_init(long_path.c_str(), err_.c_str(), 0), -1);
    EXPECT_EQ(kellog_init(log_.c_str(), long_path.c_str(), 0), -1);
    EXPECT_NE(GetCapturedStderr().find("kellog line "), std::string::npos);
    EXPECT_EQ(kellog_log("x"), 0);
    EXPECT_EQ(entries(log_).size(), 1u);
}

TEST_F(Log, LongMessageIsWrittenWhole) {
    const std::string big(10000, 'm');
    EXPECT_EQ(kellog_log("%s", big.c_str()), 0);
    EXPECT_EQ(kellog_err("f", 1, "%s", big.c_str()), 0);
    const auto log_lines = entries(log_);
    ASSERT_EQ(log_lines.size(), 1u);
    EXPECT_EQ(body_of(log_lines[0]), big);
    const auto err_lines = entries(err_);
    ASSERT_EQ(err_lines.size(), 1u);
    EXPECT_EQ(body_of(err_lines[0]), "f(1) " + big);
}

TEST_F(Log, ConcurrentEntriesNeverInterleaveOrGetLost) {
    constexpr int kThreads = 8, kEntries = 500;
    const std::string pad(300, '.');
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEntries; ++i) kellog_log("t%d e%d %s end", t, i, pad.c_str());
        });
    }
    for (auto &th : threads) th.join();
    const auto lines = entries(log_);
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kEntries));
    std::set<std::string> seen;
    const std::string tail = " " + pad + " end";
    for (const auto &l : lines) {
        const std::string body = body_of(l);
        const auto space = body.find(' ');
        const bool whole =
            body.size() > tail.size() && body[0] == 't' && space != std::string::npos &&
            all_digits(body.substr(1, space - 1)) && body[space + 1] == 'e' &&
            body.compare(body.size() - tail.size(), tail.size(), tail) == 0 &&
            all_digits(body.substr(space + 2, body.size() - tail.size() - space - 2));
        ASSERT_TRUE(whole) << "torn entry: " << l.substr(0, 80);
        seen.insert(body.substr(0, body.size() - tail.size()));
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kEntries));
}

TEST_F(Log, RemovedFileIsCreatedAgain) {
    EXPECT_EQ(kellog_log("one"), 0);
    fsys::remove(log_);
    EXPECT_EQ(kellog_log("two"), 0);
    const auto lines = entries(log_);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(body_of(lines[0]), "two");
}

TEST_F(Log, FileInARemovedFolderGivesMinusOneAndADiagnostic) {
    const auto sub = dir_ / "sub";
    fsys::create_directory(sub);
    const std::string log = (sub / "log.txt").string(), err = (sub / "err.txt").string();
    ASSERT_EQ(kellog_init(log.c_str(), err.c_str(), 0), 0);
    fsys::remove_all(sub);
    CaptureStderr();
    CaptureStdout();
    EXPECT_EQ(kellog_log("lost"), -1);
    EXPECT_EQ(kellog_err("f", 2, "lost"), -1);
    EXPECT_EQ(kellog_msg("lost"), -1);
    EXPECT_EQ(GetCapturedStdout(), "ERROR: lost");
    const std::string diag = GetCapturedStderr();
    EXPECT_NE(diag.find("ERROR: Unable to write an entry to '" + log + "'"), std::string::npos)
        << diag;
    EXPECT_NE(diag.find("'" + err + "'"), std::string::npos) << diag;
    EXPECT_NE(diag.find("kellog line "), std::string::npos);
}

}  // namespace
