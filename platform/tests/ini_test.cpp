#include "kelplat/ini.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fsys = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::random_device rd;
        path_ = fsys::temp_directory_path() /
                ("ini_test_" + std::to_string(rd()) + std::to_string(rd()));
        fsys::create_directories(path_);
    }
    ~TempDir() {
        std::error_code ec;
        fsys::permissions(path_, fsys::perms::owner_all, fsys::perm_options::add, ec);
        fsys::remove_all(path_, ec);
    }
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    const fsys::path &path() const { return path_; }

private:
    fsys::path path_;
};

void write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string read(const std::string &path, const char *section, const char *key,
                 const char *def = "", std::size_t size = 128) {
    std::vector<char> buf(size + 1, '#');
    const std::size_t n = kel::ini::ini_read(path.c_str(), section, key, def, buf.data(), size);
    EXPECT_EQ(n, std::strlen(buf.data()));
    return buf.data();
}

TEST(IniStore, FindsSectionsAndKeysWithoutRegardToCase) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[HTTP]\nHTTPPort=8080\n[Main]\nLogFile=log.txt\n");
    EXPECT_EQ(read(f, "http", "httpport"), "8080");
    EXPECT_EQ(read(f, "HTTP", "HTTPPORT"), "8080");
    EXPECT_EQ(read(f, "mAIN", "logfile"), "log.txt");
    EXPECT_EQ(read(f, "Main", "HTTPPort", "none"), "none");
}

TEST(IniStore, GivesTheDefaultForMissingFileSectionOrKey) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    EXPECT_EQ(read(f, "HTTP", "HTTPPort", "3128"), "3128");
    EXPECT_FALSE(fsys::exists(f));
    write_text(f, "[HTTP]\nOther=1\n");
    EXPECT_EQ(read(f, "HTTP", "HTTPPort", "3128"), "3128");
    EXPECT_EQ(read(f, "DNS", "HTTPPort", "3128"), "3128");
    EXPECT_EQ(read(f, "HTTP", "HTTPPort", nullptr), "");
    // A folder in place of the file reads like a missing file.
    EXPECT_EQ(read(dir.path().string(), "HTTP", "HTTPPort", "d"), "d");
}

TEST(IniStore, PresentEmptyValueIsNotTheDefault) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[Main]\nLogFile=\n");
    EXPECT_EQ(read(f, "Main", "LogFile", "log.txt"), "");
}

TEST(IniStore, CutsValueAtSizeMinusOne) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    const std::string value = "abcdefghijklmnopqrstuvwxyz0123";
    write_text(f, "[S]\nK=" + value + "\n");
    EXPECT_EQ(read(f, "S", "K", "", 20), value.substr(0, 19));
    EXPECT_EQ(read(f, "S", "K", "", 31), value);
    EXPECT_EQ(read(f, "S", "K", "", 30), value.substr(0, 29));
    EXPECT_EQ(read(f, "S", "K", "", 1), "");
    EXPECT_EQ(read(f, "S", "missing", "0123456789", 5), "0123");
    char untouched[2] = {'x', 'y'};
    EXPECT_EQ(kel::ini::ini_read(f.c_str(), "S", "K", "", untouched, 0), 0u);
    EXPECT_EQ(untouched[0], 'x');
}

TEST(IniStore, CreatesFileSectionAndKey) {
    TempDir dir;
    const auto f = dir.file("new.conf");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "HTTP", "HTTPPort", "3128"));
    EXPECT_EQ(read_text(f), "[HTTP]\nHTTPPort=3128\n");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "http", "HTTPEnabled", "true"));
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "Main", "LogFile", "log.txt"));
    EXPECT_EQ(read_text(f), "[HTTP]\nHTTPPort=3128\nHTTPEnabled=true\n\n[Main]\nLogFile=log.txt\n");
    EXPECT_EQ(read(f, "HTTP", "httpenabled"), "true");
}

TEST(IniStore, ReplacesValueKeepingEveryOtherLine) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    const std::string before =
        "; settings\n"
        "[Main]\n"
        "# a comment\n"
        "LogFile = old.txt\n"
        "Unknown=keep me\n"
        "\n"
        "[HTTP]\n"
        "HTTPPort=3128\n"
        "; trailing comment\n";
    write_text(f, before);
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "main", "logfile", "new.txt"));
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "Main", "Added", "1"));
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "HTTP", "HTTPSecure", "false"));
    EXPECT_EQ(read_text(f),
              "; settings\n"
              "[Main]\n"
              "# a comment\n"
              "LogFile = new.txt\n"
              "Unknown=keep me\n"
              "Added=1\n"
              "\n"
              "[HTTP]\n"
              "HTTPPort=3128\n"
              "HTTPSecure=false\n"
              "; trailing comment\n");
}

TEST(IniStore, KeepsCrlfLineEndsAndAFileWithoutFinalLineEnd) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[Main]\r\nLogFile=a\r\nErrFile=b");
    EXPECT_EQ(read(f, "Main", "LogFile"), "a");
    EXPECT_EQ(read(f, "Main", "ErrFile"), "b");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "Main", "LogFile", "c"));
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "Main", "Verbose", "true"));
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "DNS", "DNSEnabled", "false"));
    EXPECT_EQ(
        read_text(f),
        "[Main]\r\nLogFile=c\r\nErrFile=b\r\nVerbose=true\r\n\r\n[DNS]\r\nDNSEnabled=false\r\n");
}

TEST(IniStore, NullValueDeletesKeyAndNullKeyDeletesSection) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[Main]\nA=1\nB=2\n[RDR]\nRDRBinding0=8080 -> 80 x\n; rdr note\n[DNS]\nD=3\n");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "MAIN", "a", nullptr));
    EXPECT_EQ(read(f, "Main", "A", "gone"), "gone");
    EXPECT_EQ(read(f, "Main", "B"), "2");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "rdr", nullptr, nullptr));
    EXPECT_EQ(read_text(f), "[Main]\nB=2\n[DNS]\nD=3\n");
    // Removing what is not there succeeds and does not create a file.
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "Main", "Absent", nullptr));
    const auto g = dir.file("none.conf");
    ASSERT_TRUE(kel::ini::ini_write(g.c_str(), "Main", "Absent", nullptr));
    EXPECT_FALSE(fsys::exists(g));
}

TEST(IniStore, IgnoresKeysBeforeTheFirstSection) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "K=outside\n[S]\nL=inside\n");
    EXPECT_EQ(read(f, "S", "K", "def"), "def");
    EXPECT_EQ(read(f, "", "K", "def"), "def");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "K", "in"));
    EXPECT_EQ(read_text(f), "K=outside\n[S]\nL=inside\nK=in\n");
}

TEST(IniStore, ValueKeepsEqualsSignsAndLosesSurroundingBlanksAndQuotes) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[S]\n  A = x=y=z  \nB=\"quoted value\"\nC='q'\nD=\"half\n\tE\t=\t\n");
    EXPECT_EQ(read(f, "S", "A"), "x=y=z");
    EXPECT_EQ(read(f, "S", "B"), "quoted value");
    EXPECT_EQ(read(f, "S", "C"), "q");
    EXPECT_EQ(read(f, "S", "D"), "\"half");
    EXPECT_EQ(read(f, "S", "E", "def"), "");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "F", "a=b"));
    EXPECT_EQ(read(f, "S", "F"), "a=b");
}

TEST(IniStore, FirstOfDuplicateKeysWins) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[S]\nK=first\nk=second\n[s]\nK=third\nM=later\n");
    EXPECT_EQ(read(f, "S", "K"), "first");
    // A key found only in a later section of the same name is found there.
    EXPECT_EQ(read(f, "S", "M"), "later");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "K", "new"));
    EXPECT_EQ(read(f, "S", "K"), "new");
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "K", nullptr));
    EXPECT_EQ(read(f, "S", "K", "gone"), "gone");
}

TEST(IniStore, RefusesNamesAndValuesTheFormatCannotHold) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[S]\nK=v\n");
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), "S", "K", "two\nlines"));
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), "S", "a=b", "v"));
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), "S]", "K", "v"));
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), "S", "", "v"));
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), nullptr, "K", "v"));
    EXPECT_EQ(read_text(f), "[S]\nK=v\n");
}

TEST(IniStore, ReplacementKeepsPermissionsAndLeavesNoTemporaryFile) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0640), 0);
    struct stat before;
    ASSERT_EQ(::stat(f.c_str(), &before), 0);
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "K", "w"));
    struct stat after;
    ASSERT_EQ(::stat(f.c_str(), &after), 0);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_NE(after.st_ino, before.st_ino) << "rewritten in place, not replaced";
    std::vector<std::string> names;
    for (const auto &e : fsys::directory_iterator(dir.path())) names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"v.conf"});
}

TEST(IniStore, WriteThroughSymbolicLinkKeepsTheLink) {
    TempDir dir;
    const auto target = dir.file("real.conf");
    const auto link = dir.file("link.conf");
    write_text(target, "[S]\nK=v\n");
    fsys::create_symlink(target, link);
    ASSERT_TRUE(kel::ini::ini_write(link.c_str(), "S", "K", "w"));
    EXPECT_TRUE(fsys::is_symlink(link));
    EXPECT_EQ(read_text(target), "[S]\nK=w\n");
}

TEST(IniStore, ReadOnlyFileRefusesWrite) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    write_text(f, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0444), 0);
    EXPECT_FALSE(kel::ini::ini_write(f.c_str(), "S", "K", "w"));
    auto doc = kel::ini::load(f.c_str());
    ASSERT_TRUE(doc.has_value());
    ASSERT_TRUE(doc->set("S", "K", "w"));
    EXPECT_FALSE(kel::ini::save(f.c_str(), *doc));
    EXPECT_EQ(read_text(f), "[S]\nK=v\n");
}

TEST(IniStore, WriteIntoReadOnlyFolderFailsAndLeavesTheFileIntact) {
    TempDir dir;
    const auto folder = dir.path() / "ro";
    fsys::create_directory(folder);
    const std::string f = (folder / "v.conf").string();
    write_text(f, "[S]\nK=v\n");
    ASSERT_EQ(::chmod(f.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    // Root writes anywhere, so the write runs as an unprivileged user in a
    // child process when the suite runs as root.
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
        const bool ok = kel::ini::ini_write(f.c_str(), "S", "K", "w");
        ::_exit(ok ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the write succeeded, 3: could not drop root";
    EXPECT_EQ(read_text(f), "[S]\nK=v\n");
    EXPECT_EQ(std::distance(fsys::directory_iterator(folder), fsys::directory_iterator()), 1);
}

TEST(IniStore, ReaderSeesTheOldOrTheNewFileWhole) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    const std::string a(2000, 'a'), b(3000, 'b');
    ASSERT_TRUE(kel::ini::ini_write(f.c_str(), "S", "K", a.c_str()));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i)
            kel::ini::ini_write(f.c_str(), "S", "K", (i % 2 == 0 ? b : a).c_str());
        done = true;
    });
    int reads = 0, torn = 0;
    while ((!done || reads < 10) && reads < 100000) {
        const std::string v = read(f, "S", "K", "", 4096);
        if (v != a && v != b) ++torn;
        ++reads;
    }
    writer.join();
    EXPECT_EQ(torn, 0) << "of " << reads << " reads";
}

TEST(IniStore, ConcurrentWritersLoseNoKey) {
    TempDir dir;
    const auto f = dir.file("v.conf");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                const std::string key = "K" + std::to_string(t) + "_" + std::to_string(i);
                kel::ini::ini_write(f.c_str(), "S", key.c_str(), key.c_str());
            }
        });
    }
    for (auto &th : threads) th.join();
    EXPECT_EQ(kel::ini::ini_keys(f.c_str(), "s").size(), 80u);
}

TEST(IniDocument, ListsSectionsAndKeysOnce) {
    auto doc = kel::ini::Document::parse("x=1\n[A]\nk1=1\n;c=2\nK1=3\n[b]\nk2=\n[a]\nk3=4\n");
    EXPECT_EQ(doc.sections(), (std::vector<std::string>{"A", "b"}));
    EXPECT_EQ(doc.keys("a"), (std::vector<std::string>{"k1", "k3"}));
    EXPECT_EQ(doc.keys("none"), std::vector<std::string>{});
    EXPECT_EQ(doc.get("B", "K2"), std::optional<std::string>(""));
    EXPECT_EQ(doc.get("B", "K9"), std::nullopt);
}

TEST(IniDocument, UnchangedTextRoundTripsByteForByte) {
    const std::string text = "\xEF\xBB\xBF[Main]\r\n  ; c\r\nA = 1 \r\n\r\n#x\nB=2";
    auto doc = kel::ini::Document::parse(text);
    EXPECT_EQ(doc.serialize(), text);
    EXPECT_EQ(doc.get("main", "a"), std::optional<std::string>("1"));
    EXPECT_EQ(doc.line_end(), "\r\n");
}

}  // namespace
