#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "block_list.h"
#include "test_support.h"

namespace kel::server::test {
namespace {

class BlockListTest : public ::testing::Test {
protected:
    // Loads each text as a file of its kind, in order, into one list.
    void adhosts(const std::string &text) { load(text, true); }
    void list(const std::string &text) { load(text, false); }
    const ListFileStats &last() const { return blocks_.files().back(); }

    void load(const std::string &text, bool is_adhosts) {
        const std::string path =
            folder_.write("list" + std::to_string(blocks_.files().size()), text).string();
        std::string error;
        const bool ok = is_adhosts ? blocks_.load_adhosts(path, &error) : blocks_.load_list(path, &error);
        ASSERT_TRUE(ok) << error;
        ASSERT_EQ(last().path, path);
    }

    TempFolder folder_;
    BlockList blocks_;
};

TEST_F(BlockListTest, AdHostsBareNamesAreExactHosts) {
    adhosts("ads.test\nbanner.example.test\n");
    EXPECT_TRUE(blocks_.blocks("ads.test"));
    EXPECT_TRUE(blocks_.blocks("banner.example.test"));
    EXPECT_FALSE(blocks_.blocks("sub.ads.test"));
    EXPECT_FALSE(blocks_.blocks("example.test"));
    EXPECT_EQ(last().exact, 2u);
    EXPECT_EQ(last().domains, 0u);
}

TEST_F(BlockListTest, AdHostsDotAndStarPrefixesMeanTheDomain) {
    adhosts(".track.test\n*.pix.test\n");
    for (const char *host : {"track.test", "a.track.test", "a.b.track.test", "pix.test", "x.pix.test"})
        EXPECT_TRUE(blocks_.blocks(host)) << host;
    EXPECT_FALSE(blocks_.blocks("xtrack.test"));
    EXPECT_FALSE(blocks_.blocks("test"));
    EXPECT_EQ(last().domains, 2u);
    EXPECT_EQ(blocks_.domain_count(), 2u);
}

TEST_F(BlockListTest, AdHostsReadsCrlfLfAndALastLineWithoutNewline) {
    adhosts("a.test\r\nb.test\n\r\n\nc.test");
    for (const char *host : {"a.test", "b.test", "c.test"}) EXPECT_TRUE(blocks_.blocks(host)) << host;
    EXPECT_EQ(last().exact, 3u);
    EXPECT_EQ(last().skipped, 0u);  // empty lines count as nothing
}

TEST_F(BlockListTest, AdHostsSkipsLinesThatAreNotHostNames) {
    adhosts("good.test\nnot a host\nbad..test\n-lead.test\n$x.test\nsl/ash.test\n..\n");
    EXPECT_TRUE(blocks_.blocks("good.test"));
    EXPECT_FALSE(blocks_.blocks("bad..test"));
    EXPECT_FALSE(blocks_.blocks("-lead.test"));
    EXPECT_EQ(last().exact, 1u);
    EXPECT_EQ(last().skipped, 6u);
}

TEST_F(BlockListTest, NamesCompareWithoutCaseOrTrailingDot) {
    adhosts("ADS.Example.TEST.\n.Track.TEST\n");
    list("||Pixel.TEST.^\n");
    for (const char *host : {"ads.example.test", "ADS.EXAMPLE.TEST", "ads.example.test.", "track.test",
                             "X.TRACK.test.", "pixel.test", "a.PIXEL.test."})
        EXPECT_TRUE(blocks_.blocks(host)) << host;
    EXPECT_FALSE(blocks_.blocks("ads.example.test.."));
}

TEST_F(BlockListTest, HostsLinesListEveryNameUpToTheComment) {
    list("# a hosts file\n"
         "0.0.0.0 one.test two.test\t three.test   # trailing comment four.test\n"
         "127.0.0.1\tfive.test#six.test\n"
         "::1 seven.test\n"
         "::  eight.test\n"
         "fe80::1 nine.test\n"
         "  0.0.0.0   ten.test  \r\n"
         "0.0.0.0 .dom.test *.star.test\n");
    for (const char *host : {"one.test", "two.test", "three.test", "five.test", "seven.test", "eight.test",
                             "nine.test", "ten.test", "dom.test", "a.dom.test", "star.test", "b.star.test"})
        EXPECT_TRUE(blocks_.blocks(host)) << host;
    for (const char *host : {"four.test", "six.test", "sub.one.test"}) EXPECT_FALSE(blocks_.blocks(host)) << host;
    EXPECT_EQ(last().exact, 8u);
    EXPECT_EQ(last().domains, 2u);
    EXPECT_EQ(last().skipped, 0u);
}

TEST_F(BlockListTest, HostsLinesNeverBlockLoopbackNames) {
    list("127.0.0.1 localhost localhost.localdomain local\n"
         "255.255.255.255 broadcasthost\n"
         "::1 ip6-localhost ip6-loopback\n"
         "fe00::0 ip6-localnet\nff00::0 ip6-mcastprefix\nff02::1 ip6-allnodes\n"
         "ff02::2 ip6-allrouters\nff02::3 ip6-allhosts\n"
         "0.0.0.0 0.0.0.0\n"
         "0.0.0.0 LOCALHOST. .localhost real.test\n"
         "localhost\n");
    for (const char *host : {"localhost", "localhost.localdomain", "local", "broadcasthost", "ip6-localhost",
                             "ip6-loopback", "ip6-localnet", "ip6-mcastprefix", "ip6-allnodes",
                             "ip6-allrouters", "ip6-allhosts", "0.0.0.0", "x.localhost"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
    EXPECT_TRUE(blocks_.blocks("real.test"));
    EXPECT_EQ(last().exact, 1u);
    EXPECT_EQ(last().domains, 0u);
    EXPECT_EQ(last().skipped, 0u);  // the machine's own names are no rules
}

TEST_F(BlockListTest, HostsLinesSkipNamesThatAreNotHostNames) {
    list("0.0.0.0 ok.test bad$.test -dash.test 10.1.2.3 under_score.test a..test\n");
    EXPECT_TRUE(blocks_.blocks("ok.test"));
    EXPECT_TRUE(blocks_.blocks("under_score.test"));
    EXPECT_FALSE(blocks_.blocks("10.1.2.3"));  // an address is no name to map
    EXPECT_EQ(last().exact, 2u);
    EXPECT_EQ(last().skipped, 4u);
}

TEST_F(BlockListTest, AdblockDomainFiltersBlockTheDomainAndItsSubdomains) {
    list("[Adblock Plus 2.0]\n"
         "! Title: hand-made\n"
         "||ads.test^\n"
         "||tp.test^$third-party\n"
         "||imp.test^$important\n"
         "||both.test^$third-party,important\n"
         "||rev.test^$IMPORTANT,Third-Party\r\n");
    for (const char *host : {"ads.test", "x.ads.test", "tp.test", "a.b.tp.test", "imp.test", "both.test",
                             "rev.test", "z.rev.test"})
        EXPECT_TRUE(blocks_.blocks(host)) << host;
    EXPECT_FALSE(blocks_.blocks("bads.test"));
    EXPECT_EQ(last().domains, 5u);
    EXPECT_EQ(last().skipped, 0u);  // neither the header nor the comment is a rule
}

TEST_F(BlockListTest, AdblockFiltersItCannotApplyAreSkippedAndCounted) {
    const std::vector<std::string> rules = {
        "##.ad-banner", "###ad-id", "#@#.sponsor", "#?#div:has(> .ad)", "example.test##.ad",
        "example.test#@#.ad", "||path.test/ads/*", "/banner[0-9]+\\.gif/", "||script.test^$script",
        "||dom.test^$domain=site.test", "||mix.test^$third-party,script", "-ad-banner.", "_adbanner.",
        "&ad_type=", "|http://pipe.test/", "ads", "||nocaret.test", "||*.star.test^", "||.dot.test^",
        "||end.test^|", "||opt.test^$", "||comma.test^$important,", "@@||doc.test^$document",
        "@@plain.test", "word.test trailing", "1.2.3.4",
    };
    std::string text = "! comment\n# hosts comment\n## comment\n####\n[Adblock Plus 2.0]\n";
    for (const auto &rule : rules) text += rule + "\n";
    list(text);
    EXPECT_EQ(last().skipped, rules.size());
    EXPECT_EQ(last().exact + last().domains + last().exceptions, 0u);
    EXPECT_EQ(blocks_.exact_count() + blocks_.domain_count() + blocks_.exception_count(), 0u);
    for (const char *host : {"path.test", "script.test", "dom.test", "mix.test", "nocaret.test", "star.test",
                             "end.test", "opt.test", "comma.test", "pipe.test", "ads", "1.2.3.4"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
}

TEST_F(BlockListTest, ListPlainNamesAreExactOrDomains) {
    list("plain.test\n.dotted.test\n*.starred.test\nwith.comment.test # why\n");
    EXPECT_TRUE(blocks_.blocks("plain.test"));
    EXPECT_FALSE(blocks_.blocks("a.plain.test"));
    EXPECT_TRUE(blocks_.blocks("x.dotted.test"));
    EXPECT_TRUE(blocks_.blocks("starred.test"));
    EXPECT_TRUE(blocks_.blocks("with.comment.test"));
    EXPECT_EQ(last().exact, 2u);
    EXPECT_EQ(last().domains, 2u);
}

TEST_F(BlockListTest, ExceptionsWinOverExactAndDomainBlocks) {
    list("||ads.test^\n"
         "@@||ok.ads.test^$third-party\n"
         "exact.test\n"
         "@@||exact.test^\n"
         "@@||early.test^$important\n"
         "||early.test^\n");
    EXPECT_TRUE(blocks_.blocks("ads.test"));
    EXPECT_TRUE(blocks_.blocks("other.ads.test"));
    EXPECT_FALSE(blocks_.blocks("ok.ads.test"));
    EXPECT_FALSE(blocks_.blocks("deep.ok.ads.test"));
    EXPECT_FALSE(blocks_.blocks("exact.test"));
    EXPECT_FALSE(blocks_.blocks("early.test"));  // whichever line comes first
    EXPECT_FALSE(blocks_.blocks("x.early.test"));
    EXPECT_EQ(last().exceptions, 3u);
}

TEST_F(BlockListTest, ExceptionCoversBlocksDeeperInItsDomain) {
    list("||cdn.test^\n||ads.cdn.test^\nx.ads.cdn.test\n@@||cdn.test^\n");
    for (const char *host : {"cdn.test", "ads.cdn.test", "x.ads.cdn.test", "y.ads.cdn.test"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
}

TEST_F(BlockListTest, ExceptionsWinOverBlocksFromOtherFiles) {
    adhosts("ads.test\n.track.test\n");
    list("0.0.0.0 host.test\n");
    list("@@||ads.test^\n@@||track.test^\n@@||host.test^\n");
    for (const char *host : {"ads.test", "track.test", "a.track.test", "host.test"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
    ASSERT_EQ(blocks_.files().size(), 3u);
}

TEST_F(BlockListTest, ParentDomainsMatchOnlyAtLabelBoundaries) {
    list("||ads.test^\n");
    EXPECT_TRUE(blocks_.blocks("a.ads.test"));
    for (const char *host : {"bads.test", "ads.test.evil", "ads.tests", "test", "xads.test", "ads-test"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
}

TEST_F(BlockListTest, IpLiteralsMatchOnlyExactly) {
    list("||1.2.3.4^\n||9.3.4^\n");
    adhosts("10.0.0.1\n.10.0.0.2\n");
    EXPECT_TRUE(blocks_.blocks("1.2.3.4"));
    EXPECT_TRUE(blocks_.blocks("1.2.3.4."));
    EXPECT_TRUE(blocks_.blocks("10.0.0.1"));
    EXPECT_TRUE(blocks_.blocks("10.0.0.2"));
    EXPECT_FALSE(blocks_.blocks("5.1.2.3.4"));
    EXPECT_FALSE(blocks_.blocks("x.10.0.0.2"));
    EXPECT_FALSE(blocks_.blocks("9.9.3.4"));  // an address has no parent domain
    EXPECT_TRUE(blocks_.blocks("x.9.3.4"));   // a name of digits does
    EXPECT_FALSE(blocks_.blocks("01.2.3.4"));  // another spelling, not the address
}

TEST_F(BlockListTest, Ipv6LiteralsMatchWhateverTheSpelling) {
    adhosts("2001:DB8::1\n[::ffff:192.0.2.7]\n");
    list("||[2001:db8::42]^\n");
    for (const char *host : {"2001:db8::1", "[2001:db8::1]", "2001:0db8:0:0:0:0:0:1", "[2001:DB8:0::0:1]",
                             "::ffff:c000:207", "2001:db8::42"})
        EXPECT_TRUE(blocks_.blocks(host)) << host;
    for (const char *host : {"2001:db8::2", "[2001:db8::1", "2001:db8::1]", "2001:db8:::1", "2001:db8::1%eth0",
                             "1:2:3:4:5:6:7:8:9", "[2001:db8::1]:443", "1::2::3"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
    EXPECT_EQ(blocks_.exact_count(), 2u);
    EXPECT_EQ(blocks_.domain_count(), 1u);
}

TEST_F(BlockListTest, NamesUpTo253BytesAndLabelsUpTo63) {
    const std::string label63(63, 'a');
    const std::string name253 = label63 + "." + label63 + "." + label63 + "." + std::string(61, 'b');
    ASSERT_EQ(name253.size(), 253u);
    const std::string name254 = label63 + "." + label63 + "." + label63 + "." + std::string(62, 'c');
    ASSERT_EQ(name254.size(), 254u);
    list(name253 + "\n" + name254 + "\n" + std::string(64, 'd') + ".test\n");
    EXPECT_EQ(last().exact, 1u);
    EXPECT_EQ(last().skipped, 2u);
    EXPECT_TRUE(blocks_.blocks(name253));
    EXPECT_TRUE(blocks_.blocks(name253 + "."));
    EXPECT_FALSE(blocks_.blocks(name254));
    EXPECT_FALSE(blocks_.blocks(std::string(4000, 'a')));
}

TEST_F(BlockListTest, MalformedHostsAreNeverBlocked) {
    list("||ads.test^\n");
    for (const char *host : {"", ".", "..", "ads..test", ".ads.test", "a.ads.test..", "ads.test:443", "ads test",
                             "ads.test/", "a\xc3\xa9.ads.test", "*.ads.test"})
        EXPECT_FALSE(blocks_.blocks(host)) << host;
    EXPECT_FALSE(blocks_.blocks(std::string_view("a.ads.test\0", 11)));
    // Looked-up hosts may have a label that starts with a hyphen.
    EXPECT_TRUE(blocks_.blocks("-x.ads.test"));
}

TEST_F(BlockListTest, EmptyListBlocksNothing) {
    EXPECT_FALSE(blocks_.blocks("ads.test"));
    list("\n\n! nothing\n");
    EXPECT_FALSE(blocks_.blocks("ads.test"));
    EXPECT_EQ(blocks_.memory_bytes(), 0u);
}

TEST_F(BlockListTest, CountsRulesAsReadAndEntriesOnceEach) {
    adhosts("dup.test\ndup.test\n.dom.test\n");
    list("||dom.test^\n0.0.0.0 dup.test\n@@||dup.test^\n@@||dup.test^\n");
    EXPECT_EQ(blocks_.files()[0].exact, 2u);
    EXPECT_EQ(blocks_.files()[0].domains, 1u);
    EXPECT_EQ(blocks_.files()[1].domains, 1u);
    EXPECT_EQ(blocks_.files()[1].exact, 1u);
    EXPECT_EQ(blocks_.files()[1].exceptions, 2u);
    EXPECT_EQ(blocks_.exact_count(), 1u);
    EXPECT_EQ(blocks_.domain_count(), 1u);
    EXPECT_EQ(blocks_.exception_count(), 1u);  // dup.test holds both kinds
}

TEST_F(BlockListTest, ReportLineNamesTheFileAndTheWholeTableSize) {
    ListFileStats stats;
    stats.path = "lists/easy.txt";
    stats.exact = 3;
    stats.domains = 85000;
    stats.exceptions = 12;
    stats.skipped = 7;
    stats.table_bytes = 3 * 1024 * 1024 / 2 + 30000;
    EXPECT_EQ(BlockList::report_line(stats),
              "3 exact hosts, 85000 domains, 12 exceptions, 7 rules skipped from lists/easy.txt, 1.5 MiB");
}

TEST_F(BlockListTest, MemoryGrowsWithContent) {
    list("||a.test^\n");
    const size_t small = blocks_.memory_bytes();
    EXPECT_GT(small, 0u);
    EXPECT_EQ(last().table_bytes, small);
    std::string text;
    for (int i = 0; i < 20000; ++i) text += "0.0.0.0 host" + std::to_string(i) + ".grow.test\n";
    list(text);
    EXPECT_GT(blocks_.memory_bytes(), small + 20000 * 16);
    EXPECT_EQ(blocks_.files()[0].table_bytes, small);
    EXPECT_EQ(last().table_bytes, blocks_.memory_bytes());
    EXPECT_EQ(blocks_.exact_count(), 20000u);
}

TEST_F(BlockListTest, ReadsLinesSplitAcrossReadBlocks) {
    // Over 2 MiB, so that lines straddle the block boundaries; each line
    // names its own number, so a cut or a doubled line shows.
    std::string text;
    int lines = 0;
    while (text.size() < (5u << 19)) text += "0.0.0.0 n" + std::to_string(lines++) + ".split.test\r\n";
    list(text);
    EXPECT_EQ(last().exact, static_cast<size_t>(lines));
    EXPECT_EQ(last().skipped, 0u);
    EXPECT_EQ(blocks_.exact_count(), static_cast<size_t>(lines));
    for (int i = 0; i < lines; ++i) ASSERT_TRUE(blocks_.blocks("n" + std::to_string(i) + ".split.test")) << i;
}

TEST_F(BlockListTest, OverlongLinesCountAsSkippedAndTheNextLineIsRead) {
    // Over 64 KiB: within one read block, across blocks, and last in the file.
    std::string hosts_line = "0.0.0.0";
    while (hosts_line.size() <= 64 * 1024) hosts_line += " long.test";
    const std::string text = "before.test\n" + hosts_line + "\n" + std::string(3u << 20, 'x') +
                             "\nafter.test\n" + std::string(70000, 'y');
    list(text);
    EXPECT_TRUE(blocks_.blocks("before.test"));
    EXPECT_TRUE(blocks_.blocks("after.test"));
    EXPECT_FALSE(blocks_.blocks("long.test"));
    EXPECT_EQ(last().exact, 2u);
    EXPECT_EQ(last().skipped, 3u);
}

TEST_F(BlockListTest, LineWithANulIsSkipped) {
    list(std::string("nul\0.test\nok.test\n", 18));
    EXPECT_TRUE(blocks_.blocks("ok.test"));
    EXPECT_FALSE(blocks_.blocks("nul"));
    EXPECT_EQ(last().skipped, 1u);
}

TEST_F(BlockListTest, UnreadableFileSaysWhyAndChangesNothing) {
    list("||ads.test^\n");
    const size_t bytes = blocks_.memory_bytes();
    std::string error;
    const std::string missing = (folder_.path() / "missing").string();
    EXPECT_FALSE(blocks_.load_list(missing, &error));
    EXPECT_EQ(error, "open() of \"" + missing + "\" failed (2: No such file or directory)");
    EXPECT_FALSE(blocks_.load_adhosts(missing, nullptr));
    error.clear();
    EXPECT_FALSE(blocks_.load_list(folder_.path().string(), &error));
    EXPECT_NE(error.find("(21: Is a directory)"), std::string::npos) << error;
    EXPECT_EQ(blocks_.files().size(), 1u);
    EXPECT_EQ(blocks_.memory_bytes(), bytes);
    EXPECT_TRUE(blocks_.blocks("ads.test"));
}

TEST_F(BlockListTest, ManyThreadsQueryOneList) {
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "||d" + std::to_string(i) + ".mt.test^\n";
    text += "@@||d7.mt.test^\n";
    list(text);
    const BlockList &shared = blocks_;
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20; ++round) {
                for (int i = t; i < 2000; i += 3) {
                    const std::string id = std::to_string(i);
                    if (shared.blocks("x.d" + id + ".mt.test") != (i != 7)) ++wrong;
                    if (shared.blocks("xd" + id + ".mt.test")) ++wrong;
                }
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace kel::server::test
