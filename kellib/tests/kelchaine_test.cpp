#include "kelchaine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "format_growth.h"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
    return n;
}

// Drains a cursor, collecting tokens; bounded so a cursor that never ends fails.
std::vector<std::string> drain(const char **cursor, const char *set) {
    std::vector<std::string> out;
    for (int i = 0; i < 100 && *cursor != nullptr; ++i) {
        char *token = kelstr_extrait(cursor, set);
        if (token == nullptr) break;
        out.emplace_back(token);
        kelstr_detruit(&token);
    }
    return out;
}

TEST(TextCreate, CopiesExactlyNCharacters) {
    char *t = kelstr_cree_n("abc", 3);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "abc");
    kelstr_detruit(&t);
    EXPECT_EQ(t, nullptr);
    t = kelstr_cree_n("abcdef", 2);
    EXPECT_STREQ(t, "ab");
    kelstr_detruit(&t);
    CaptureStderr();
    EXPECT_EQ(kelstr_cree_n("abc", 4), nullptr);
    EXPECT_EQ(kelstr_cree_n("abc", 0), nullptr);
    EXPECT_EQ(kelstr_cree_n(nullptr, 1), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 3u);
}

TEST(TextCreate, DestroyOfNullVariableOnlyReports) {
    char *t = nullptr;
    CaptureStderr();
    kelstr_detruit(&t);
    kelstr_detruit(nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 2u);
}

TEST(TextCompare, ComparesOverTheShorterText) {
    EXPECT_EQ(kelstr_compare("GET", "GETX", 4), 0);
    EXPECT_EQ(kelstr_compare("GET", "PUT", 3), 'G' - 'P');
    EXPECT_LT(kelstr_compare("GET", "PUT", 3), 0);
    EXPECT_EQ(kelstr_compare("abc", "xyz", 0), 0);
    EXPECT_EQ(kelstr_compare("", "xyz", 3), 0);
    EXPECT_EQ(kelstr_compare("ab\xe9", "ab\x41", 3), 0xe9 - 0x41);
    CaptureStderr();
    EXPECT_EQ(kelstr_compare(nullptr, "a", 1), 256);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 1u);
}

TEST(TextSearch, FindsWordAndEqualLengthText) {
    const char *hdr = "Connection: close";
    EXPECT_EQ(kelstr_cherche(hdr, "close"), hdr + 12);
    const char *same = "close";
    EXPECT_EQ(kelstr_cherche(same, "close"), same);
    EXPECT_EQ(kelstr_cherche(same, "closf"), nullptr);
    EXPECT_EQ(kelstr_cherche(hdr, ""), hdr);
    CaptureStderr();
    EXPECT_EQ(kelstr_cherche("", ""), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(TextSearch, LongerPatternIsReportedByTheBufferModule) {
    CaptureStderr();
    EXPECT_EQ(kelstr_cherche("ab", "abc"), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: keltampon line "), 1u);
    CaptureStderr();
    EXPECT_EQ(kelstr_cherche(nullptr, "abc"), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 1u);
}

TEST(TextContains, NeverFindsTheNul) {
    EXPECT_EQ(kelstr_contient("a.b", '.'), 1);
    EXPECT_EQ(kelstr_contient("ab", '.'), 0);
    EXPECT_EQ(kelstr_contient("ab", '\0'), 0);
    EXPECT_EQ(kelstr_longeur("abc"), 3u);
}

TEST(TextConcat, AppendsAndStoresTheNewAddress) {
    char *t = kelstr_cree("ab");
    char *r = kelstr_concat(&t, "cd");
    EXPECT_EQ(r, t);
    EXPECT_STREQ(t, "abcd");
    r = kelstr_concat(&t, "");
    EXPECT_STREQ(t, "abcd");
    // A suffix taken from the text itself survives the block moving.
    r = kelstr_concat(&t, t + 1);
    EXPECT_STREQ(t, "abcdbcd");
    kelstr_detruit(&t);
}

TEST(TextConcat, NullArgumentsLeaveTheVariableAlone) {
    char *t = kelstr_cree("ab");
    char *before = t;
    char *none = nullptr;
    CaptureStderr();
    EXPECT_EQ(kelstr_concat(&t, nullptr), nullptr);
    EXPECT_EQ(kelstr_concat(&none, "x"), nullptr);
    EXPECT_EQ(kelstr_concat(nullptr, "x"), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 3u);
    EXPECT_EQ(t, before);
    kelstr_detruit(&t);
}

TEST(TextPrint, GrowthFollowsTheFormatterReport) {
    using kel::format::next_size;
    EXPECT_EQ(next_size(64, -1), 128u);
    EXPECT_EQ(next_size(128, -1), 256u);
    EXPECT_EQ(next_size(64, 64), 65u);
    EXPECT_EQ(next_size(64, 1000), 1001u);
    EXPECT_EQ(next_size(64, 63), 0u);
    EXPECT_EQ(next_size(1001, 1000), 0u);
}

TEST(TextPrint, FormatsLongTextsWhole) {
    for (size_t n : {size_t{63}, size_t{64}, size_t{1000}, size_t{100000}}) {
        const std::string arg(n, 'z');
        char *t = reinterpret_cast<char *>(1);
        EXPECT_EQ(kelstr_print(&t, "%s", arg.c_str()), 0) << n;
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(std::strlen(t), n);
        EXPECT_EQ(t, arg) << n;
        std::free(t);
    }
    char *t = nullptr;
    EXPECT_EQ(kelstr_print(&t, "%d-%s", 42, "x"), 0);
    EXPECT_STREQ(t, "42-x");
    std::free(t);
}

TEST(TextPrint, NullFormatClearsTheVariable) {
    char *t = reinterpret_cast<char *>(1);
    CaptureStderr();
    // Through a pointer, so the compiler's format check lets the null pass.
    int32_t (*print)(char **, const char *, ...) = &kelstr_print;
    EXPECT_EQ(print(&t, nullptr), -1);
    EXPECT_EQ(t, nullptr);
    EXPECT_EQ(kelstr_print(nullptr, "x"), -1);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 2u);
}

TEST(TextPrint, FormatterErrorEndsInsteadOfGrowingForever) {
    // A wide character with no narrow form makes the formatter fail for
    // good in the C locale.
    const wchar_t bad[] = {static_cast<wchar_t>(0x20AC), 0};
    char *t = nullptr;
    const auto start = std::chrono::steady_clock::now();
    CaptureStderr();
    EXPECT_EQ(kelstr_print(&t, "%ls", bad), -1);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 1u);
    EXPECT_EQ(t, nullptr);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST(TokenWalk, RequestLineYieldsThreeWordsThenNullCursor) {
    const char *text = "GET / HTTP/1.1";
    const char *cursor = text;
    EXPECT_EQ(drain(&cursor, " "), (std::vector<std::string>{"GET", "/", "HTTP/1.1"}));
    EXPECT_EQ(cursor, nullptr);
    CaptureStderr();
    EXPECT_EQ(kelstr_extrait(&cursor, " "), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 1u);
}

TEST(TokenWalk, TrailingSeparatorsLeaveCursorOnTheNul) {
    const char *text = "  a  ";
    const char *cursor = text;
    char *token = kelstr_extrait(&cursor, " ");
    ASSERT_NE(token, nullptr);
    EXPECT_STREQ(token, "a");
    kelstr_detruit(&token);
    EXPECT_EQ(cursor, text + 5);
    CaptureStderr();
    EXPECT_EQ(kelstr_extrait(&cursor, " "), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(cursor, text + 5);
}

TEST(TokenWalk, OnlySeparatorsGiveNullTokenAndNullCursor) {
    const char *cursor = "\r\n\r\n";
    CaptureStderr();
    EXPECT_EQ(kelstr_extrait(&cursor, "\r\n"), nullptr);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 1u);
    EXPECT_EQ(cursor, nullptr);
}

TEST(TokenWalk, HeaderFieldsWithMixedSets) {
    const char *cursor = "Host: a.test\r\nAccept: */*\r\n";
    std::vector<std::string> parts;
    for (int i = 0; i < 10 && cursor != nullptr && *cursor != '\0'; ++i) {
        char *name = kelstr_extrait(&cursor, " :");
        char *value = kelstr_extrait(&cursor, "\r\n");
        ASSERT_NE(name, nullptr);
        ASSERT_NE(value, nullptr);
        parts.emplace_back(std::string(name) + "=" + value);
        kelstr_detruit(&name);
        kelstr_detruit(&value);
    }
    EXPECT_EQ(parts, (std::vector<std::string>{"Host=a.test", "Accept=*/*"}));
}

TEST(TokenCut, IsolateCutsAtTheFirstRun) {
    char text[] = "10.0.*";
    char *rest = kelstr_isole(text, ".");
    EXPECT_STREQ(text, "10");
    EXPECT_STREQ(rest, "0.*");
    char lead[] = "..ab";
    rest = kelstr_isole(lead, ".");
    EXPECT_STREQ(lead, "");
    EXPECT_STREQ(rest, "ab");
    char tail[] = "ab..";
    rest = kelstr_isole(tail, ".");
    EXPECT_EQ(rest, tail + 4);
    EXPECT_STREQ(tail, "ab");
    char empty[] = "";
    EXPECT_EQ(kelstr_isole(empty, "."), nullptr);
}

TEST(TokenCut, SkipStopsAtFirstNonSeparator) {
    CaptureStderr();
    EXPECT_EQ(kelstr_saute("", " "), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
    const char *spaces = "   ";
    EXPECT_EQ(kelstr_saute(spaces, " "), spaces + 3);
    const char *word = " \tx y";
    EXPECT_EQ(kelstr_saute(word, " \t"), word + 2);
}

TEST(TextToNumber, ReadsLeadingDigitsOnly) {
    EXPECT_EQ(kelstr_enint("8080"), 8080);
    EXPECT_EQ(kelstr_enint("0x10"), 0);
    EXPECT_EQ(kelstr_enint("12abc"), 12);
    EXPECT_EQ(kelstr_enint("-5"), 0);
    EXPECT_EQ(kelstr_enint(" 7"), 0);
    EXPECT_EQ(kelstr_enint(""), 0);
    EXPECT_EQ(kelstr_enint("2147483647"), 2147483647);
    // 32-bit wrap, no overflow trap.
    EXPECT_EQ(kelstr_enint("4294967296"), 0);
    EXPECT_EQ(kelstr_enint("2147483648"), INT32_MIN);
}

TEST(TextToNumber, NullGivesTwoDiagnosticLines) {
    CaptureStderr();
    EXPECT_EQ(kelstr_enint(nullptr), 0);
    EXPECT_EQ(count_of(GetCapturedStderr(), "ERROR: kelchaine line "), 2u);
}

}  // namespace
