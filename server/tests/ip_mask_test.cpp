#include <gtest/gtest.h>

#include <string>

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

TEST_F(AllowList, MoreThanNinetyNineEntriesSkipTheExtras) {
    std::string lines;
    for (int i = 0; i < 100; ++i) {
        lines += "AllowedHost" + std::to_string(i) + "=10.0." + std::to_string(i) + ".1\n";
    }
    ::testing::internal::CaptureStderr();
    init_with(lines);
    std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(g_ip_mask_nb, kIpMaskSlots);
    EXPECT_TRUE(allowed(127, 0, 0, 1));
    EXPECT_TRUE(allowed(10, 0, 0, 1));
    EXPECT_TRUE(allowed(10, 0, 98, 1));
    EXPECT_FALSE(allowed(10, 0, 99, 1));
    EXPECT_NE(err.find("'10.0.99.1'"), std::string::npos) << err;
    EXPECT_EQ(err.find("'10.0.98.1'"), std::string::npos) << err;
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

}  // namespace
}  // namespace kel::server::test
