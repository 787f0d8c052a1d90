// ftp:// URLs fetched by the proxy and streamed back behind a fixed header.
#include "harness.h"

namespace e2e {
namespace {

const std::string kFtpHeader = "HTTP/1.0 200 Ok\r\nConnection: close\r\n\r\n";

class Ftp : public ProxyTest {
protected:
    void SetUp() override {
        ProxyTest::SetUp();
        root_ = scratch() / "ftproot";
        fs::create_directories(root_ / "sub");
        file_ = pattern_bytes(300'000, 13);
        write_file(root_ / "data.bin", file_);
        write_file(root_ / "empty.bin", "");
        write_file(root_ / "sub" / "inner.txt", "inner\n");
        server_ = std::make_unique<FtpServer>(root_, scratch());
        ASSERT_TRUE(server_->ready()) << server_->log();
        ASSERT_TRUE(start());
    }

    std::string url(const std::string &path) const {
        return "ftp://127.0.0.1:" + std::to_string(server_->port()) + path;
    }
    Reply get(const std::string &path) { return ask("GET " + url(path) + " HTTP/1.1\r\nHost: x\r\n\r\n"); }

    fs::path root_;
    std::string file_;
    std::unique_ptr<FtpServer> server_;
};

TEST_F(Ftp, FileComesBehindTheFixedHeader) {
    Reply reply = get("/data.bin");
    EXPECT_TRUE(reply.closed);
    ASSERT_EQ(reply.bytes.size(), kFtpHeader.size() + file_.size());
    EXPECT_EQ(reply.bytes.substr(0, kFtpHeader.size()), kFtpHeader);
    EXPECT_TRUE(reply.bytes.compare(kFtpHeader.size(), std::string::npos, file_) == 0) << "file bytes differ";
}

TEST_F(Ftp, FileNamedOutsideAsciiIsFetchedByItsRawUtf8Url) {
    write_file(root_ / "caf\xC3\xA9 \xE2\x82\xAC.txt", "accented\n");
    Reply reply = get("/caf\xC3\xA9%20\xE2\x82\xAC.txt");
    EXPECT_EQ(reply.bytes, kFtpHeader + "accented\n");
    EXPECT_TRUE(reply.closed);
}

TEST_F(Ftp, EmptyFileGetsTheHeaderAndAnEmptyBody) {
    Reply reply = get("/empty.bin");
    EXPECT_EQ(reply.bytes, kFtpHeader);
    EXPECT_TRUE(reply.closed);
}

TEST_F(Ftp, UrlEndingInSlashListsTheDirectory) {
    Reply top = get("/");
    ASSERT_EQ(top.bytes.rfind(kFtpHeader, 0), 0u) << top.bytes;
    EXPECT_NE(top.bytes.find("data.bin"), std::string::npos) << top.bytes;
    EXPECT_NE(top.bytes.find("empty.bin"), std::string::npos);
    EXPECT_NE(top.bytes.find("sub"), std::string::npos);

    Reply sub = get("/sub/");
    ASSERT_EQ(sub.bytes.rfind(kFtpHeader, 0), 0u) << sub.bytes;
    EXPECT_NE(sub.bytes.find("inner.txt"), std::string::npos) << sub.bytes;
    EXPECT_EQ(sub.bytes.find("data.bin"), std::string::npos);
}

TEST_F(Ftp, ClientLeavingMidTransferLeavesTheProxyServing) {
    write_file(root_ / "large.bin", pattern_bytes(16 * 1024 * 1024, 17));
    {
        Fd fd = connect_tcp("127.0.0.1", port());
        ASSERT_TRUE(fd.valid());
        Reply start = talk(fd, "GET " + url("/large.bin") + " HTTP/1.1\r\n\r\n", 64 * 1024);
        ASSERT_EQ(start.bytes.rfind(kFtpHeader, 0), 0u);
    }
    Reply reply = get("/data.bin");
    EXPECT_EQ(reply.bytes.size(), kFtpHeader.size() + file_.size());
}

TEST_F(Ftp, MissingFileGets500Page) {
    EXPECT_TRUE(IsErrorPage(get("/no-such-file.bin"), 500, "Internal Server Error", kInternalError));
}

TEST_F(Ftp, UnreachableServerGets503RefusedPage) {
    ClosedPort closed;
    Reply reply = ask("GET ftp://127.0.0.1:" + std::to_string(closed.port()) + "/data.bin HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kConnectionRefused));
}

TEST_F(Ftp, UnresolvableServerGets503ResolvePage) {
    Reply reply = ask("GET ftp://" + unresolvable_name() + "/data.bin HTTP/1.1\r\n\r\n");
    EXPECT_TRUE(IsErrorPage(reply, 503, "Service Unavailable", kResolveFail));
}

TEST_F(Ftp, RealClientFetchesThroughTheProxy) {
    auto result = run_command({"/usr/bin/curl", "-s", "-S", "--max-time", "10", "-o", "got.bin", "-x",
                               "http://127.0.0.1:" + std::to_string(port()), url("/data.bin")},
                              scratch(), 15'000ms);
    ASSERT_TRUE(exited_with(result.status, 0)) << describe_status(result.status) << "\n" << result.err;
    EXPECT_TRUE(read_file(scratch() / "got.bin") == file_) << "file bytes differ";
}

}  // namespace
}  // namespace e2e
