#include "keltampon.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

keltmp_tampon over(const std::string &bytes) {
    keltmp_tampon r;
    r.longueur = static_cast<uint32_t>(bytes.size());
    r.donnees = reinterpret_cast<unsigned char *>(const_cast<char *>(bytes.data()));
    return r;
}

keltmp_tampon *make(const std::string &bytes) {
    keltmp_tampon *r = keltmp_cree(static_cast<uint32_t>(bytes.size()));
    if (r != nullptr) std::memcpy(r->donnees, bytes.data(), bytes.size());
    return r;
}

TEST(BufferRecord, CreateRefusesZeroSize) {
    CaptureStderr();
    EXPECT_EQ(keltmp_cree(0), nullptr);
    EXPECT_EQ(GetCapturedStderr().rfind("ERROR: keltampon line ", 0), 0u);
    keltmp_tampon *r = keltmp_cree(10);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->longueur, 10u);
    keltmp_detruit(&r);
}

TEST(BufferRecord, DuplicateCopiesBytesWithNulToAnotherBlock) {
    keltmp_tampon *r = make(std::string("\x01\x00\x02", 3));
    keltmp_tampon *d = keltmp_duplique(r);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->longueur, 3u);
    EXPECT_NE(d->donnees, r->donnees);
    EXPECT_EQ(std::memcmp(d->donnees, "\x01\x00\x02", 3), 0);
    keltmp_detruit(&r);
    keltmp_detruit(&d);
}

TEST(BufferRecord, DestroyNullsTheVariableAndRefusesASecondTime) {
    keltmp_tampon *r = keltmp_cree(4);
    keltmp_detruit(&r);
    EXPECT_EQ(r, nullptr);
    CaptureStderr();
    keltmp_detruit(&r);
    keltmp_detruit(nullptr);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(err.find("ERROR: keltampon line "), 0u);
    EXPECT_NE(err.find("ERROR: keltampon line ", 5), std::string::npos);
}

TEST(BufferCompare, GivesSignedByteDifferenceWithinTheShorterLength) {
    std::string abc = "abc", abd = "abd", ab = "ab", abxyz = "abxyz";
    keltmp_tampon a = over(abc), b = over(abd), s = over(ab), l = over(abxyz);
    EXPECT_EQ(keltmp_compare(&a, &b, 3), -1);
    EXPECT_EQ(keltmp_compare(&b, &a, 3), 1);
    EXPECT_EQ(keltmp_compare(&a, &b, 2), 0);
    EXPECT_EQ(keltmp_compare(&s, &l, 5), 0);
    EXPECT_EQ(keltmp_compare(&s, &l, UINT32_MAX), 0);
    EXPECT_EQ(keltmp_compare(&a, &b, 0), 0);
}

TEST(BufferCompare, ComparesBytesAsUnsigned) {
    std::string hi = "\xff", lo = "\x01";
    keltmp_tampon h = over(hi), l = over(lo);
    EXPECT_EQ(keltmp_compare(&h, &l, 1), 254);
    EXPECT_EQ(keltmp_compare(&l, &h, 1), -254);
}

TEST(BufferCompare, RefusesNullsWith256) {
    std::string x = "x";
    keltmp_tampon r = over(x), empty{1, nullptr};
    CaptureStderr();
    EXPECT_EQ(keltmp_compare(nullptr, &r, 1), 256);
    EXPECT_EQ(keltmp_compare(&r, &empty, 1), 256);
    EXPECT_NE(GetCapturedStderr().find("ERROR: keltampon line "), std::string::npos);
}

TEST(BufferSearch, FindsBlankLineAfterOneByte) {
    const char data[] = "x\r\n\r\n";
    EXPECT_EQ(keltmp_cherche_e(data, 5, "\r\n\r\n", 4), data + 1);
}

TEST(BufferSearch, FindsPatternInDataOfExactlyItsLength) {
    const char data[] = "\r\n\r\n";
    EXPECT_EQ(keltmp_cherche_e(data, 4, "\r\n\r\n", 4), data);
    EXPECT_EQ(keltmp_cherche_e(data, 4, "\r\n\r\r", 4), nullptr);
    std::string d = "abc", p = "abc";
    keltmp_tampon rd = over(d), rp = over(p);
    EXPECT_EQ(keltmp_cherche(&rd, &rp), rd.donnees);
}

TEST(BufferSearch, LooksPastNulBytesAndChecksTheLastPosition) {
    const std::string data("a\0bc\0pat", 8);
    EXPECT_EQ(keltmp_cherche_e(data.data(), 8, "pat", 3), data.data() + 5);
    EXPECT_EQ(keltmp_cherche_e(data.data(), 8, "\0p", 2), data.data() + 4);
    EXPECT_EQ(keltmp_cherche_e(data.data(), 8, "pax", 3), nullptr);
    // Shorter data than pattern: quietly nothing.
    CaptureStderr();
    EXPECT_EQ(keltmp_cherche_e("ab", 2, "abc", 3), nullptr);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(BufferSearch, RecordSearchRefusesLongerPattern) {
    std::string d = "ab", p = "abc";
    keltmp_tampon rd = over(d), rp = over(p);
    CaptureStderr();
    EXPECT_EQ(keltmp_cherche(&rd, &rp), nullptr);
    EXPECT_EQ(keltmp_cherche(nullptr, &rp), nullptr);
    EXPECT_EQ(keltmp_cherche_e(nullptr, 2, "a", 1), nullptr);
    const std::string err = GetCapturedStderr();
    size_t lines = 0;
    for (size_t at = 0; (at = err.find("ERROR: keltampon line ", at)) != std::string::npos; ++at)
        ++lines;
    EXPECT_EQ(lines, 3u);
}

TEST(BufferConcat, AppendsBytesInOrder) {
    keltmp_tampon *a = make("abc");
    std::string tail("\0e", 2);
    keltmp_tampon b = over(tail);
    EXPECT_EQ(keltmp_concat(a, &b), 0);
    EXPECT_EQ(a->longueur, 5u);
    EXPECT_EQ(std::memcmp(a->donnees, "abc\0e", 5), 0);
    EXPECT_EQ(b.longueur, 2u);
    keltmp_detruit(&a);
}

TEST(BufferConcat, AppendsARecordToItself) {
    keltmp_tampon *a = make("xy");
    EXPECT_EQ(keltmp_concat(a, a), 0);
    EXPECT_EQ(a->longueur, 4u);
    EXPECT_EQ(std::memcmp(a->donnees, "xyxy", 4), 0);
    keltmp_detruit(&a);
}

TEST(BufferConcat, RefusesNullsWithMinusOne) {
    keltmp_tampon *a = make("abc");
    CaptureStderr();
    EXPECT_EQ(keltmp_concat(a, nullptr), -1);
    EXPECT_EQ(keltmp_concat(nullptr, a), -1);
    EXPECT_NE(GetCapturedStderr().find("ERROR: keltampon line "), std::string::npos);
    EXPECT_EQ(a->longueur, 3u);
    keltmp_detruit(&a);
}

}  // namespace
