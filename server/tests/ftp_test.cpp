#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "kelhttpe.h"
#include "loopback_servers.h"
#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

class FtpThroughHttp : public ::testing::Test {
protected:
    static void SetUpTestSuite() { curl_global_init(CURL_GLOBAL_NOTHING); }
    static void TearDownTestSuite() { curl_global_cleanup(); }
    void SetUp() override {
        curl_ = curl_easy_init();
        ASSERT_NE(curl_, nullptr);
    }
    void TearDown() override {
        if (curl_ != nullptr) curl_easy_cleanup(curl_);
    }

    // Runs one GET of the URL and returns every byte the client received.
    std::string fetch(const std::string &url, int32_t *result = nullptr) {
        std::string request = "GET " + url + " HTTP/1.1\r\nHost: files\r\n\r\n";
        kelHttpEntete *che = kelHttpE_cree_str(request.c_str(), KEL_HE_REQUETE);
        EXPECT_NE(che, nullptr);
        if (che == nullptr) return {};
        SocketPair pair;
        int32_t r = http_traite_get_ftp(pair.proxy_side(), che, curl_);
        if (result != nullptr) *result = r;
        kelHttpE_detruit(&che);
        // The control connection ends with the handle, as on a connection thread.
        curl_easy_cleanup(curl_);
        curl_ = nullptr;
        return pair.read_all_from_proxy();
    }

    static std::string local_url(uint16_t port, const std::string &path) {
        return "ftp://127.0.0.1:" + std::to_string(port) + path;
    }

    CURL *curl_ = nullptr;
};

bool is_page(const std::string &reply, const std::string &status_line, const std::string &heading) {
    return reply.rfind(status_line + "\r\n", 0) == 0 &&
           reply.find("<H1>" + heading + "</H1>") != std::string::npos;
}

TEST_F(FtpThroughHttp, StreamsTheFileBehindTheFixedHeader) {
    MiniFtpServer server({false, true, "first line\nsecond line\n"});
    int32_t result = -9;
    std::string reply = fetch(local_url(server.port(), "/notes.txt"), &result);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(reply, std::string(kFtpReplyHeader) + "first line\nsecond line\n");
}

TEST_F(FtpThroughHttp, EmptyFileGetsTheHeaderAndAnEmptyBody) {
    MiniFtpServer server({false, true, ""});
    EXPECT_EQ(fetch(local_url(server.port(), "/empty.bin")), kFtpReplyHeader);
}

TEST_F(FtpThroughHttp, RefusedLoginGetsTheInternalErrorPage) {
    MiniFtpServer server({true, true, "secret"});
    std::string reply = fetch(local_url(server.port(), "/notes.txt"));
    EXPECT_TRUE(is_page(reply, "HTTP/1.1 500 Internal Server Error", "Error")) << reply;
    EXPECT_EQ(reply.find("secret"), std::string::npos);
}

TEST_F(FtpThroughHttp, MissingFileGetsTheInternalErrorPage) {
    MiniFtpServer server({false, false, ""});
    std::string reply = fetch(local_url(server.port(), "/nothing-here.txt"));
    EXPECT_TRUE(is_page(reply, "HTTP/1.1 500 Internal Server Error", "Error")) << reply;
}

TEST_F(FtpThroughHttp, UnresolvableHostGetsTheResolvePage) {
    std::string reply = fetch("ftp://" + std::string(70, 'x') + ".invalid/file.txt");
    EXPECT_TRUE(is_page(reply, "HTTP/1.1 503 Service Unavailable", "Failed to resolve")) << reply;
}

TEST_F(FtpThroughHttp, ClosedPortGetsTheConnectionRefusedPage) {
    std::string reply = fetch(local_url(closed_port(), "/file.txt"));
    EXPECT_TRUE(is_page(reply, "HTTP/1.1 503 Service Unavailable", "Connection refused")) << reply;
}

TEST_F(FtpThroughHttp, IgnoresProxiesFromTheEnvironment) {
    std::string dead_proxy = "http://127.0.0.1:" + std::to_string(closed_port());
    for (const char *name : {"ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"}) {
        setenv(name, dead_proxy.c_str(), 1);
    }
    MiniFtpServer server({false, true, "direct"});
    std::string reply = fetch(local_url(server.port(), "/f.txt"));
    for (const char *name : {"ftp_proxy", "FTP_PROXY", "all_proxy", "ALL_PROXY"}) unsetenv(name);
    EXPECT_EQ(reply, std::string(kFtpReplyHeader) + "direct");
}

}  // namespace
}  // namespace kel::server::test
