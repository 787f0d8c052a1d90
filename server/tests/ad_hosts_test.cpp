#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "test_support.h"
#include "valdrin_internal.h"

namespace kel::server::test {
namespace {

TEST(LabelHash, WeighsEachByteByItsPosition) {
    EXPECT_EQ(hash_calcule("", 0), 0u);
    EXPECT_EQ(hash_calcule("a", 1), 0u);
    EXPECT_EQ(hash_calcule("ab", 2), 98u);         // 1 * 'b'
    EXPECT_EQ(hash_calcule("abc", 3), 296u);       // 1 * 98 + 2 * 99
    EXPECT_EQ(hash_calcule("\xff\xff", 2), 255u);  // bytes are unsigned
}

TEST(LabelHash, FirstCharacterDoesNotCount) {
    EXPECT_EQ(hash_calcule("xads.test", 9), hash_calcule("yads.test", 9));
    EXPECT_NE(hash_calcule("ads.test", 8), hash_calcule("ads.tesu", 8));
}

TEST(LabelHash, WrapsInThirtyTwoBits) {
    // 2^32 / 255 positions with 0xFF overflow: sum i*255 for i < 300000.
    std::string label(300000, '\xff');
    uint64_t exact = 0;
    for (uint64_t i = 0; i < label.size(); ++i) exact += i * 255u;
    EXPECT_EQ(hash_calcule(label.data(), static_cast<uint32_t>(label.size())),
              static_cast<uint32_t>(exact & 0xFFFFFFFFu));
}

class HashTable : public ::testing::Test {
protected:
    void TearDown() override { hash_detruit(table_); }
    hash_base_donnees_t *table_ = hash_cree(1);  // one bucket: everything chains
};

TEST_F(HashTable, ChainKeepsEveryLabelOfOneBucket) {
    for (const char *label : {"a.test", "b.test", "c.test"}) {
        EXPECT_EQ(hash_ajoute(table_, label, nullptr, 0), 0);
    }
    for (const char *label : {"a.test", "b.test", "c.test"}) {
        EXPECT_EQ(recherche(table_, label, nullptr, nullptr), 0) << label;
    }
    EXPECT_EQ(recherche(table_, "d.test", nullptr, nullptr), -1);
    EXPECT_EQ(recherche(table_, "A.test", nullptr, nullptr), -1);
}

TEST_F(HashTable, LookUpHandsBackDataOrClearsTheOutputs) {
    char *data = static_cast<char *>(std::malloc(4));
    std::memcpy(data, "abc", 4);
    hash_ajoute(table_, "k", data, 3);
    void *out = nullptr;
    int32_t out2 = 0;
    ASSERT_EQ(recherche(table_, "k", &out, &out2), 0);
    EXPECT_EQ(out, data);
    EXPECT_EQ(out2, 3);
    EXPECT_EQ(recherche(table_, "missing", &out, &out2), -1);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(out2, 0);
}

TEST_F(HashTable, ReplacingALabelReleasesItsOldData) {
    // Under the leak checker an unreleased block fails the run.
    hash_ajoute(table_, "k", std::malloc(16), 16);
    hash_ajoute(table_, "other", std::malloc(8), 8);
    void *second = std::malloc(32);
    hash_ajoute(table_, "k", second, 32);
    void *out = nullptr;
    int32_t out2 = 0;
    ASSERT_EQ(recherche(table_, "k", &out, &out2), 0);
    EXPECT_EQ(out, second);
    EXPECT_EQ(out2, 32);
    // Storing the same block again keeps it alive.
    hash_ajoute(table_, "k", second, 33);
    ASSERT_EQ(recherche(table_, "k", &out, &out2), 0);
    EXPECT_EQ(out, second);
    EXPECT_EQ(out2, 33);
}

TEST_F(HashTable, EmptyLabelIsNeverListed) {
    EXPECT_EQ(recherche(table_, "", nullptr, nullptr), -1);
    EXPECT_EQ(hash_ajoute(table_, "", nullptr, 0), -1);
    EXPECT_EQ(recherche(table_, "", nullptr, nullptr), -1);
    hash_ajoute(table_, "a.test", nullptr, 0);
    EXPECT_EQ(recherche(table_, "", nullptr, nullptr), -1);
}

TEST_F(HashTable, OverlongLabelIsNotFound) {
    std::string label(300, 'a');
    EXPECT_EQ(recherche(table_, label.c_str(), nullptr, nullptr), -1);
}

class AdHosts : public ::testing::Test {
protected:
    void SetUp() override {
        reset_ad_hosts_for_tests();
        folder_.enter();
    }
    void TearDown() override { reset_ad_hosts_for_tests(); }
    // Loads the file with the setting on; returns the result and the standard output.
    std::pair<int32_t, std::string> load(const std::string &file_bytes,
                                         const std::string &setting = "true") {
        use_configuration(folder_, "[HTTP]\nAdHostsEnabled=" + setting + "\n");
        folder_.write("adhosts", file_bytes);
        ::testing::internal::CaptureStdout();
        int32_t result = valdrin_host_mask_init();
        return {result, ::testing::internal::GetCapturedStdout()};
    }
    TempFolder folder_;
};

TEST_F(AdHosts, CrLfFileListsEachName) {
    auto [count, out] = load("ads.test\r\nbanner.test\r\ntrack.test\r\n");
    EXPECT_EQ(count, 3);
    EXPECT_EQ(out, "3 ad-domains loaded.\n3 exact hosts, 0 domains, 0 exceptions, 0 rules skipped from adhosts, "
                   "0.0 MiB\n");
    for (const char *name : {"ads.test", "banner.test", "track.test"}) {
        EXPECT_EQ(valdrin_host_mask_contient(name), 1) << name;
    }
    EXPECT_EQ(valdrin_host_mask_contient("ads.test\r"), 0);
}

TEST_F(AdHosts, LfFileAndMissingLastLineEnd) {
    auto [count, out] = load("ads.test\nbanner.test");
    EXPECT_EQ(count, 2);
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 1);
    EXPECT_EQ(valdrin_host_mask_contient("banner.test"), 1);
}

TEST_F(AdHosts, BareNameIsExactWhateverItsCaseOrTrailingDot) {
    load("ads.test\n");
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 1);
    EXPECT_EQ(valdrin_host_mask_contient("ADS.test"), 1);
    EXPECT_EQ(valdrin_host_mask_contient("ads.test."), 1);
    EXPECT_EQ(valdrin_host_mask_contient("www.ads.test"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ads.tes"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("bds.test"), 0);  // same hash, other label
}

TEST_F(AdHosts, DotOrStarNameIsTheDomainAndEverySubdomain) {
    auto [count, out] = load(".tracker.test\n*.ads.test\n");
    EXPECT_EQ(count, 2);
    EXPECT_NE(out.find("0 exact hosts, 2 domains, 0 exceptions, 0 rules skipped from adhosts"), std::string::npos)
        << out;
    for (const char *name : {"tracker.test", "a.tracker.test", "b.c.TRACKER.test", "ads.test", "x.ads.test"})
        EXPECT_EQ(valdrin_host_mask_contient(name), 1) << name;
    for (const char *name : {"badstracker.test", "tracker.test.org", "test"})
        EXPECT_EQ(valdrin_host_mask_contient(name), 0) << name;
}

TEST_F(AdHosts, EmptyLinesCountButNeverMatch) {
    auto [count, out] = load("\nads.test\n\r\n\n");
    EXPECT_EQ(count, 4);
    EXPECT_EQ(out.rfind("4 ad-domains loaded.\n1 exact hosts, ", 0), 0u) << out;
    EXPECT_EQ(valdrin_host_mask_contient(""), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 1);
}

TEST_F(AdHosts, DuplicateIsCountedTwiceStoredOnce) {
    auto [count, out] = load("ads.test\nads.test\n");
    EXPECT_EQ(count, 2);
    ASSERT_NE(current_config(), nullptr);
    ASSERT_NE(current_config()->blocked, nullptr);
    EXPECT_EQ(current_config()->blocked->exact_count(), 1u);
}

TEST_F(AdHosts, EmptyFileLoadsNothing) {
    auto [count, out] = load("");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(out.rfind("0 ad-domains loaded.\n0 exact hosts, ", 0), 0u) << out;
    EXPECT_EQ(valdrin_host_mask_contient(""), 0);
}

TEST_F(AdHosts, SettingOffLeavesTheFileUnread) {
    use_configuration(folder_, "[HTTP]\nHTTPEnabled=true\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(valdrin_host_mask_init(), 0);  // no adhosts file exists here
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(valdrin_host_mask_contient(""), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 0);
}

TEST_F(AdHosts, MissingFileWithSettingOnFailsStartUp) {
    use_configuration(folder_, "[HTTP]\nAdHostsEnabled=yes\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(valdrin_host_mask_init(), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Unable to open adhosts file\n");
}

class AdLists : public AdHosts {
protected:
    // Loads adhosts and the list files named by AdListFile0, 1, ...
    std::pair<int32_t, std::string> load_lists(const std::string &adhosts, const std::vector<std::string> &names) {
        std::string ini = "[HTTP]\nAdHostsEnabled=true\n";
        for (size_t i = 0; i < names.size(); ++i) ini += "AdListFile" + std::to_string(i * 7) + "=" + names[i] + "\n";
        use_configuration(folder_, ini);
        folder_.write("adhosts", adhosts);
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        int32_t result = valdrin_host_mask_init();
        err_ = ::testing::internal::GetCapturedStderr();
        return {result, ::testing::internal::GetCapturedStdout()};
    }
    std::string err_;
};

TEST_F(AdLists, HostsFileAndAdblockListAddToAdhostsWithExceptionsWinning) {
    folder_.write("hosts", "# a hosts file\n127.0.0.1 localhost\n0.0.0.0 tracker.test ads.test # two\n"
                           ":: v6.ads.test\n");
    TempFolder elsewhere;
    const auto filters = elsewhere.write(
        "filters.txt", "[Adblock Plus 2.0]\n! comment\n||doubleads.test^\n||cdn.test^$third-party\n"
                       "@@||ok.doubleads.test^\n##.banner\n||paths.test/ads/*\n");
    auto [count, out] = load_lists("exact.test\n", {"hosts", filters.string()});
    ASSERT_EQ(count, 1) << err_;
    EXPECT_NE(out.find("3 exact hosts, 0 domains, 0 exceptions, 0 rules skipped from hosts"), std::string::npos) << out;
    EXPECT_NE(out.find("0 exact hosts, 2 domains, 1 exceptions, 2 rules skipped from " + filters.string()),
              std::string::npos)
        << out;
    for (const char *name : {"exact.test", "tracker.test", "v6.ads.test", "doubleads.test", "x.doubleads.test",
                             "img.cdn.test"})
        EXPECT_EQ(valdrin_host_mask_contient(name), 1) << name;
    for (const char *name : {"localhost", "ok.doubleads.test", "a.ok.doubleads.test", "paths.test", "www.tracker.test"})
        EXPECT_EQ(valdrin_host_mask_contient(name), 0) << name;
    const auto config = current_config();
    ASSERT_NE(config, nullptr);
    ASSERT_NE(config->blocked, nullptr);
    EXPECT_EQ(config->blocked->exact_count(), 4u);
    EXPECT_EQ(config->blocked->domain_count(), 2u);
    EXPECT_EQ(config->blocked->exception_count(), 1u);
    EXPECT_GT(config->blocked->memory_bytes(), 0u);
}

TEST_F(AdLists, ListThatCannotBeReadFailsNamingKeyAndFile) {
    auto [count, out] = load_lists("exact.test\n", {"no-such-list.txt"});
    EXPECT_EQ(count, -1);
    EXPECT_NE(err_.find("AdListFile0 'no-such-list.txt' in section HTTP cannot be read: open() of "
                        "\"no-such-list.txt\" failed (2: No such file or directory)"),
              std::string::npos)
        << err_;
}

TEST_F(AdLists, ListFilesAreReadOnlyWhileAdHostsAreOn) {
    use_configuration(folder_, "[HTTP]\nAdHostsEnabled=false\nAdListFile0=missing.txt\n");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(valdrin_host_mask_init(), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    ASSERT_NE(current_config(), nullptr);
    ASSERT_NE(current_config()->blocked, nullptr);
    EXPECT_EQ(current_config()->blocked->exact_count(), 0u);
}

TEST_F(AdHosts, HundredThousandNamesLoadAndAreFound) {
    std::string file;
    file.reserve(100000 * 24);
    for (int i = 0; i < 100000; ++i) file += "host" + std::to_string(i) + ".ads.test\r\n";
    auto [count, out] = load(file);
    EXPECT_EQ(count, 100000);
    EXPECT_EQ(out.rfind("100000 ad-domains loaded.\n100000 exact hosts, ", 0), 0u) << out;
    for (int i = 0; i < 100000; i += 997) {
        std::string name = "host" + std::to_string(i) + ".ads.test";
        EXPECT_EQ(valdrin_host_mask_contient(name.c_str()), 1) << name;
    }
    EXPECT_EQ(valdrin_host_mask_contient("host100000.ads.test"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("host99999.ads.test"), 1);
}

// Names shaped like real ad hosts; many share the chains' label hash.
std::string ad_name(int i) {
    if (i % 2 == 0) {
        return "ads" + std::to_string(i / 2 % 1000) + ".tracker" + std::to_string(i / 2000) +
               ".example.com";
    }
    return std::string(1, static_cast<char>('a' + i % 26)) + std::to_string(i) + ".adserver.net";
}

TEST_F(AdHosts, HundredThousandRealisticNamesAnswerExactly) {
    constexpr int kNames = 100000;
    std::string file;
    file.reserve(kNames * 32);
    for (int i = 0; i < kNames; ++i) file += ad_name(i) + "\n";
    auto [count, out] = load(file);
    ASSERT_EQ(count, kNames);
    for (int i = 0; i < kNames; ++i) {
        const std::string name = ad_name(i);
        ASSERT_EQ(valdrin_host_mask_contient(name.c_str()), 1) << name;
        // Near misses: one more or one less character, another first
        // character (same label hash); another case is the same name.
        std::string longer = name + "m";
        std::string shorter = name.substr(0, name.size() - 1);
        std::string first = name;
        first[0] = first[0] == 'z' ? 'y' : 'z';
        std::string upper = name;
        const bool has_letter = name[1] >= 'a' && name[1] <= 'z';
        if (has_letter) upper[1] = static_cast<char>(upper[1] - 'a' + 'A');
        ASSERT_EQ(valdrin_host_mask_contient(longer.c_str()), 0) << longer;
        ASSERT_EQ(valdrin_host_mask_contient(shorter.c_str()), 0) << shorter;
        ASSERT_EQ(valdrin_host_mask_contient(first.c_str()), 0) << first;
        if (has_letter) {
            ASSERT_EQ(valdrin_host_mask_contient(upper.c_str()), 1) << upper;
        }
    }
}

TEST_F(HashTable, LabelInTwoChainsMatchesOnlyInItsOwnBucket) {
    // A 300-character label is stored cut to 255; a look-up of the cut text
    // finds it only when the cut text falls in the same bucket, as a walk of
    // that chain would.
    hash_base_donnees_t *wide = hash_cree(kAdHostBuckets);
    std::string full(300, 'q');
    ASSERT_EQ(hash_ajoute(wide, full.c_str(), nullptr, 0), 0);
    std::string cut(255, 'q');
    const uint32_t full_bucket = hash_calcule(full.c_str(), 300) % kAdHostBuckets;
    const uint32_t cut_bucket = hash_calcule(cut.c_str(), 255) % kAdHostBuckets;
    ASSERT_NE(full_bucket, cut_bucket);
    EXPECT_EQ(recherche(wide, cut.c_str(), nullptr, nullptr), -1);
    // Stored in its own bucket, the cut text is found.
    ASSERT_EQ(hash_ajoute(wide, cut.c_str(), nullptr, 0), 0);
    EXPECT_EQ(recherche(wide, cut.c_str(), nullptr, nullptr), 0);
    hash_detruit(wide);
}

TEST_F(HashTable, ManyLabelsInOneBucketKeepTheirData) {
    // One bucket: every insertion lands in the same chain, through the index.
    for (int i = 0; i < 2000; ++i) {
        const std::string label = "n" + std::to_string(i) + ".test";
        ASSERT_EQ(hash_ajoute(table_, label.c_str(), nullptr, i), 0);
    }
    ASSERT_EQ(hash_ajoute(table_, "n7.test", nullptr, -7), 0);  // replaced, not added
    int chained = 0;
    for (auto *node = &table_->enregistrement[0]; node->suivant != nullptr; node = node->suivant)
        ++chained;
    EXPECT_EQ(chained, 2000);
    for (int i = 0; i < 2000; ++i) {
        const std::string label = "n" + std::to_string(i) + ".test";
        int32_t data2 = 0;
        ASSERT_EQ(recherche(table_, label.c_str(), nullptr, &data2), 0) << label;
        EXPECT_EQ(data2, i == 7 ? -7 : i);
    }
    EXPECT_EQ(recherche(table_, "n2000.test", nullptr, nullptr), -1);
}

}  // namespace
}  // namespace kel::server::test
