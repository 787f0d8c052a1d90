#include <gtest/gtest.h>

#include <string>

#include "kelhttpe.h"
#include "test_support.h"

using kel::test::fresh;
using kel::test::owned;
using kel::test::Record;

namespace {

Record parsed(const std::string &text, kelHttpE_type type) {
    return Record(kelHttpE_cree_str(text.c_str(), type));
}

}  // namespace

TEST(RequestSerialisation, WritesOriginFormByteForByte) {
    Record che = parsed("GET http://h/x?y=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n",
                        KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)),
              "GET /x?y=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(owned(kelHttpE_en_str_requete(che.get(), 1)),
              "GET http://h/x?y=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n");
}

TEST(RequestSerialisation, AbsoluteFormLeavesOutOnlyPort80) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "GET", "http://h/p", "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 1)), "http://h/p");
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 0)), "/p");
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "GET", "http://h:8080/p", "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 1)), "http://h:8080/p");
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "GET", "ftp://files/pub/f", "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 7)), "ftp://files:21/pub/f");
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "GET", "ftp://files:80/f", "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 1)), "ftp://files/f");
}

// An absolute URI without a path used to be forwarded with an empty request
// target ("GET  HTTP/1.1").
TEST(RequestSerialisation, EmptyPathIsWrittenAsSlashInOriginForm) {
    Record che = parsed("GET http://host HTTP/1.1\r\nHost: host\r\n\r\n", KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    EXPECT_STREQ(che->chemin, "");
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), "GET / HTTP/1.1\r\nHost: host\r\n\r\n");
    EXPECT_EQ(owned(kelHttpE_en_str_uri(che.get(), 0)), "/");
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 1)), "GET http://host HTTP/1.1\r\nHost: host\r\n\r\n");
}

TEST(RequestSerialisation, RoundTripsAbsoluteRequestsUnchanged) {
    const char *texts[] = {
        "GET http://h:8080/a/b?c=d&e HTTP/1.1\r\nHost: h:8080\r\nUser-Agent: t/1.0 (x; y)\r\n\r\n",
        "POST http://10.0.0.7/form HTTP/1.0\r\nContent-Length: 3\r\nX-Empty: \r\n\r\n",
        "OPTIONS http://h/ HTTP/1.1\r\n\r\n",
        "GET ftp://files:21/pub/ HTTP/1.1\r\nA: \tb  \r\n\r\n",
    };
    for (const char *text : texts) {
        Record che = parsed(text, KEL_HE_REQUETE);
        ASSERT_NE(che, nullptr) << text;
        EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 1)), text);
        Record again = parsed(owned(kelHttpE_en_str(che.get(), 1)), KEL_HE_REQUETE);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(owned(kelHttpE_en_str(again.get(), 0)), owned(kelHttpE_en_str(che.get(), 0)));
    }
}

TEST(RequestSerialisation, NormalisesFieldSeparatorsAndLineEnds) {
    Record che = parsed("GET http://h/ HTTP/1.1\nA:b\nB :  c\n\n", KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), "GET / HTTP/1.1\r\nA: b\r\nB: c\r\n\r\n");
}

TEST(RequestSerialisation, MissingStartLinePartGivesNull) {
    Record che = fresh();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_en_str(che.get(), 0), nullptr);
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "GET", "http://h/", "HTTP/1.1"), 0);
    char *saved = che->hote;
    che->hote = nullptr;
    EXPECT_EQ(kelHttpE_en_str(che.get(), 1), nullptr);
    EXPECT_EQ(kelHttpE_en_str_uri(che.get(), 1), nullptr);
    EXPECT_NE(owned(kelHttpE_en_str(che.get(), 0)), "<null>") << "origin form needs no host";
    che->hote = saved;
    EXPECT_EQ(kelHttpE_en_str(nullptr, 0), nullptr);
    EXPECT_EQ(kelHttpE_en_str_requete(nullptr, 0), nullptr);
    EXPECT_EQ(kelHttpE_en_str_reponse(nullptr), nullptr);
    EXPECT_EQ(kelHttpE_en_str_uri(nullptr, 0), nullptr);
    EXPECT_EQ(kelHttpE_params_en_str(nullptr), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: kelhttpe line "), std::string::npos);
}

TEST(ResponseSerialisation, WritesPhraseOfCodeNotTheStoredOne) {
    Record okay = parsed("HTTP/1.1 200 Okay\r\nA: b\r\n\r\n", KEL_HE_REPONSE);
    ASSERT_NE(okay, nullptr);
    EXPECT_STREQ(okay->message, "Okay");
    EXPECT_EQ(owned(kelHttpE_en_str(okay.get(), 1)), "HTTP/1.1 200 OK\r\nA: b\r\n\r\n");
    Record odd = parsed("HTTP/1.1 299 Whatever\r\n\r\n", KEL_HE_REPONSE);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(owned(kelHttpE_en_str_reponse(odd.get())), "HTTP/1.1 299 Unknown\r\n\r\n");
}

TEST(ResponseSerialisation, RoundTripsCanonicalResponses) {
    const char *texts[] = {
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/html\r\nContent-Length: 0\r\n\r\n",
        "HTTP/1.0 306 (unused)\r\n\r\n",
        "HTTP/1.1 505 HTTP Version Not Supported\r\nX-Empty: \r\n\r\n",
    };
    for (const char *text : texts) {
        Record che = parsed(text, KEL_HE_REPONSE);
        ASSERT_NE(che, nullptr) << text;
        EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), text);
    }
}

TEST(ResponseSerialisation, BuiltResponseWithoutFieldsEndsInOneEmptyLine) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 200, "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), "HTTP/1.1 200 OK\r\n\r\n");
    EXPECT_EQ(owned(kelHttpE_params_en_str(che.get())), "");
}

TEST(ResponseSerialisation, EmptyValueIsNameColonSpace) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 204, "HTTP/1.1"), 0);
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "X-Empty", ""), 0);
    EXPECT_EQ(owned(kelHttpE_params_en_str(che.get())), "X-Empty: \r\n");
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), "HTTP/1.1 204 No Content\r\nX-Empty: \r\n\r\n");
}

TEST(Serialisation, UnknownTypeGivesNullWithReport) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 200, "HTTP/1.1"), 0);
    che->type = static_cast<kelHttpE_type>(5);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_en_str(che.get(), 0), nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: Type inconnu\nkelhttpe line "),
              std::string::npos);
}

// ---------------------------------------------------------------------------

struct PhraseCase {
    int32_t code;
    const char *phrase;
};

class StatusPhrase : public testing::TestWithParam<PhraseCase> {};

TEST_P(StatusPhrase, MatchesGroupBoundaries) {
    EXPECT_STREQ(kelHttpE_code_en_str(GetParam().code), GetParam().phrase) << GetParam().code;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, StatusPhrase,
    testing::Values(PhraseCase{99, "Unknown"}, PhraseCase{100, "Continue"},
                    PhraseCase{101, "Switching Protocols"}, PhraseCase{102, "Unknown"},
                    PhraseCase{199, "Unknown"}, PhraseCase{200, "OK"},
                    PhraseCase{206, "Partial Content"}, PhraseCase{207, "Unknown"},
                    PhraseCase{299, "Unknown"}, PhraseCase{300, "Multiple Choices"},
                    PhraseCase{306, "(unused)"}, PhraseCase{307, "Temporary Redirect"},
                    PhraseCase{308, "Unknown"}, PhraseCase{399, "Unknown"},
                    PhraseCase{400, "Bad Request"}, PhraseCase{407, "Proxy Authentication Required"},
                    PhraseCase{417, "Expectation Failed"}, PhraseCase{418, "Unknown"},
                    PhraseCase{499, "Unknown"}, PhraseCase{500, "Internal Server Error"},
                    PhraseCase{505, "HTTP Version Not Supported"}, PhraseCase{506, "Unknown"},
                    PhraseCase{0, "Unknown"}, PhraseCase{-1, "Unknown"},
                    PhraseCase{-2147483647 - 1, "Unknown"}, PhraseCase{2147483647, "Unknown"}));

TEST(StatusPhrases, StatusLineFor306EndsWithThePhrase) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 306, "HTTP/1.1"), 0);
    EXPECT_EQ(owned(kelHttpE_en_str(che.get(), 0)), "HTTP/1.1 306 (unused)\r\n\r\n");
}
