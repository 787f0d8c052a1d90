// Where a response ends: the bodiless cases, lengths that agree or not,
// and chunked coding read strictly whatever the reads' split.
#include "response_framing.h"

#include <gtest/gtest.h>

#include <string>

namespace kel::server {
namespace {

TEST(ResponseFraming, BodilessResponsesAreKnownByMethodAndStatus) {
    const struct {
        const char *method;
        int status;
    } none[] = {{"HEAD", 200}, {"head", 404}, {"GET", 100}, {"GET", 101}, {"POST", 199},
                {"GET", 204}, {"GET", 304},  {"CONNECT", 200}, {"CONNECT", 299}};
    for (const auto &n : none)
        EXPECT_EQ(response_body_framing(n.method, n.status, "chunked", "5").kind, BodyKind::kNone)
            << n.method << " " << n.status;
    EXPECT_EQ(response_body_framing("CONNECT", 407, nullptr, "12").kind, BodyKind::kLength);
    EXPECT_EQ(response_body_framing("GET", 200, nullptr, nullptr).kind, BodyKind::kUntilClose);
    EXPECT_EQ(response_body_framing("GET", 205, nullptr, "0").kind, BodyKind::kLength);
}

TEST(ResponseFraming, LengthsMustBeDigitsAndAgree) {
    auto length = [](const char *value) { return response_body_framing("GET", 200, nullptr, value); };
    EXPECT_EQ(length("0").length, 0u);
    EXPECT_EQ(length(" 42 ").length, 42u);
    EXPECT_EQ(length("42, 42").kind, BodyKind::kLength);
    EXPECT_EQ(length("999999999999999999").length, 999999999999999999u);
    for (const char *bad : {"", "42, 43", "42,,42", "-1", "+5", "0x10", "4 2", "1e3", "9999999999999999999",
                            "18446744073709551616"}) {
        const BodyFraming f = length(bad);
        EXPECT_EQ(f.kind, BodyKind::kInvalid) << bad;
        EXPECT_NE(f.fault, nullptr) << bad;
    }
}

TEST(ResponseFraming, ChunkedOnlyWhenLastAndOnceAndNeverBesideALength) {
    auto coded = [](const char *te, const char *cl = nullptr) { return response_body_framing("GET", 200, te, cl).kind; };
    EXPECT_EQ(coded("chunked"), BodyKind::kChunked);
    EXPECT_EQ(coded("CHUNKED"), BodyKind::kChunked);
    EXPECT_EQ(coded("gzip, chunked"), BodyKind::kChunked);
    EXPECT_EQ(coded("gzip"), BodyKind::kUntilClose);
    EXPECT_EQ(coded("chunked, identity"), BodyKind::kInvalid);
    EXPECT_EQ(coded("chunked, chunked"), BodyKind::kInvalid);
    EXPECT_EQ(coded("chunked", "10"), BodyKind::kInvalid);
}

// Feeds `body` in pieces of `step` bytes followed by `after`; the bytes the
// reader took, or the fault.
std::string read_chunked(const std::string &body, size_t step, const std::string &after = "NEXT") {
    ChunkedReader reader;
    const std::string all = body + after;
    size_t taken = 0;
    for (size_t at = 0; at < all.size() && !reader.done() && !reader.fault(); at += step) {
        const std::string_view piece = std::string_view(all).substr(at, step);
        const size_t n = reader.feed(piece);
        taken += n;
        if (n < piece.size()) break;
    }
    if (reader.fault()) return std::string("fault: ") + reader.fault();
    if (!reader.done()) return "unfinished after " + std::to_string(taken);
    return all.substr(0, taken);
}

TEST(ChunkedReading, EndsExactlyAtTheEndOfTheBodyWhateverTheSplit) {
    const std::string bodies[] = {
        "0\r\n\r\n",
        "5\r\nhello\r\n0\r\n\r\n",
        "5;name=value;x\r\nhello\r\nA\r\n0123456789\r\n0\r\n\r\n",
        "1 ;ext\r\nx\r\n000\r\nExpires: never\r\nX-Sum: 1\r\n\r\n",
        "10\r\n" + std::string(16, 'z') + "\r\n0;last\r\n\r\n",
        "4\r\n\r\n\r\n\r\n0\r\n\r\n",  // data that looks like line ends
    };
    for (const std::string &body : bodies) {
        for (size_t step = 1; step <= body.size() + 4; ++step)
            EXPECT_EQ(read_chunked(body, step), body) << "split every " << step << ": " << body;
    }
}

TEST(ChunkedReading, WaitsForTheLastChunkSplitAcrossReads) {
    ChunkedReader reader;
    EXPECT_EQ(reader.feed("3\r\nabc\r\n0"), 9u);
    EXPECT_FALSE(reader.done());
    EXPECT_EQ(reader.feed("\r"), 1u);
    EXPECT_EQ(reader.feed("\n\r"), 2u);
    EXPECT_FALSE(reader.done());
    EXPECT_EQ(reader.feed("\nGET / HTTP/1.1\r\n"), 1u);
    EXPECT_TRUE(reader.done());
    EXPECT_EQ(reader.feed("more"), 0u);
}

TEST(ChunkedReading, MalformedCodingIsAFaultNotAGuess) {
    const std::pair<std::string, const char *> bad[] = {
        {"\r\n", "without a size"},
        {";x\r\n", "not hexadecimal"},
        {"5\nhello\r\n0\r\n\r\n", "bare LF"},
        {"5\r\nhello!\r\n0\r\n\r\n", "longer than its size"},
        {"5\r\nhello\r0\r\n\r\n", "not ended by CR LF"},
        {"g\r\n", "not hexadecimal"},
        {"-5\r\n", "not hexadecimal"},
        {"0x5\r\n", "not hexadecimal"},
        {"10000000000000000\r\n", "overflows"},
        {"5\r\x01", "not ended by CR LF"},
        {"0\r\nX: y\n\r\n", "bare LF"},
        {"0\r\nX: y\r\r\n", "not ended by CR LF"},
        {"1;" + std::string(ChunkedReader::kMaxLineBytes, 'e') + "\r\n", "over-long chunk-size line"},
        {"0\r\nX: " + std::string(ChunkedReader::kMaxTrailerBytes, 't') + "\r\n\r\n", "over-long trailer"},
    };
    for (const auto &[body, words] : bad) {
        const std::string got = read_chunked(body, 3);
        EXPECT_NE(got.find(words), std::string::npos) << body.substr(0, 40) << " gave " << got.substr(0, 80);
        EXPECT_EQ(read_chunked(body, 1), got) << "the split changes nothing";
    }
}

}  // namespace
}  // namespace kel::server
