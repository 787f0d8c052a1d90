#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "kelplat/process.h"
#include "test_support.h"
#include "valdrin_http.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

TEST(HttpPort, TakesTheLeadingDigits) {
    EXPECT_EQ(parse_http_port("3128"), 3128);
    EXPECT_EQ(parse_http_port("8080abc"), 8080);
    EXPECT_EQ(parse_http_port("1"), 1);
    EXPECT_EQ(parse_http_port("65535"), 65535);
    EXPECT_EQ(parse_http_port(" 80"), 80);
    EXPECT_EQ(parse_http_port("00080"), 80);
}

TEST(HttpPort, RefusesWhatIsNoPort) {
    for (const char *text : {"", "abc", "0", "00", "70000", "65536", "-80", "99999999999999999999",
                             "4294967376"}) {
        EXPECT_EQ(parse_http_port(text), std::nullopt) << text;
    }
    EXPECT_EQ(parse_http_port(nullptr), std::nullopt);
}

TEST(ListenPort, TakesZeroAsAnyFreePortAndRefusesTheRestAsHttpPortDoes) {
    EXPECT_EQ(parse_listen_port("0"), 0);
    EXPECT_EQ(parse_listen_port(" 00"), 0);
    EXPECT_EQ(parse_listen_port("3128"), 3128);
    for (const char *text : {"", "abc", "70000", "65536", "-80", "4294967376"})
        EXPECT_EQ(parse_listen_port(text), std::nullopt) << text;
}

TEST(WaitingCap, StaysWithinWhatTheDescriptorLimitLeaves) {
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(waiting_within_descriptors(20000, 8000, 65536), 20000);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ::testing::internal::CaptureStdout();
    // 65,536 less two descriptors for each of 30,000 at work, less 64 spare.
    EXPECT_EQ(waiting_within_descriptors(20000, 30000, 65536), 5472);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "HTTPMaxWaiting 20000 lowered to 5472: the open-file limit of 65536 leaves no more beside "
              "HTTPMaxClients 30000\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(waiting_within_descriptors(0, 8000, 1024), 1);  // no room at all: one still may wait
    EXPECT_NE(::testing::internal::GetCapturedStdout().find("HTTPMaxWaiting 0 (no limit) lowered to 1"),
              std::string::npos);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(waiting_within_descriptors(100, 0, 1024), 100);  // no cap on work: 960 left
    EXPECT_EQ(waiting_within_descriptors(0, 0, UINT64_MAX), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

class StartUp : public ::testing::Test {
protected:
    void SetUp() override { previous_ = std::filesystem::current_path(); }
    void TearDown() override { std::filesystem::current_path(previous_); }
    // Runs the entry point and returns its result with what it wrote.
    int32_t start(const std::string &ini, std::string *out, std::string *err) {
        use_configuration(folder_, ini);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int32_t result = demarre_serveur_http();
        *err = ::testing::internal::GetCapturedStderr();
        *out = ::testing::internal::GetCapturedStdout();
        return result;
    }
    TempFolder folder_;
    std::filesystem::path previous_;
};

TEST_F(StartUp, DisabledProxyDoesNothingAndSaysNothing) {
    for (const char *ini : {"[HTTP]\nHTTPPort=3128\n", "[HTTP]\nHTTPEnabled=1\n",
                            "[HTTP]\nHTTPEnabled=on\n", "[HTTP]\nHTTPEnabled=false\n"}) {
        std::string out, err;
        EXPECT_EQ(start(ini, &out, &err), 0) << ini;
        EXPECT_EQ(out, "") << ini;
        EXPECT_EQ(err, "") << ini;
        EXPECT_EQ(valdrin_http_etat(), 0);
    }
}

TEST_F(StartUp, PortOutOfRangeFailsNamingTheValue) {
    for (const char *value : {"abc", "70000", "-1", ""}) {
        std::string out, err;
        std::string ini = std::string("[HTTP]\nHTTPEnabled=yes\nHTTPPort=") + value + "\n";
        EXPECT_EQ(start(ini, &out, &err), -1) << value;
        EXPECT_NE(err.find(std::string("'") + value + "'"), std::string::npos) << err;
        EXPECT_EQ(out, "") << value;
        EXPECT_EQ(valdrin_http_etat(), 0);
    }
}

TEST_F(StartUp, MakesTheProgramFolderTheCurrentDirectory) {
    std::string out, err;
    // It fails later, for want of an image.
    start("[HTTP]\nHTTPEnabled=True\n", &out, &err);
    // The test program's own folder, whatever its file name's length.
    std::filesystem::path here = std::filesystem::path(kel::process::executable_folder());
    EXPECT_EQ(std::filesystem::current_path(), here);
}

TEST_F(StartUp, MissingImageFailsWithoutAServerThread) {
    // Nothing beside the test program is called valdrin.sys.
    std::string out, err;
    ASSERT_FALSE(std::filesystem::exists(
        std::filesystem::path(kel::process::executable_folder()) / "valdrin.sys"));
    EXPECT_EQ(start("[HTTP]\nHTTPEnabled=Y\nHTTPPort=8080abc\n", &out, &err), -1);
    EXPECT_NE(err.find("valdrin.sys"), std::string::npos) << err;
    EXPECT_EQ(valdrin_http_etat(), 0);
    EXPECT_EQ(out.find("starts"), std::string::npos);
}

class ReplacementImage : public ::testing::Test {
protected:
    TempFolder folder_;
};

TEST_F(ReplacementImage, LongFileIsCutToTheLimit) {
    std::string bytes(2000000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 + 3);
    auto path = folder_.write("big.sys", bytes);
    ASSERT_EQ(load_replacement_image(path.c_str()), 0);
    ASSERT_EQ(g_http_gif_remplace_lng, 1024000);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g_http_gif_remplace), 1024000),
              bytes.substr(0, 1024000));
}

TEST_F(ReplacementImage, SmallFileIsKeptWhole) {
    const std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00", 13);
    auto path = folder_.write("small.sys", gif);
    ASSERT_EQ(load_replacement_image(path.c_str()), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(g_http_gif_remplace), g_http_gif_remplace_lng),
              gif);
}

TEST_F(ReplacementImage, EmptyOrMissingFileFails) {
    auto path = folder_.write("empty.sys", "");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load_replacement_image(path.c_str()), -1);
    EXPECT_EQ(load_replacement_image((folder_.path() / "absent.sys").c_str()), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace kel::server::test
