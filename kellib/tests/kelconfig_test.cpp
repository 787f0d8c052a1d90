#include "kelconfig.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fsys = std::filesystem;
using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

class ConfigStore : public testing::Test {
protected:
    void SetUp() override {
        std::random_device rd;
        dir_ = fsys::temp_directory_path() /
               ("kelcfg_test_" + std::to_string(rd()) + std::to_string(rd()));
        fsys::create_directories(dir_);
        path_ = (dir_ / "valdrin.conf").string();
        ASSERT_EQ(kelcfg_init(path_.c_str()), 0);
    }
    void TearDown() override {
        std::error_code ec;
        fsys::remove_all(dir_, ec);
    }
    void write(const std::string &text) {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out << text;
    }
    fsys::path dir_;
    std::string path_;
};

TEST_F(ConfigStore, MissingKeyGivesTheDefault) {
    write("[HTTP]\nHTTPEnabled=true\n");
    char buf[32] = "junk";
    EXPECT_EQ(kelcfg_recup_E("HTTP", "HTTPPort", buf, sizeof buf, "3128"), 0);
    EXPECT_STREQ(buf, "3128");
    EXPECT_EQ(kelcfg_recup("HTTP", "HTTPPort", buf, sizeof buf), -1);
    EXPECT_STREQ(buf, "");
}

TEST_F(ConfigStore, MissingFileIsNoFailure) {
    char buf[32];
    EXPECT_EQ(kelcfg_recup_E("HTTP", "HTTPPort", buf, sizeof buf, "3128"), 0);
    EXPECT_STREQ(buf, "3128");
}

TEST_F(ConfigStore, EmptyValueGivesMinusOneWithEmptyBuffer) {
    write("[Main]\nLogFile=\n");
    char buf[32] = "junk";
    EXPECT_EQ(kelcfg_recup_E("Main", "LogFile", buf, sizeof buf, "log.txt"), -1);
    EXPECT_STREQ(buf, "");
}

TEST_F(ConfigStore, LongValueIsCutToSizeMinusOne) {
    const std::string value = "123456789012345678901234567890";
    write("[S]\nK=" + value + "\n");
    char buf[21];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(kelcfg_recup("S", "K", buf, 20), 0);
    EXPECT_EQ(std::string(buf), value.substr(0, 19));
    EXPECT_EQ(buf[20], 'x');
}

TEST_F(ConfigStore, NamesMatchWithoutRegardToCase) {
    write("[HTTP]\nHTTPPort=8080\n");
    char buf[16];
    EXPECT_EQ(kelcfg_recup("http", "httpport", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "8080");
}

TEST_F(ConfigStore, PlacedValueIsReadBack) {
    char buf[16];
    EXPECT_EQ(kelcfg_place("HTTP", "HTTPPort", "3129"), 0);
    EXPECT_EQ(kelcfg_recup("HTTP", "HTTPPort", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "3129");
    EXPECT_EQ(kelcfg_place("HTTP", "HTTPPort", nullptr), 0);
    EXPECT_EQ(kelcfg_recup_E("HTTP", "HTTPPort", buf, sizeof buf, "d"), 0);
    EXPECT_STREQ(buf, "d");
    EXPECT_EQ(kelcfg_place("HTTP", "A", "1"), 0);
    EXPECT_EQ(kelcfg_place("HTTP", nullptr, nullptr), 0);
    EXPECT_EQ(kelcfg_recup("HTTP", "A", buf, sizeof buf), -1);
}

TEST_F(ConfigStore, ReadOnlyFileFailsThePlace) {
    write("[S]\nK=v\n");
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    EXPECT_EQ(kelcfg_place("S", "K", "w"), -1);
    char buf[8];
    EXPECT_EQ(kelcfg_recup("S", "K", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "v");
}

TEST_F(ConfigStore, EmptyPathMeansNotInitialised) {
    ASSERT_EQ(kelcfg_init(""), 0);
    char buf[8] = "keep";
    CaptureStderr();
    EXPECT_EQ(kelcfg_recup_E("S", "K", buf, sizeof buf, "d"), -1);
    EXPECT_EQ(kelcfg_recup("S", "K", buf, sizeof buf), -1);
    EXPECT_EQ(kelcfg_place("S", "K", "v"), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_STREQ(buf, "keep");
    const std::string line = "ERROR: Library kelConfig not initialized\nkelconfig line ";
    EXPECT_EQ(err.find(line), 0u) << err;
    size_t n = 0;
    for (size_t at = 0; (at = err.find(line, at)) != std::string::npos; ++at) ++n;
    EXPECT_EQ(n, 3u);
    EXPECT_FALSE(fsys::exists(path_));
}

TEST_F(ConfigStore, TooLongPathIsRefusedAndTheOldOneKept) {
    write("[S]\nK=old\n");
    const std::string long_path(1024, 'p');
    CaptureStderr();
    EXPECT_EQ(kelcfg_init(long_path.c_str()), -1);
    EXPECT_EQ(kelcfg_init(nullptr), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.find("ERROR: kelconfig line "), 0u) << err;
    char buf[8];
    EXPECT_EQ(kelcfg_recup("S", "K", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "old");
    const std::string longest(1023, 'p');
    EXPECT_EQ(kelcfg_init(longest.c_str()), 0);
}

TEST_F(ConfigStore, NullArgumentsAreRefusedNotFollowed) {
    char buf[8] = "keep";
    CaptureStderr();
    EXPECT_EQ(kelcfg_recup(nullptr, "K", buf, sizeof buf), -1);
    EXPECT_EQ(kelcfg_recup("S", nullptr, buf, sizeof buf), -1);
    EXPECT_EQ(kelcfg_recup("S", "K", nullptr, 8), -1);
    EXPECT_EQ(kelcfg_place(nullptr, "K", "v"), -1);
    EXPECT_NE(GetCapturedStderr().find("ERROR: kelconfig line "), std::string::npos);
    EXPECT_EQ(kelcfg_recup("S", "K", buf, 0), -1);
    EXPECT_STREQ(buf, "keep");
}

TEST_F(ConfigStore, PathIsHandedBackWhenItFits) {
    char buf[1024];
    EXPECT_EQ(kelcfg_recup_chemin(buf, sizeof buf), static_cast<int32_t>(path_.size()));
    EXPECT_EQ(buf, path_);
    std::vector<char> exact(path_.size() + 1);
    EXPECT_EQ(kelcfg_recup_chemin(exact.data(), static_cast<int32_t>(exact.size())), static_cast<int32_t>(path_.size()));
    std::vector<char> short_by_one(path_.size(), 'x');
    EXPECT_EQ(kelcfg_recup_chemin(short_by_one.data(), static_cast<int32_t>(short_by_one.size())), -1);
    EXPECT_EQ(short_by_one[0], '\0');
    CaptureStderr();
    EXPECT_EQ(kelcfg_recup_chemin(nullptr, 8), -1);
    EXPECT_EQ(kelcfg_recup_chemin(buf, 0), -1);
    EXPECT_NE(GetCapturedStderr().find("ERROR: kelconfig line "), std::string::npos);
}

}  // namespace
