#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

class AllowList : public ::testing::Test {
protected:
    void SetUp() override { reset_ip_mask_for_tests(); }
    void TearDown() override {
        reset_ip_mask_for_tests();
    }
    // Builds the list from AllowedHost lines of section "Main".
    void init_with(const std::string &main_lines) {
        use_configuration(folder_, "[Main]\n" + main_lines + "[HTTP]\nHTTPEnabled=true\n");
        ASSERT_EQ(valdrin_ip_mask_init(), 0);
    }
    TempFolder folder_;
};

bool allowed(unsigned a, unsigned b, unsigned c, unsigned d) {
    return valdrin_ip_mask_valide(ip(a, b, c, d)) == 1;
}

net::IpAddress addr(const char *text) {
    net::IpAddress a;
    EXPECT_TRUE(net::parse_ip(text, &a)) << text;
    return net::unmapped(a);
}

bool client_ok(const char *text) { return client_allowed(addr(text)); }

TEST_F(AllowList, WithoutEntriesOnlyLoopbackIsAllowed) {
    init_with("");
    EXPECT_EQ(g_ip_mask_nb, 1);
    EXPECT_TRUE(allowed(127, 0, 0, 1));
    EXPECT_FALSE(allowed(127, 0, 0, 2));
    EXPECT_FALSE(allowed(192, 168, 1, 1));
    EXPECT_FALSE(allowed(0, 0, 0, 0));
}

TEST_F(AllowList, FourthPartWildcardCoversOneNetwork) {
    init_with("AllowedHost0=192.168.1.*\n");
    EXPECT_TRUE(allowed(192, 168, 1, 0));
    EXPECT_TRUE(allowed(192, 168, 1, 255));
    EXPECT_FALSE(allowed(192, 168, 2, 1));
    EXPECT_FALSE(allowed(193, 168, 1, 1));
}

TEST_F(AllowList, ThirdPartWildcardComparesTwoOctets) {
    init_with("AllowedHost0=172.16.*\n");
    EXPECT_TRUE(allowed(172, 16, 0, 1));
    EXPECT_TRUE(allowed(172, 16, 255, 254));
    EXPECT_FALSE(allowed(172, 17, 0, 1));
}

TEST_F(AllowList, SecondPartWildcardEvenBehindGaps) {
    init_with("AllowedHost5=10.*\n");
    EXPECT_TRUE(allowed(10, 0, 0, 1));
    EXPECT_TRUE(allowed(10, 200, 3, 4));
    EXPECT_FALSE(allowed(11, 0, 0, 1));
}

TEST_F(AllowList, LoneStarAllowsEveryClient) {
    init_with("AllowedHost1=*\n");
    EXPECT_TRUE(allowed(8, 8, 8, 8));
    EXPECT_TRUE(allowed(255, 255, 255, 254));
}

TEST_F(AllowList, ExactAddressAllowsOnlyThatClient) {
    init_with("AllowedHost2=192.168.1.20\n");
    EXPECT_TRUE(allowed(192, 168, 1, 20));
    EXPECT_FALSE(allowed(192, 168, 1, 21));
    EXPECT_FALSE(allowed(192, 168, 1, 19));
}

TEST_F(AllowList, PartsBehindTheStarAreIgnored) {
    init_with("AllowedHost0=10.*.5.6\n");
    EXPECT_TRUE(allowed(10, 9, 9, 9));
    EXPECT_FALSE(allowed(11, 0, 5, 6));
}

TEST_F(AllowList, MalformedPatternsAreSkippedWithTheirName) {
    for (const char *entry : {"10*", "192.168*", "300.*", "abc.*", "10..*", ".*", "1.2.3.4.*",
                              "1.2.3.4*", "*10", "-1.*", " 10.*", "1000.*", "10.*.x"}) {
        reset_ip_mask_for_tests();
        valdrin_ip_mask_ajoute("127.0.0.1");
        ::testing::internal::CaptureStderr();
        int32_t count = valdrin_ip_mask_ajoute(entry);
        std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(count, 1) << entry;
        EXPECT_EQ(g_ip_mask_nb, 1) << entry;
        EXPECT_NE(err.find(std::string("'") + entry + "'"), std::string::npos)
            << entry << " -> " << err;
        // A typo must never open the proxy to foreign clients.
        EXPECT_FALSE(allowed(44, 1, 2, 3)) << entry;
        EXPECT_FALSE(allowed(10, 1, 2, 3)) << entry;
        EXPECT_FALSE(allowed(192, 168, 1, 1)) << entry;
    }
}

TEST_F(AllowList, EmptyEntryIsSkippedWithADiagnostic) {
    valdrin_ip_mask_ajoute("127.0.0.1");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(valdrin_ip_mask_ajoute(""), 1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("''"), std::string::npos);
}

// The contract's arrays hold 100 IPv4 entries; those past them (the wizard
// writes up to 201) go to the prefixes, which the services' check reads too.
TEST_F(AllowList, EntriesPastTheHundredSlotsAreHonouredBesideThem) {
    std::string lines;
    for (int i = 0; i < 200; ++i) {
        lines += "AllowedHost" + std::to_string(i) + "=10.0." + std::to_string(i) + ".1\n";
    }
    lines += "AllowedHost200=10.7.*\n";
    ::testing::internal::CaptureStderr();
    init_with(lines);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_ip_mask_nb, kIpMaskSlots);
    EXPECT_TRUE(allowed(10, 0, 98, 1));
    EXPECT_FALSE(allowed(10, 0, 99, 1)) << "past the contract's slots";
    EXPECT_TRUE(client_ok("10.0.0.1"));
    EXPECT_TRUE(client_ok("10.0.99.1"));
    EXPECT_TRUE(client_ok("10.0.199.1"));
    EXPECT_TRUE(client_ok("10.7.3.4"));
    EXPECT_FALSE(client_ok("10.0.200.1"));
    EXPECT_FALSE(client_ok("10.0.199.2"));
    EXPECT_EQ(err.find("full"), std::string::npos) << err;
}

TEST_F(AllowList, HostNameIsResolvedOnceIntoAnExactEntry) {
    init_with("AllowedHost0=localhost\n");
    ASSERT_EQ(g_ip_mask_nb, 2);
    // Stored as the address it had at start-up: connections never resolve.
    EXPECT_EQ(g_ip_mask_ip[1], ip(127, 0, 0, 1));
    EXPECT_EQ(g_ip_mask_mask[1], 0xFFFFFFFFu);
    EXPECT_TRUE(allowed(127, 0, 0, 1));
    EXPECT_FALSE(allowed(127, 0, 0, 2));
}

TEST_F(AllowList, UnresolvableNameTakesNoSlot) {
    const std::string name = std::string(70, 'x') + ".invalid";
    init_with("AllowedHost0=" + name + "\nAllowedHost1=192.168.5.5\n");
    EXPECT_EQ(g_ip_mask_nb, 2);
    EXPECT_TRUE(allowed(192, 168, 5, 5));
    // The failed look-up must not leave the all-ones "no address" as an entry.
    EXPECT_FALSE(allowed(255, 255, 255, 255));
}

TEST_F(AllowList, LoopbackOfBothFamiliesIsAlwaysAllowed) {
    init_with("");
    EXPECT_TRUE(client_ok("127.0.0.1"));
    EXPECT_TRUE(client_ok("::1"));
    EXPECT_TRUE(client_ok("::ffff:127.0.0.1"));  // a mapped client is the IPv4 one
    EXPECT_FALSE(client_ok("::2"));
    EXPECT_FALSE(client_ok("fe80::1"));
    EXPECT_EQ(g_ip_mask_nb, 1) << "IPv6 entries take no IPv4 slot";
}

TEST_F(AllowList, PrefixesOfBothFamiliesAndIpV6Addresses) {
    init_with("AllowedHost0=192.168.1.0/24\nAllowedHost1=fd00::/8\nAllowedHost2=2001:db8:5::/48\n"
              "AllowedHost3=[2001:db8:9::7]\nAllowedHost4=10.0.0.0/8\n");
    for (const char *in : {"192.168.1.0", "192.168.1.255", "::ffff:192.168.1.9", "fd12:3456::1", "fdff::",
                           "2001:db8:5:ffff::1", "2001:db8:9::7", "10.200.3.4"})
        EXPECT_TRUE(client_ok(in)) << in;
    for (const char *out : {"192.168.2.1", "fc00::1", "fe00::", "2001:db8:6::1", "2001:db8:9::8", "11.0.0.1"})
        EXPECT_FALSE(client_ok(out)) << out;
    // The IPv4 prefixes do not widen the slots valdrin_ip_mask_valide checks.
    EXPECT_FALSE(allowed(192, 168, 1, 9));
    EXPECT_EQ(g_ip_mask_nb, 1);
}

TEST_F(AllowList, MalformedPrefixesAndAddressesAreSkippedNamingThem) {
    ::testing::internal::CaptureStderr();
    init_with("AllowedHost0=192.168.1.5/24\nAllowedHost1=fd00::/129\nAllowedHost2=fd00::zz\n"
              "AllowedHost3=10.0.0.0/x\nAllowedHost4=fd00::/8\n");
    const std::string err = ::testing::internal::GetCapturedStderr();
    for (const char *named : {"'192.168.1.5/24' skipped: the address of a prefix has bits set past its length",
                              "'fd00::/129' skipped", "'fd00::zz' skipped", "'10.0.0.0/x' skipped"})
        EXPECT_NE(err.find(named), std::string::npos) << named << "\n" << err;
    EXPECT_TRUE(client_ok("fd00::1")) << "the good entry after them still counts";
    EXPECT_FALSE(client_ok("192.168.1.5"));
}

bool two_addresses(const char *name, std::vector<net::IpAddress> *out) {
    if (std::string(name) != "dual.lan.test") {
        net::set_last_error(net::kErrHostNotFound);
        return false;
    }
    out->push_back(addr("fd00:1::20"));
    out->push_back(addr("192.168.7.20"));
    out->push_back(addr("192.168.7.21"));
    return true;
}

TEST_F(AllowList, NameAllowsEveryAddressItResolvesTo) {
    const auto previous = net::set_resolver_all(two_addresses);
    init_with("AllowedHost0=dual.lan.test\n");
    net::set_resolver_all(previous);
    EXPECT_TRUE(client_ok("fd00:1::20"));
    EXPECT_TRUE(client_ok("192.168.7.20"));
    EXPECT_TRUE(client_ok("192.168.7.21"));
    EXPECT_FALSE(client_ok("192.168.7.22"));
    ASSERT_EQ(g_ip_mask_nb, 2) << "the name still takes its IPv4 slot";
    EXPECT_EQ(g_ip_mask_ip[1], ip(192, 168, 7, 20)) << "its first IPv4 address";
}

TEST_F(AllowList, ReloadSwapsThePrefixesToo) {
    auto with = [](const char *entry) {
        auto config = std::make_shared<Config>();
        config->allowed = build_allow_list({entry});
        return config;
    };
    install_config(with("fd00::/8"));
    EXPECT_TRUE(client_ok("fd00::1"));
    install_config(with("2001:db8::/32"));
    EXPECT_FALSE(client_ok("fd00::1"));
    EXPECT_TRUE(client_ok("2001:db8::1"));
    EXPECT_TRUE(client_ok("::1"));
}

}  // namespace
}  // namespace kel::server::test
