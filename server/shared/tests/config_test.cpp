// The configuration snapshot: one read of the file, every key from the key
// table, every problem named with its file, line and key, and nothing
// half-built.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "config.h"
#include "config_keys.h"

namespace kel::server {
namespace {

namespace fs = std::filesystem;

class Folder {
public:
    Folder() {
        std::random_device random;
        path_ = fs::temp_directory_path() / ("valdrin_config_test_" + std::to_string(random()));
        fs::create_directories(path_);
        previous_ = fs::current_path();
        fs::current_path(path_);
    }
    ~Folder() {
        fs::current_path(previous_);
        std::error_code ignored;
        fs::permissions(path_, fs::perms::owner_all, ignored);
        fs::remove_all(path_, ignored);
    }
    std::string write(const std::string &name, const std::string &bytes) const {
        std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << bytes;
        return (path_ / name).string();
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
    fs::path previous_;
};

std::string all(const std::vector<ConfigProblem> &problems) {
    std::string text;
    for (const ConfigProblem &p : problems) text += p.message() + "\n";
    return text;
}

TEST(ConfigText, EmptyFileGivesTheKeyTablesDefaults) {
    std::vector<ConfigProblem> problems;
    const Config c = parse_config_text("", "valdrin.conf", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
    EXPECT_EQ(c.main.log_file, "log.txt");
    EXPECT_EQ(c.main.err_file, "err.txt");
    EXPECT_EQ(c.main.access_log, "access.log");
    EXPECT_FALSE(c.main.verbose);
    EXPECT_FALSE(c.http.enabled);
    EXPECT_EQ(c.http.port, 3128);
    EXPECT_TRUE(c.http.listen.empty());
    EXPECT_EQ(c.http.limits, Limits{});
    EXPECT_EQ(c.http.limits.max_clients, 8000);
    EXPECT_EQ(c.socks.port, 1080);
    EXPECT_EQ(c.dns.server1, "0.0.0.0");
    EXPECT_FALSE(c.rdr.enabled);
}

TEST(ConfigText, ReadsEverySectionTheDaemonServesAndTheServicesToCome) {
    std::vector<ConfigProblem> problems;
    const Config c = parse_config_text(
        "[main]\r\nlogfile = my.log\r\nAllowedHost3=10.*\r\nAllowedHost0=192.168.1.0/24\r\nAllowedHost1=\r\n"
        "AccessLog=\r\nVerbose=Yes\r\n"
        "[HTTP]\r\nHTTPEnabled=true\r\nHTTPPort=0\r\nHTTPListen=127.0.0.1, ::1\r\nHTTPSecure=TRUE\r\n"
        "AdHostsEnabled=y\r\nAdListFile2=b.txt\r\nAdListFile0=a.txt\r\nHTTPMaxClients=0\r\n"
        "[Socks]\r\nSocksEnabled=true\r\nSocksPort=1081\r\nSocksAccount0=bob<none>\r\n"
        "[DNS]\r\nDNSEnabled=true\r\nDNSServer2=9.9.9.9\r\n[RDR]\r\nRDRBinding0=8080 -> 80 10.0.0.2\r\n",
        "valdrin.conf", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
    EXPECT_EQ(c.main.log_file, "my.log");
    EXPECT_EQ(c.main.allowed_hosts, (std::vector<std::string>{"192.168.1.0/24", "10.*"}));
    EXPECT_EQ(c.main.access_log, "") << "present and empty turns the log off";
    EXPECT_TRUE(c.main.verbose);
    EXPECT_TRUE(c.http.enabled);
    EXPECT_EQ(c.http.port, 0) << "0 asks the system for a port";
    EXPECT_EQ(c.http.listen, (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_TRUE(c.http.secure);
    EXPECT_TRUE(c.http.ad_hosts_enabled);
    EXPECT_EQ(c.http.ad_list_files, (std::vector<std::string>{"a.txt", "b.txt"}));
    EXPECT_EQ(c.http.ad_list_keys, (std::vector<std::string>{"AdListFile0", "AdListFile2"}));
    EXPECT_EQ(c.http.limits.max_clients, 0);
    EXPECT_TRUE(c.socks.enabled);
    EXPECT_EQ(c.socks.port, 1081);
    EXPECT_EQ(c.socks.accounts, (std::vector<SocksAccount>{{"bob", ""}}));
    EXPECT_EQ(c.socks.listen, c.http.listen) << "SocksListen defaults to HTTPListen";
    EXPECT_TRUE(c.dns.enabled);
    EXPECT_EQ(c.dns.server2, "9.9.9.9");
    ASSERT_EQ(c.rdr.bindings.size(), 1u);
    EXPECT_EQ(c.rdr.bindings[0], (Redirection{8080, 80, "10.0.0.2", "RDRBinding0"}));
}

TEST(ConfigText, TheDnsProxysKeysHaveTheirDefaultsAndRefuseBadValues) {
    std::vector<ConfigProblem> problems;
    Config c = parse_config_text("[HTTP]\nHTTPListen=192.168.1.2\n[DNS]\nDNSEnabled=true\n", "valdrin.conf", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
    EXPECT_EQ(c.dns.port, 53);
    EXPECT_EQ(c.dns.listen, c.http.listen) << "DNSListen defaults to HTTPListen";
    EXPECT_EQ(c.dns.cache_size, 10000);
    EXPECT_TRUE(c.dns.block);
    EXPECT_EQ(c.dns.hosts_file, "/etc/hosts");
    EXPECT_EQ(c.dns.client_rate, 1000);

    c = parse_config_text("[DNS]\nDNSServer1=[2001:db8::1]:5353\nDNSBlock=no\nDNSHostsFile=\nDNSCacheSize=0\nDNSClientRate=0\n",
                          "valdrin.conf", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
    EXPECT_FALSE(c.dns.block);
    EXPECT_EQ(c.dns.hosts_file, "");
    EXPECT_EQ(c.dns.cache_size, 0);
    EXPECT_EQ(c.dns.client_rate, 0);

    parse_config_text(
        "[DNS]\n"                    // 1
        "DNSServer1=dns.example\n"   // 2
        "DNSServer2=192.0.2.1:0\n"   // 3
        "DNSPort=70000\n"            // 4
        "DNSCacheSize=-1\n"          // 5
        "DNSListen=everywhere\n"     // 6
        "DNSClientRate=fast\n",      // 7
        "valdrin.conf", &problems);
    ASSERT_EQ(problems.size(), 6u) << all(problems);
    EXPECT_EQ(problems[0].message(),
              "valdrin.conf:2: invalid DNSServer1 'dns.example' in section DNS: an IPv4 or IPv6 address is expected, "
              "with an optional :port (0.0.0.0: unset)");
    EXPECT_EQ(problems[1].line, 3u);
    EXPECT_EQ(problems[2].line, 4u);
    EXPECT_EQ(problems[3].line, 6u);  // DNSListen is read before DNSCacheSize
    EXPECT_EQ(problems[4].line, 5u);
    EXPECT_EQ(problems[5].message(),
              "valdrin.conf:7: invalid DNSClientRate 'fast' in section DNS: a count from 0 to 2000000 is expected");
}

TEST(ConfigText, NameServersTakeAnOptionalPort) {
    auto text_of = [](std::string_view s) -> std::string {
        const auto parsed = parse_name_server(s);
        return parsed ? kel::net::host_text(parsed->first) + " " + std::to_string(parsed->second) : "none";
    };
    EXPECT_EQ(text_of("192.0.2.1"), "192.0.2.1 53");
    EXPECT_EQ(text_of("192.0.2.1:5353"), "192.0.2.1 5353");
    EXPECT_EQ(text_of("2001:db8::1"), "[2001:db8::1] 53");
    EXPECT_EQ(text_of("[2001:db8::1]:853"), "[2001:db8::1] 853");
    EXPECT_EQ(text_of("::ffff:192.0.2.1"), "192.0.2.1 53");
    EXPECT_EQ(text_of("2001:db8::1:53"), "[2001:db8::1:53] 53") << "an address, not a port: brackets say which";
    for (const char *bad : {"", "192.0.2.1:", "192.0.2.1:0", "192.0.2.1:65536", "192.0.2.1:53x", "[192.0.2.1]:53x",
                            "host:53", "[2001:db8::1]:123456", "2001:db8::1]:53"})
        EXPECT_EQ(text_of(bad), "none") << bad;
}

TEST(ConfigText, TheDnsPortMayNotBeAnotherEnabledServicesPort) {
    std::vector<ConfigProblem> problems;
    parse_config_text("[HTTP]\nHTTPEnabled=true\nHTTPPort=53\n[DNS]\nDNSEnabled=true\n", "valdrin.conf", &problems);
    ASSERT_EQ(problems.size(), 1u) << all(problems);
    EXPECT_NE(problems[0].text.find("DNSPort in section DNS and HTTPPort in section HTTP both use port 53"),
              std::string::npos)
        << problems[0].text;
}

TEST(ConfigText, EveryBadValueIsNamedWithItsFileLineAndKey) {
    std::vector<ConfigProblem> problems;
    parse_config_text(
        "[HTTP]\n"                       // 1
        "HTTPPort=70000\n"               // 2
        "; a comment\n"                  // 3
        "HTTPListen=127.0.0.1, 300.1.1.1\n"  // 4
        "HTTPIdleTimeout=soon\n"         // 5
        "HTTPMaxWaiting=2000001\n",      // 6
        "/etc/valdrin/valdrin.conf", &problems);
    ASSERT_EQ(problems.size(), 4u) << all(problems);
    EXPECT_EQ(problems[0].message(),
              "/etc/valdrin/valdrin.conf:2: invalid HTTPPort '70000' in section HTTP: a port from 1 to 65535 is "
              "expected (0: any free port)");
    EXPECT_EQ(problems[1].line, 4u);
    EXPECT_NE(problems[1].text.find("invalid address '300.1.1.1' in HTTPListen in section HTTP"), std::string::npos);
    EXPECT_EQ(problems[2].line, 5u);
    EXPECT_NE(problems[2].text.find("invalid HTTPIdleTimeout 'soon' in section HTTP"), std::string::npos);
    EXPECT_EQ(problems[3].line, 6u);
    EXPECT_NE(problems[3].text.find("HTTPMaxWaiting"), std::string::npos);
}

TEST(ConfigText, TheFirstOfRepeatedKeysIsTheOneReadAndNamed) {
    std::vector<ConfigProblem> problems;
    const Config c = parse_config_text("[HTTP]\nHTTPPort=x\nHTTPPort=8080\n", "f", &problems);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_EQ(problems[0].line, 2u);
}

TEST(ConfigText, ServiceValuesAreCheckedAndNamedByLine) {
    std::vector<ConfigProblem> problems;
    parse_config_text(
        "[Socks]\n"                              // 1
        "SocksEnabled=true\n"                    // 2
        "SocksPort=none\n"                       // 3
        "SocksListen=::1 nowhere\n"              // 4
        "SocksAccount0=bob\n"                    // 5
        "SocksAccount1=eve0123456789012345678901234567890123456789Z\n"  // 6
        "[RDR]\nRDRBinding0=8080 -> 80 a\nRDRBinding1=8080 -> 81 b\n",  // 7-9
        "f", &problems);
    ASSERT_EQ(problems.size(), 5u) << all(problems);
    EXPECT_EQ(problems[0].message(),
              "f:3: invalid SocksPort 'none' in section Socks: a port from 1 to 65535 is expected (0: any free port)");
    EXPECT_EQ(problems[1].line, 4u);
    EXPECT_NE(problems[1].text.find("'nowhere' in SocksListen in section Socks"), std::string::npos);
    EXPECT_EQ(problems[2].line, 5u);
    EXPECT_EQ(problems[3].line, 6u);
    EXPECT_EQ(problems[4].line, 9u);
    EXPECT_NE(problems[4].text.find("RDRBinding1 and RDRBinding0 in section RDR both redirect port 8080"),
              std::string::npos);
}

TEST(ConfigText, TwoEnabledServicesOnOnePortStopTheStartNamingBoth) {
    std::vector<ConfigProblem> problems;
    parse_config_text("[HTTP]\nHTTPEnabled=true\nHTTPPort=3128\n[Socks]\nSocksEnabled=true\nSocksPort=3128\n"
                      "[RDR]\nRDREnabled=true\nRDRBinding0=1080 -> 80 x\n",
                      "f", &problems);
    ASSERT_EQ(problems.size(), 1u) << all(problems);
    EXPECT_NE(problems[0].text.find("SocksPort in section Socks and HTTPPort in section HTTP both use port 3128"),
              std::string::npos);
    // The redirection of 1080 meets the SOCKS port only when both run.
    problems.clear();
    parse_config_text("[Socks]\nSocksEnabled=true\n[RDR]\nRDREnabled=true\nRDRBinding0=1080 -> 80 x\n", "f", &problems);
    ASSERT_EQ(problems.size(), 1u) << all(problems);
    EXPECT_NE(problems[0].text.find("RDRBinding0 in section RDR and SocksPort"), std::string::npos);
    problems.clear();
    parse_config_text("[Socks]\nSocksEnabled=false\n[RDR]\nRDREnabled=true\nRDRBinding0=1080 -> 80 x\n", "f", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
    // Disjoint addresses may share a port.
    parse_config_text("[HTTP]\nHTTPEnabled=true\nHTTPPort=80\nHTTPListen=127.0.0.1\n[RDR]\nRDREnabled=true\n"
                      "RDRListen=127.0.0.2\nRDRBinding0=80 -> 8080 x\n",
                      "f", &problems);
    EXPECT_TRUE(problems.empty()) << all(problems);
}

TEST(SocksAccounts, SplitAsTheWizardStoresThem) {
    const std::string digest(40, 'A');
    EXPECT_EQ(parse_socks_account("bob<none>"), (SocksAccount{"bob", ""}));
    EXPECT_EQ(parse_socks_account("bob" + digest), (SocksAccount{"bob", digest}));
    // A one-character user and a 40-digit hash; lower-case digits are read as upper.
    EXPECT_EQ(parse_socks_account("x" + std::string(40, 'f')), (SocksAccount{"x", std::string(40, 'F')}));
    // Blanks are part of the name.
    EXPECT_EQ(parse_socks_account(" b <none>"), (SocksAccount{" b ", ""}));
    EXPECT_FALSE(parse_socks_account("<none>")) << "no user";
    EXPECT_FALSE(parse_socks_account("bob"));
    EXPECT_FALSE(parse_socks_account(std::string(40, 'A'))) << "40 characters are neither form";
    EXPECT_FALSE(parse_socks_account("bob" + std::string(39, 'A') + "G"));
}

TEST(Redirections, ReadAsTheWizardReadsThemAndSkipWhatItSkips) {
    std::string why;
    auto r = parse_redirection("8080 -> 80 10.0.0.2", &why);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->port, 8080);
    EXPECT_EQ(r->dest_port, 80);
    EXPECT_EQ(r->host, "10.0.0.2");
    for (const char *lenient : {"8080->80 10.0.0.2", "8080 80 10.0.0.2", "  8080 -->> 80   10.0.0.2  "}) {
        r = parse_redirection(lenient, &why);
        ASSERT_TRUE(r) << lenient;
        EXPECT_EQ(r->port, 8080) << lenient;
        EXPECT_EQ(r->dest_port, 80) << lenient;
        EXPECT_EQ(r->host, "10.0.0.2") << lenient;
    }
    r = parse_redirection("00080 -> 80 x", &why);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->port, 80);
    // A host may begin with a digit.
    r = parse_redirection("1 -> 2 3com.example", &why);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->host, "3com.example");
    for (const char *skipped : {"0 -> 80 x", "8080 -> 70000 x", "65536 -> 80 x", "x -> 80 y", "8080 -> 0 x", "8080 -> 80",
                                "8080 -> 80   ", "99999999999999999999 -> 80 x"}) {
        why.clear();
        EXPECT_FALSE(parse_redirection(skipped, &why)) << skipped;
        EXPECT_FALSE(why.empty()) << skipped;
    }
}

TEST(ConfigText, SkippedBindingsAreSaidAndTheOthersKept) {
    std::vector<ConfigProblem> problems;
    testing::internal::CaptureStdout();
    const Config c = parse_config_text("[RDR]\nRDREnabled=true\nRDRBinding0=0 -> 80 x\nRDRBinding1=9000 -> 90 y\n", "f",
                                       &problems);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(problems.empty()) << all(problems);
    ASSERT_EQ(c.rdr.bindings.size(), 1u);
    EXPECT_EQ(c.rdr.bindings[0].key, "RDRBinding1");
    EXPECT_NE(out.find("RDRBinding0 '0 -> 80 x' in section RDR skipped"), std::string::npos) << out;
}

TEST(KeyTable, FindsKeysAndFamilyMembersWithoutRegardToCase) {
    using valdrin::keys::find_key;
    ASSERT_NE(find_key("http", "httpport"), nullptr);
    EXPECT_EQ(find_key("HTTP", "HTTPPort")->fallback, "3128");
    ASSERT_NE(find_key("Main", "AllowedHost0"), nullptr);
    EXPECT_EQ(find_key("Main", "AllowedHost200")->name, "AllowedHost");
    EXPECT_EQ(find_key("Main", "AllowedHost201"), nullptr) << "the daemon reads 0 to 200, as the wizard writes";
    EXPECT_EQ(find_key("Main", "AllowedHost01"), nullptr) << "no leading zeros";
    EXPECT_EQ(find_key("Main", "AllowedHost"), nullptr);
    EXPECT_EQ(find_key("Main", "AllowedHostx"), nullptr);
    EXPECT_NE(find_key("Socks", "SocksAccount200"), nullptr);
    EXPECT_EQ(find_key("Socks", "SocksAccount201"), nullptr);
    EXPECT_EQ(find_key("HTTP", "LogFile"), nullptr) << "a key belongs to its section";
    // Compared by value: GCC's sanitizers reject a constant pointer test against null.
    static_assert(valdrin::keys::find_key("HTTP", "HTTPMaxClients")->fallback == "8000", "usable at compile time");
}

TEST(KeyTable, EveryDefaultParsesAsItsOwnGrammarSays) {
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        const std::string value(key.fallback);
        switch (key.grammar) {
            case valdrin::keys::Grammar::kPort:
                EXPECT_TRUE(parse_listen_port(value.c_str()).has_value()) << key.name;
                break;
            case valdrin::keys::Grammar::kCount:
                EXPECT_TRUE(parse_count_setting(value.c_str()).has_value()) << key.name;
                break;
            case valdrin::keys::Grammar::kBoolean:
                // Written out, so that --help and the documentation say it plainly.
                EXPECT_TRUE(value.empty() || value == "false" || value == "true") << key.name;
                EXPECT_EQ(is_true_setting(value.c_str()), value == "true") << key.name;
                break;
            default:
                break;
        }
        EXPECT_FALSE(key.help.empty()) << key.name;
    }
}

// One value checked as start-up would read it, for the wizard's editors:
// the daemon's own words, and nothing for what it takes.
TEST(OneSetting, RefusedValuesGetTheWordsStartUpWouldSay) {
    const struct {
        const char *section, *name, *value, *words;
    } refused[] = {
        {"HTTP", "HTTPPort", "65536", "invalid HTTPPort '65536' in section HTTP: a port from 1 to 65535 is expected"},
        {"Socks", "SocksPort", "", "invalid SocksPort '' in section Socks"},
        {"DNS", "DNSPort", "fifty-three", "invalid DNSPort 'fifty-three'"},
        {"HTTP", "HTTPListen", "127.0.0.1, lan", "invalid address 'lan' in HTTPListen in section HTTP"},
        {"RDR", "RDRListen", "10.0.0.300", "invalid address '10.0.0.300' in RDRListen"},
        {"HTTP", "HTTPMaxClients", "2000001", "invalid HTTPMaxClients '2000001' in section HTTP: a whole number"},
        {"HTTP", "HTTPIdleTimeout", "15 min", "invalid HTTPIdleTimeout '15 min'"},
        {"DNS", "DNSCacheSize", "-1", "invalid DNSCacheSize '-1' in section DNS"},
        {"DNS", "DNSServer2", "dns.lan", "invalid DNSServer2 'dns.lan' in section DNS"},
        {"Socks", "SocksAccount3", "bob", "invalid SocksAccount3 'bob' in section Socks"},
        {"RDR", "RDRBinding0", "8080 -> 80", "RDRBinding0 '8080 -> 80' in section RDR skipped: no destination host"},
        {"RDR", "RDRBinding7", "0 -> 80 web", "skipped: the listened port must be from 1 to 65535"},
        {"Main", "AllowedHost150", "192.168.1.300", "allow-list entry '192.168.1.300' skipped: not an address"},
        {"Main", "AllowedHost0", "10.*.1x", "skipped: a pattern is made of dotted numbers"},
        {"Main", "AllowedHost0", "10.0.0.0/33", "skipped: the length of a prefix"},
        {"Main", "AllowedHost0", "10.0.0.1/8", "skipped: the address of a prefix has bits set"},
        {"Main", "AllowedHost0", "fd00::zz", "skipped: an IPv6 entry is an address"},
        {"Main", "AllowedHost0", "300.1.1.1", "skipped: not an address"},
        {"Main", "AllowedHost0", "two words", "skipped: not an address"},
        {"Main", "AllowedHost0", "", "skipped: the entry is empty"},
        {"Main", "AllowedHost201", "10.0.0.1", "the daemon reads no such key"},
        {"HTTP", "HTTPPort", "80\n[Main]", "a value is one line"},
    };
    for (const auto &r : refused) {
        const auto words = setting_refusal(r.section, r.name, r.value, "/nonexistent");
        ASSERT_TRUE(words.has_value()) << r.name << "=" << r.value;
        EXPECT_NE(words->find(r.words), std::string::npos) << *words;
    }
    const std::string long_entry(256, 'a');
    EXPECT_TRUE(setting_refusal("Main", "AllowedHost1", long_entry, "/").has_value());
    EXPECT_TRUE(setting_refusal("Main", "LogFile", std::string(1024, 'f'), "/").has_value());

    const struct {
        const char *section, *name, *value;
    } taken[] = {
        {"HTTP", "HTTPPort", "3128"},         {"HTTP", "httpport", " 8080"},       {"Socks", "SocksPort", "0"},
        {"HTTP", "HTTPListen", ""},           {"HTTP", "HTTPListen", "127.0.0.1, [::1] fe80::1%lo"},
        {"HTTP", "HTTPMaxWaiting", "0"},      {"DNS", "DNSClientRate", "2000000"}, {"DNS", "DNSServer1", "0.0.0.0"},
        {"DNS", "DNSServer1", "[2001:db8::1]:5353"},                              {"DNS", "DNSBlock", "whatever"},
        {"Socks", "SocksAccount0", "bob<none>"}, {"RDR", "RDRBinding200", "8080 -> 80 web.lan"},
        {"Main", "AllowedHost200", "192.168.*"}, {"Main", "AllowedHost0", "fd00::/8"},
        {"Main", "AllowedHost0", "printer-2.lan"}, {"Main", "AllowedHost0", "10.1.2.3"},
        {"Main", "AccessLog", ""},            {"Main", "LogFile", "/var/log/valdrin/log.txt"},
        {"DNS", "DNSHostsFile", "/nonexistent/hosts"},
    };
    for (const auto &t : taken) {
        const auto words = setting_refusal(t.section, t.name, t.value, "/nonexistent");
        EXPECT_FALSE(words.has_value()) << t.name << "=" << t.value << ": " << words.value_or("");
    }
}

TEST(OneSetting, ListFilesMustBeReadableFromTheFolderOfTheFiles) {
    Folder folder;
    folder.write("easylist.txt", "||ads.example^\n");
    EXPECT_FALSE(setting_refusal("HTTP", "AdListFile0", "easylist.txt", folder.path().string()).has_value());
    EXPECT_FALSE(setting_refusal("HTTP", "AdListFile99", (folder.path() / "easylist.txt").string(), "/").has_value());
    EXPECT_FALSE(setting_refusal("HTTP", "AdListFile3", "", "/").has_value());
    const auto missing = setting_refusal("HTTP", "AdListFile2", "missing.txt", folder.path().string());
    ASSERT_TRUE(missing.has_value());
    EXPECT_NE(missing->find("AdListFile2 'missing.txt' in section HTTP cannot be read: "), std::string::npos) << *missing;
    EXPECT_NE(missing->find("No such file"), std::string::npos) << *missing;
    // The wizard's folder is not the daemon's current one: the name is taken
    // from the folder given, not from where the caller runs.
    EXPECT_TRUE(setting_refusal("HTTP", "AdListFile0", "easylist.txt", "/nonexistent").has_value());
    EXPECT_TRUE(setting_refusal("HTTP", "AdListFile100", "easylist.txt", folder.path().string()).has_value());
}

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.write("valdrin.sys", "GIF89a");
        folder_.write("adhosts", "ads.test\n.tracker.test\n");
    }
    std::shared_ptr<const Config> load(const std::string &ini) {
        problems_.clear();
        return load_config(folder_.write("valdrin.conf", ini), &problems_);
    }
    Folder folder_;
    std::vector<ConfigProblem> problems_;
};

TEST_F(Snapshot, BuildsTheListsImageAndAllowListTheSettingsImply) {
    testing::internal::CaptureStdout();
    const auto c = load("[Main]\nAllowedHost0=10.1.*\nAccessLog=\n[HTTP]\nAdHostsEnabled=true\n");
    testing::internal::GetCapturedStdout();
    ASSERT_NE(c, nullptr) << all(problems_);
    ASSERT_NE(c->image, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(c->image->bytes), c->image->length), "GIF89a");
    ASSERT_NE(c->blocked, nullptr);
    EXPECT_TRUE(c->blocked->blocks("ads.test"));
    EXPECT_TRUE(c->blocked->blocks("x.tracker.test"));
    EXPECT_TRUE(allows(c->allowed, net::ipv4_address(net::addr_from_octets(10, 1, 9, 9))));
    EXPECT_TRUE(allows(c->allowed, net::ipv4_address(net::addr_from_octets(127, 0, 0, 1))));
    EXPECT_FALSE(allows(c->allowed, net::ipv4_address(net::addr_from_octets(10, 2, 0, 1))));
    EXPECT_GT(c->generation, 0u);
    const auto again = load("[Main]\nAccessLog=\n");
    ASSERT_NE(again, nullptr);
    EXPECT_GT(again->generation, c->generation);
    EXPECT_FALSE(again->blocked->blocks("ads.test")) << "AdHostsEnabled off: nothing is blocked";
}

TEST_F(Snapshot, AFileThatCannotBeReadIsAProblemNotTheDefaults) {
    EXPECT_EQ(load_config((folder_.path() / "absent.conf").string(), &problems_), nullptr);
    ASSERT_EQ(problems_.size(), 1u);
    EXPECT_EQ(problems_[0].message(),
              (folder_.path() / "absent.conf").string() + ": cannot be read (2: No such file or directory)");
    if (::geteuid() != 0) {
        const std::string file = folder_.write("locked.conf", "[HTTP]\n");
        ::chmod(file.c_str(), 0);
        problems_.clear();
        EXPECT_EQ(load_config(file, &problems_), nullptr);
        EXPECT_NE(all(problems_).find("Permission denied"), std::string::npos) << all(problems_);
    }
    // A folder in the file's place cannot be read either, even by root.
    fs::create_directories(folder_.path() / "dir.conf");
    problems_.clear();
    EXPECT_EQ(load_config((folder_.path() / "dir.conf").string(), &problems_), nullptr);
    ASSERT_EQ(problems_.size(), 1u);
    EXPECT_NE(problems_[0].text.find("cannot be read ("), std::string::npos) << all(problems_);
}

TEST_F(Snapshot, FilesItNamesAreProblemsNamingTheirKeyAndLine) {
    fs::remove(folder_.path() / "adhosts");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("[Main]\nAccessLog=/no/such/folder/access.log\n[HTTP]\nAdHostsEnabled=true\n"), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Unable to open adhosts file\n"), std::string::npos);
    const std::string text = all(problems_);
    EXPECT_NE(text.find(":2: AccessLog '/no/such/folder/access.log' in section Main cannot be written"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find(":4: adhosts cannot be read (AdHostsEnabled is true in section HTTP)"), std::string::npos)
        << text;

    folder_.write("adhosts", "ads.test\n");
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("[Main]\nAccessLog=\n[HTTP]\nAdHostsEnabled=true\nAdListFile0=\nAdListFile1=gone.txt\n"), nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(problems_.size(), 1u) << all(problems_);
    EXPECT_EQ(problems_[0].line, 6u);
    EXPECT_NE(problems_[0].text.find("AdListFile1 'gone.txt' in section HTTP cannot be read: open() of \"gone.txt\""),
              std::string::npos)
        << all(problems_);
}

// Reading the file checks the access log without creating it: a check run
// as root must leave no file that the daemon's own user cannot write.
TEST_F(Snapshot, TheAccessLogIsCheckedWithoutBeingCreated) {
    testing::internal::CaptureStdout();
    EXPECT_NE(load("[Main]\nAccessLog=fresh.log\n"), nullptr) << all(problems_);
    EXPECT_FALSE(fs::exists(folder_.path() / "fresh.log"));
    fs::create_directory(folder_.path() / "a-folder");
    EXPECT_EQ(load("[Main]\nAccessLog=a-folder\n"), nullptr);
    EXPECT_NE(all(problems_).find("AccessLog 'a-folder' in section Main cannot be written"), std::string::npos)
        << all(problems_);
    folder_.write("kept.log", "an earlier line\n");
    EXPECT_NE(load("[Main]\nAccessLog=kept.log\n"), nullptr) << all(problems_);
    testing::internal::GetCapturedStdout();
    std::ifstream kept(folder_.path() / "kept.log");
    std::string line;
    std::getline(kept, line);
    EXPECT_EQ(line, "an earlier line");
}

TEST_F(Snapshot, AMissingImageIsAProblem) {
    fs::remove(folder_.path() / "valdrin.sys");
    testing::internal::CaptureStderr();
    EXPECT_EQ(load("[Main]\nAccessLog=\n"), nullptr);
    testing::internal::GetCapturedStderr();
    EXPECT_NE(all(problems_).find("valdrin.sys: the image sent for blocked hosts cannot be read"), std::string::npos)
        << all(problems_);
}

TEST_F(Snapshot, EveryProblemIsReportedAtOnce) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(load("[Main]\nAccessLog=\n[HTTP]\nHTTPPort=abc\nAdHostsEnabled=true\nAdListFile0=gone.txt\n"), nullptr);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(problems_.size(), 2u) << all(problems_);
    EXPECT_EQ(problems_[0].line, 4u);
    EXPECT_EQ(problems_[1].line, 6u);
}

TEST(Publication, ReadersHoldTheSnapshotTheyTookWhileAnotherIsPublished) {
    auto first = std::make_shared<Config>();
    first->main.log_file = "first";
    publish_config(first);
    const auto held = current_config();
    first.reset();
    auto second = std::make_shared<Config>();
    second->main.log_file = "second";
    publish_config(second);
    EXPECT_EQ(held->main.log_file, "first");
    EXPECT_EQ(current_config()->main.log_file, "second");
    publish_config(nullptr);
    EXPECT_EQ(current_config(), nullptr);
}

}  // namespace
}  // namespace kel::server
