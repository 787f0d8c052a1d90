// Request heads that an origin could read two ways are refused; every
// well-formed head passes untouched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "request_framing.h"

namespace kel::server::test {
namespace {

using namespace std::string_literals;

const std::string kLine = "POST http://127.0.0.1:8080/form HTTP/1.1\r\n";

// A head from the request line and field lines, with its blank line.
std::string head(const std::string &fields, const std::string &line = kLine) {
    return line + fields + "\r\n";
}

// Null when the head passes; the reason otherwise.
const char *fault(const std::string &text) { return request_framing_fault(text.c_str()); }

::testing::AssertionResult Passes(const std::string &text) {
    if (const char *reason = fault(text))
        return ::testing::AssertionFailure() << "refused (" << reason << "): " << ::testing::PrintToString(text);
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult Refused(const std::string &text) {
    if (fault(text) == nullptr) return ::testing::AssertionFailure() << "passed: " << ::testing::PrintToString(text);
    return ::testing::AssertionSuccess();
}

TEST(FramingAccepts, OrdinaryRequestsOfEveryShape) {
    for (const std::string &text : std::vector<std::string>{
             "GET http://a.test/x?y=1 HTTP/1.1\r\nHost: a.test\r\nAccept: */*\r\n\r\n",
             "GET http://a.test/ HTTP/1.0\r\n\r\n",
             "get http://a.test/ HTTP/1.1\r\n\r\n",
             "CONNECT a.test:443 HTTP/1.1\r\nHost: a.test:443\r\n\r\n",
             "GET /origin/form HTTP/1.1\r\nHost: a.test\r\n\r\n",
             "OPTIONS * HTTP/1.1\r\n\r\n",
             "DELETE http://a.test/r HTTP/1.1\r\n\r\n",
             "BREW http://a.test/pot HTTP/1.1\r\n\r\n",
             "M-SEARCH! http://a.test/ HTTP/1.1\r\n\r\n",
             head("Content-Length: 5\r\n"),
             head("Content-Length: 0\r\n"),
             head("Transfer-Encoding: chunked\r\n"),
             head("X-Empty:\r\nAccept: */*\r\n"),
             head("X-Blanks: \t \r\n"),
             head("Cookie: a=1; b=\"2:3\"\r\nUser-Agent: e2e/1.0 (x; y)\r\n"),
             head("X-Tab:\tvalue\twith\ttabs\t\r\n"),
             head("X-Obs: caf\xC3\xA9 \xFF\x80\r\n"),
             head("!#$%&'*+-.^_`|~09AZaz: v\r\n"),
         })
        EXPECT_TRUE(Passes(text));
}

TEST(FramingAccepts, TargetWithHighBytesAndPercentEscapes) {
    EXPECT_TRUE(Passes("GET http://a.test/caf\xC3\xA9/%20%0D%0A HTTP/1.1\r\n\r\n"));
}

TEST(FramingContentLength, AcceptsDigitsWithSurroundingBlanks) {
    for (const std::string value : {"5", " 5", "5 ", "\t5\t", "  \t 12345 \t", "007"})
        EXPECT_TRUE(Passes(head("Content-Length:" + value + "\r\n"))) << value;
}

TEST(FramingContentLength, AcceptsTheLargest63BitValue) {
    EXPECT_TRUE(Passes(head("Content-Length: 9223372036854775807\r\n")));
    EXPECT_TRUE(Passes(head("Content-Length: 0009223372036854775807\r\n")));
}

TEST(FramingContentLength, RefusesOneOverThe63BitRange) {
    EXPECT_TRUE(Refused(head("Content-Length: 9223372036854775808\r\n")));
    EXPECT_TRUE(Refused(head("Content-Length: 18446744073709551621\r\n")));  // 2^64 + 5 wraps to 5
    EXPECT_TRUE(Refused(head("Content-Length: 99999999999999999999999999\r\n")));
}

TEST(FramingContentLength, RefusesWhatIsNotOneRunOfDigits) {
    for (const std::string value : {"", " ", "\t", "5, 5", "5,5", "+5", "-1", "0x10", "5 5", "5a", "1e3", "5.0",
                                     "\"5\"", ":5", "5;x"})
        EXPECT_TRUE(Refused(head("Content-Length:" + value + "\r\n"))) << value;
}

TEST(FramingContentLength, RefusesSeveralFieldsEvenWithEqualValues) {
    EXPECT_TRUE(Refused(head("Content-Length: 5\r\nContent-Length: 5\r\n")));
    EXPECT_TRUE(Refused(head("Content-Length: 5\r\nContent-Length: 6\r\n")));
    EXPECT_TRUE(Refused(head("Content-Length: 5\r\nX-A: b\r\ncontent-length: 5\r\n")));
    EXPECT_TRUE(Refused(head("CONTENT-LENGTH: 0\r\ncontent-Length: 0\r\n")));
}

TEST(FramingContentLength, NameIsMatchedWithoutRegardToCase) {
    EXPECT_TRUE(Refused(head("content-length: x\r\n")));
    EXPECT_TRUE(Refused(head("CONTENT-LENGTH: 5\r\ntransfer-ENCODING: chunked\r\n")));
    // Look-alike names are ordinary fields.
    EXPECT_TRUE(Passes(head("Content-Lengths: x\r\nX-Content-Length: y\r\nContent-Length-: 5, 5\r\n")));
}

TEST(FramingTransferEncoding, RefusesItBesideContentLength) {
    EXPECT_TRUE(Refused(head("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding: chunked\r\nContent-Length: 0\r\n")));
}

TEST(FramingTransferEncoding, AcceptsListsThatEndInChunked) {
    for (const std::string value :
         {"chunked", "CHUNKED", "Chunked", " chunked ", "gzip, chunked", "gzip,chunked", "gzip , \tchunked",
          "deflate, gzip, chunked", "x-custom;p=1, chunked"})
        EXPECT_TRUE(Passes(head("Transfer-Encoding:" + value + "\r\n"))) << value;
}

TEST(FramingTransferEncoding, RefusesListsWhoseLastCodingIsNotChunked) {
    for (const std::string value : {"gzip", "chunked, gzip", "identity", "chunkedx", "xchunked", "chunked;x=1",
                                     "\"chunked\"", "chunked, chunked", "chunked , chunked"})
        EXPECT_TRUE(Refused(head("Transfer-Encoding: " + value + "\r\n"))) << value;
}

TEST(FramingTransferEncoding, RefusesEmptyValuesAndEmptyMembers) {
    for (const std::string value : {"", " ", "\t", ",", "chunked,", ", chunked", "gzip,,chunked"})
        EXPECT_TRUE(Refused(head("Transfer-Encoding:" + value + "\r\n"))) << value;
}

TEST(FramingTransferEncoding, SeveralFieldsCombineAsOneList) {
    EXPECT_TRUE(Passes(head("Transfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n")));
    EXPECT_TRUE(Passes(head("transfer-encoding: gzip\r\nX-A: b\r\nTransfer-Encoding: chunked\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding: chunked\r\nTransfer-Encoding: gzip\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding: chunked\r\ntransfer-encoding: chunked\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding: gzip\r\nTransfer-Encoding:\r\n")));
}

TEST(FramingTransferEncoding, RefusesFieldsThatWouldReachTheOriginReordered) {
    // The header record keeps one entry per exact name, in first place with
    // the last value: the origin would read "chunked, gzip".
    EXPECT_TRUE(Refused(head("Transfer-Encoding: gzip\r\ntransfer-encoding: gzip\r\n"
                             "Transfer-Encoding: chunked\r\n")));
    // Here the record sends "gzip, chunked" in both readings.
    EXPECT_TRUE(Passes(head("transfer-encoding: gzip\r\nTransfer-Encoding: x\r\nTransfer-Encoding: chunked\r\n")));
}

TEST(FramingTransferEncoding, RefusesItInAnHttp10Request) {
    EXPECT_TRUE(Refused(head("Transfer-Encoding: chunked\r\n", "POST http://a.test/ HTTP/1.0\r\n")));
    EXPECT_TRUE(Passes(head("Content-Length: 3\r\n", "POST http://a.test/ HTTP/1.0\r\n")));
}

TEST(FramingFieldNames, RefusesBlanksBeforeTheColon) {
    EXPECT_TRUE(Refused(head("Content-Length : 5\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding\t: chunked\r\n")));
    EXPECT_TRUE(Refused(head("X-A : b\r\n")));
    EXPECT_TRUE(Refused(head("X A: b\r\n")));
}

TEST(FramingFieldNames, RefusesEmptyNames) {
    EXPECT_TRUE(Refused(head(":\r\n")));
    EXPECT_TRUE(Refused(head(": value\r\n")));
    EXPECT_TRUE(Refused(head("X-A: b\r\n:Content-Length: 5\r\n")));
}

TEST(FramingFieldNames, RefusesLinesWithoutAColon) {
    // The parser would stop at such a line and drop every field after it.
    EXPECT_TRUE(Refused(head("Marker\r\nTransfer-Encoding: chunked\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding chunked\r\n")));
}

TEST(FramingFieldNames, RefusesEveryByteOutsideTheTokenSet) {
    const std::string tchars = "!#$%&'*+-.^_`|~";
    for (int c = 0; c < 256; ++c) {
        const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
        const bool is_tchar = alnum || (c != 0 && tchars.find(static_cast<char>(c)) != std::string::npos);
        if (c == 0 || c == '\r' || c == '\n' || c == ':') continue;  // line ends and the colon itself
        const std::string text = head("X" + std::string(1, static_cast<char>(c)) + "Y: v\r\n");
        EXPECT_EQ(fault(text) == nullptr, is_tchar) << "byte " << c;
    }
}

TEST(FramingControlBytes, RefusesControlsInFieldValues) {
    for (int c = 1; c < 0x20; ++c) {
        if (c == '\r' || c == '\n') continue;
        const std::string text = head("X-A: a" + std::string(1, static_cast<char>(c)) + "b\r\n");
        EXPECT_EQ(fault(text) == nullptr, c == '\t') << "byte " << c;
    }
    EXPECT_TRUE(Refused(head("X-A: a\x7F" "b\r\n")));
    EXPECT_TRUE(Refused(head("X-A: \x1B[31m\r\n")));
    EXPECT_TRUE(Passes(head("X-A: \x80\x9F\xA0\xFF\r\n")));
}

TEST(FramingControlBytes, RefusesControlsInTheTarget) {
    for (int c = 1; c < 0x20; ++c) {
        if (c == '\r' || c == '\n') continue;
        EXPECT_TRUE(Refused("GET http://a.test/a" + std::string(1, static_cast<char>(c)) + "b HTTP/1.1\r\n\r\n"))
            << "byte " << c;
    }
    EXPECT_TRUE(Refused("GET http://a.test/a\x7F HTTP/1.1\r\n\r\n"));
}

TEST(FramingControlBytes, RefusesAHeadCutShortByANulByte) {
    // The received text ends at its first NUL, before the blank line.
    const std::string received = "GET http://a.test/ HTTP/1.1\r\nX-A: b\0\r\nTransfer-Encoding: chunked\r\n\r\n"s;
    EXPECT_TRUE(Refused(received));
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\r\nX-A: b"));
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\r\n"));
    EXPECT_TRUE(Refused(""));
    EXPECT_NE(request_framing_fault(nullptr), nullptr);
}

TEST(FramingLineEnds, RefusesBareLf) {
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\nHost: a\r\n\r\n"));
    EXPECT_TRUE(Refused(head("X-A: b\nTransfer-Encoding: chunked\r\n")));
    EXPECT_TRUE(Refused(head("X-A: b\n\r\n")));
    EXPECT_TRUE(Refused("\nGET http://a.test/ HTTP/1.1\r\n\r\n"));
}

TEST(FramingLineEnds, RefusesBareCr) {
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\rHost: a\r\n\r\n"));
    EXPECT_TRUE(Refused(head("X-A: b\rContent-Length: 5\r\n")));
    EXPECT_TRUE(Refused(head("X-A: b\r\r\n")));
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\r\n\r\n\r"));
}

TEST(FramingLineEnds, RefusesLinesAfterTheBlankLine) {
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\r\n\r\nContent-Length: 5\r\n\r\n"));
    EXPECT_TRUE(Refused("GET http://a.test/ HTTP/1.1\r\n\r\n\r\n"));
}

TEST(FramingLineEnds, RefusesEmptyLinesBeforeTheRequestLine) {
    EXPECT_TRUE(Refused("\r\nGET http://a.test/ HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(Refused("\r\n\r\n"));
}

TEST(FramingFolding, RefusesContinuationLines) {
    EXPECT_TRUE(Refused(head("X-A: b\r\n c\r\n")));
    EXPECT_TRUE(Refused(head("X-A: b\r\n\tc\r\n")));
    EXPECT_TRUE(Refused(head("Transfer-Encoding: gzip,\r\n chunked\r\n")));
    EXPECT_TRUE(Refused(head(" X-A: b\r\n")));  // blanks before the first field line
    EXPECT_TRUE(Refused(head("\tX-A: b\r\n")));
}

TEST(FramingRequestLine, AcceptsExactlyTwoSingleSpaces) {
    EXPECT_TRUE(Passes("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(Passes("X * HTTP/1.0\r\n\r\n"));
}

TEST(FramingRequestLine, RefusesStrayBlanks) {
    for (const std::string line :
         {"GET  http://a.test/ HTTP/1.1", "GET http://a.test/  HTTP/1.1", "GET http://a.test/ HTTP/1.1 ",
          " GET http://a.test/ HTTP/1.1", "GET\thttp://a.test/ HTTP/1.1", "GET http://a.test/\tHTTP/1.1",
          "GET http://a.test/ HTTP/1.1\t", "GET http://a.test/ x HTTP/1.1", "GET http://a.test/ HTTP/1.1 x"})
        EXPECT_TRUE(Refused(line + "\r\n\r\n")) << line;
}

TEST(FramingRequestLine, RefusesMissingParts) {
    for (const std::string line : {"GET", "GET ", "GET http://a.test/", "GET http://a.test/ ", " http://a.test/ HTTP/1.1",
                                    "GET  HTTP/1.1", "garbage"})
        EXPECT_TRUE(Refused(line + "\r\n\r\n")) << line;
}

TEST(FramingRequestLine, RefusesMethodsThatAreNotTokens) {
    for (const std::string method : {"G(ET", "GE\"T", "G/ET", "GET:", "G@T", "G\xC3\xA9T", "G,ET", "[GET]"})
        EXPECT_TRUE(Refused(method + " http://a.test/ HTTP/1.1\r\n\r\n")) << method;
}

TEST(FramingRequestLine, VersionIsExactAndCaseSensitive) {
    for (const std::string version : {"HTTP/1.1", "HTTP/1.0"})
        EXPECT_TRUE(Passes("GET http://a.test/ " + version + "\r\n\r\n")) << version;
    for (const std::string version : {"http/1.1", "Http/1.1", "HTTP/1.2", "HTTP/2.0", "HTTP/1", "HTTP/1.10",
                                       "HTTP/01.1", "HTTP/1.1x", "HTTP /1.1", "HTTP/0.9", "HTTPS/1.1", ""})
        EXPECT_TRUE(Refused("GET http://a.test/ " + version + "\r\n\r\n")) << version;
}

TEST(FramingReasons, NameWhatWasRefused) {
    EXPECT_STREQ(fault(head("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n")),
                 "both Content-Length and Transfer-Encoding");
    EXPECT_STREQ(fault(head("Content-Length: 5\r\nContent-Length: 5\r\n")), "several Content-Length fields");
    EXPECT_STREQ(fault(head("X-A: b\r\n c\r\n")), "folded field line");
    EXPECT_STREQ(fault("GET http://a.test/ HTTP/1.1\nX: y\r\n\r\n"), "bare LF in request head");
}

TEST(TargetEncoding, WritesEveryByteFrom0x80AsPercentAndUpperCaseHex) {
    std::string all;
    for (int c = 0x80; c <= 0xFF; ++c) all += static_cast<char>(c);
    const std::string encoded = percent_encode_non_ascii(all);
    ASSERT_EQ(encoded.size(), 3u * 128);
    EXPECT_EQ(encoded.substr(0, 6), "%80%81");
    EXPECT_EQ(encoded.substr(encoded.size() - 6), "%FE%FF");
    EXPECT_EQ(percent_encode_non_ascii("/caf\xC3\xA9?q=\xFF"), "/caf%C3%A9?q=%FF");
}

TEST(TargetEncoding, LeavesAsciiAndExistingEscapesAsTheyAre) {
    std::string ascii;
    for (int c = 0x21; c < 0x7F; ++c) ascii += static_cast<char>(c);
    EXPECT_EQ(percent_encode_non_ascii(ascii), ascii);
    EXPECT_EQ(percent_encode_non_ascii("/a%20b%zz%"), "/a%20b%zz%");
    EXPECT_EQ(percent_encode_non_ascii(""), "");
}

TEST(TargetEncoding, AppliesToThePathOfAParsedRequestOnly) {
    kelHttpEntete *che = kelHttpE_cree_str("GET http://h\xC3\xB4te.test:8080/p\xE9?x=\xFF HTTP/1.1\r\n\r\n",
                                           KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    ASSERT_TRUE(encode_target_non_ascii(che));
    EXPECT_STREQ(che->chemin, "/p%E9?x=%FF");
    EXPECT_STREQ(che->hote, "h\xC3\xB4te.test");  // only ever resolved, never forwarded
    char *line = kelHttpE_en_str(che, 0);
    ASSERT_NE(line, nullptr);
    EXPECT_STREQ(line, "GET /p%E9?x=%FF HTTP/1.1\r\n\r\n");
    EXPECT_EQ(fault(line), nullptr);
    std::free(line);
    kelHttpE_detruit(&che);
}

TEST(TargetEncoding, PlainTargetKeepsItsOwnString) {
    kelHttpEntete *che = kelHttpE_cree_str("GET http://a.test/x%41 HTTP/1.1\r\n\r\n", KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    const char *before = che->chemin;
    ASSERT_TRUE(encode_target_non_ascii(che));
    EXPECT_EQ(che->chemin, before);
    EXPECT_STREQ(che->chemin, "/x%41");
    kelHttpE_detruit(&che);
}

}  // namespace
}  // namespace kel::server::test
