#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

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
    EXPECT_EQ(out, "3 ad-domains loaded.\n");
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

TEST_F(AdHosts, OnlyTheExactNameIsListed) {
    load("ads.test\n");
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 1);
    EXPECT_EQ(valdrin_host_mask_contient("www.ads.test"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ADS.test"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ads.tes"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("bds.test"), 0);  // same hash, other label
}

TEST_F(AdHosts, EmptyLinesCountButNeverMatch) {
    auto [count, out] = load("\nads.test\n\r\n\n");
    EXPECT_EQ(count, 4);
    EXPECT_EQ(out, "4 ad-domains loaded.\n");
    EXPECT_EQ(valdrin_host_mask_contient(""), 0);
    EXPECT_EQ(valdrin_host_mask_contient("ads.test"), 1);
}

TEST_F(AdHosts, DuplicateIsCountedTwiceStoredOnce) {
    auto [count, out] = load("ads.test\nads.test\n");
    EXPECT_EQ(count, 2);
    hash_liste_chainee_t *bucket =
        &g_hash_bd->enregistrement[hash_calcule("ads.test", 8) % g_hash_bd->nb_enregistrement];
    int stored = 0;
    for (auto *node = bucket; node != nullptr; node = node->suivant) {
        if (std::strcmp(node->etiquette, "ads.test") == 0) ++stored;
    }
    EXPECT_EQ(stored, 1);
}

TEST_F(AdHosts, EmptyFileLoadsNothing) {
    auto [count, out] = load("");
    EXPECT_EQ(count, 0);
    EXPECT_EQ(out, "0 ad-domains loaded.\n");
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

TEST_F(AdHosts, HundredThousandNamesLoadAndAreFound) {
    std::string file;
    file.reserve(100000 * 24);
    for (int i = 0; i < 100000; ++i) file += "host" + std::to_string(i) + ".ads.test\r\n";
    auto started = std::chrono::steady_clock::now();
    auto [count, out] = load(file);
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(count, 100000);
    EXPECT_EQ(out, "100000 ad-domains loaded.\n");
    for (int i = 0; i < 100000; i += 997) {
        std::string name = "host" + std::to_string(i) + ".ads.test";
        EXPECT_EQ(valdrin_host_mask_contient(name.c_str()), 1) << name;
    }
    EXPECT_EQ(valdrin_host_mask_contient("host100000.ads.test"), 0);
    EXPECT_EQ(valdrin_host_mask_contient("host99999.ads.test"), 1);
#if !defined(__SANITIZE_ADDRESS__)
    // The load is start-up work; a generous bound still catches a quadratic one.
    EXPECT_LT(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count(), 60);
#else
    (void)elapsed;
#endif
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
        // character (same label hash), another case.
        std::string longer = name + "m";
        std::string shorter = name.substr(0, name.size() - 1);
        std::string first = name;
        first[0] = first[0] == 'z' ? 'y' : 'z';
        std::string upper = name;
        upper[1] = static_cast<char>(upper[1] - 'a' + 'A');
        ASSERT_EQ(valdrin_host_mask_contient(longer.c_str()), 0) << longer;
        ASSERT_EQ(valdrin_host_mask_contient(shorter.c_str()), 0) << shorter;
        ASSERT_EQ(valdrin_host_mask_contient(first.c_str()), 0) << first;
        if (upper[1] >= 'A' && upper[1] <= 'Z') {
            ASSERT_EQ(valdrin_host_mask_contient(upper.c_str()), 0) << upper;
        }
    }
    // A look-up visits a handful of slots, however crowded the chains are.
    EXPECT_LT(longest_index_run(g_hash_bd), 100u);
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
