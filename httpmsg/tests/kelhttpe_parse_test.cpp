#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "kelhttpe.h"
#include "test_support.h"

using kel::test::fields;
using kel::test::fresh;
using kel::test::Record;
using kel::test::str_or_null;

namespace {

Record parse_request(const std::string &text, int32_t *result = nullptr) {
    Record che = fresh();
    const int32_t r = kelHttpE_remplit_str_requete(che.get(), text.c_str());
    if (result) *result = r;
    return che;
}

Record parse_response(const std::string &text, int32_t *result = nullptr) {
    Record che = fresh();
    const int32_t r = kelHttpE_remplit_str_reponse(che.get(), text.c_str());
    if (result) *result = r;
    return che;
}

std::string many_fields(int n) {
    std::string text = "GET http://h/ HTTP/1.1\r\n";
    for (int i = 0; i < n; ++i) text += "X-F" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
    return text + "\r\n";
}

}  // namespace

TEST(RequestParsing, SplitsRequestLineAndFieldsInOrder) {
    int32_t r = 1;
    Record che = parse_request("GET http://h/x HTTP/1.1\r\nHost: h\r\nAccept: */*\r\n\r\n", &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(che->type, KEL_HE_REQUETE);
    EXPECT_STREQ(che->methode, "GET");
    EXPECT_STREQ(che->protocole, "http");
    EXPECT_STREQ(che->hote, "h");
    EXPECT_EQ(che->port, 80);
    EXPECT_STREQ(che->chemin, "/x");
    EXPECT_STREQ(che->version, "HTTP/1.1");
    EXPECT_EQ(fields(che.get()), "Host=h;Accept=*/*;");
}

TEST(RequestParsing, RepeatedNameKeepsLastValueAtFirstPlace) {
    Record same = parse_request("GET http://h/ HTTP/1.1\r\nHost: h\r\nA: 1\r\nHost: g\r\n\r\n");
    EXPECT_EQ(fields(same.get()), "Host=g;A=1;");
    Record cased = parse_request("GET http://h/ HTTP/1.1\r\nHost: h\r\nhost: g\r\n\r\n");
    EXPECT_EQ(fields(cased.get()), "Host=h;host=g;");
}

TEST(RequestParsing, ValueLosesLeadingSeparatorsAndKeepsTheRest) {
    Record che = parse_request(
        "GET http://h/ HTTP/1.1\r\nA:   v w  \r\nB::x\r\nC \ty\r\nD: e:f\r\nE x\r\n\r\n");
    EXPECT_EQ(fields(che.get()), "A=v w  ;B=x;C=\ty;D=e:f;E=x;");
}

// A field with an empty value used to end the parse, dropping every later
// field (Host, Cookie, ...) from the forwarded request.
TEST(RequestParsing, EmptyValueIsStoredAndParsingGoesOn) {
    int32_t r = 1;
    Record che = parse_request(
        "GET http://h/ HTTP/1.1\r\nX-Empty:\r\nX-Blank: \r\nX-Space \r\nHost: h\r\n\r\n", &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(fields(che.get()), "X-Empty=;X-Blank=;X-Space=;Host=h;");
}

TEST(RequestParsing, LineWithoutSeparatorEndsTheHeaderSuccessfully) {
    int32_t r = 1;
    Record che = parse_request("GET http://h/ HTTP/1.1\r\nA: 1\r\nLoneWord\r\nB: 2\r\n\r\n", &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fields(che.get()), "A=1;");
    Record colons = parse_request("GET http://h/ HTTP/1.1\r\nA: 1\r\n : \r\nB: 2\r\n\r\n", &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fields(colons.get()), "A=1;");
}

TEST(RequestParsing, HundredFieldsFitAndTheHundredAndFirstFails) {
    int32_t r = 1;
    Record full = parse_request(many_fields(100), &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(full->param_nb, 100);
    EXPECT_STREQ(full->param[99], "X-F99");
    EXPECT_STREQ(full->param_val[99], "v99");

    testing::internal::CaptureStderr();
    parse_request(many_fields(101), &r);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1);
    EXPECT_NE(err.find("ERROR: Nombre de paramètres excédé\nkelhttpe line "), std::string::npos)
        << err;
    EXPECT_EQ(kelHttpE_cree_str(many_fields(101).c_str(), KEL_HE_REQUETE), nullptr);
}

TEST(RequestParsing, AcceptsLoneLineFeeds) {
    int32_t r = 1;
    Record che = parse_request("GET http://h/x HTTP/1.0\nHost: h\nA: b\n\n", &r);
    ASSERT_EQ(r, 0);
    EXPECT_STREQ(che->version, "HTTP/1.0");
    EXPECT_EQ(fields(che.get()), "Host=h;A=b;");
}

TEST(RequestParsing, HandlesTextWithoutAnyLineEnd) {
    int32_t r = 1;
    Record line_only = parse_request("GET http://h/x HTTP/1.1", &r);
    EXPECT_EQ(r, 0);
    EXPECT_STREQ(line_only->version, "HTTP/1.1");
    EXPECT_EQ(line_only->param_nb, 0);

    testing::internal::CaptureStderr();
    parse_request("GET http://h/x", &r);
    EXPECT_EQ(r, -1) << "missing version";
    parse_request("GET", &r);
    EXPECT_EQ(r, -2) << "missing URI";
    parse_request("GET    ", &r);
    EXPECT_EQ(r, -2) << "missing URI after spaces";
    parse_request("", &r);
    EXPECT_EQ(r, -1) << "missing method";
    parse_request("   ", &r);
    EXPECT_EQ(r, -1) << "only spaces";
    parse_request("\r\n\r\n", &r);
    EXPECT_EQ(r, -2) << "only line ends: the method is the line ends themselves";
    testing::internal::GetCapturedStderr();
}

TEST(RequestParsing, TextEndsAtFirstNulByte) {
    const std::string text =
        std::string("GET http://h/x HTTP/1.1\r\nA: b") + '\0' + "c\r\nD: e\r\n\r\n";
    int32_t r = 1;
    Record che = parse_request(text, &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(fields(che.get()), "A=b;");
}

TEST(RequestParsing, KeepsHugeFieldValueWhole) {
    const std::string big(100000, 'v');
    int32_t r = 1;
    Record che = parse_request("GET http://h/ HTTP/1.1\r\nBig: " + big + "\r\nAfter: 1\r\n\r\n", &r);
    ASSERT_EQ(r, 0);
    ASSERT_EQ(che->param_nb, 2);
    EXPECT_EQ(std::string(che->param_val[0]), big);
    EXPECT_STREQ(che->param[1], "After");
}

TEST(RequestParsing, TakesConnectAuthorityForm) {
    int32_t r = 1;
    Record che = parse_request("CONNECT host:443 HTTP/1.1\r\nHost: host:443\r\n\r\n", &r);
    ASSERT_EQ(r, 0);
    EXPECT_STREQ(che->methode, "CONNECT");
    EXPECT_STREQ(che->hote, "host");
    EXPECT_EQ(che->port, 443);
    EXPECT_STREQ(che->chemin, "");
    EXPECT_EQ(fields(che.get()), "Host=host:443;");
}

TEST(RequestParsing, FailedUriGivesMinusOneAndNoRecord) {
    int32_t r = 1;
    testing::internal::CaptureStderr();
    parse_request("GET http://h:70000/ HTTP/1.1\r\n\r\n", &r);
    EXPECT_EQ(r, -1);
    EXPECT_EQ(kelHttpE_cree_str("GET http://h:0/ HTTP/1.1\r\n\r\n", KEL_HE_REQUETE), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("port non valide"), std::string::npos);
}

TEST(RequestParsing, EmptiesAnEarlierFieldList) {
    Record che = parse_request("GET http://h/ HTTP/1.1\r\nA: 1\r\nB: 2\r\n\r\n");
    ASSERT_EQ(kelHttpE_remplit_str_requete(che.get(), "PUT http://g/y HTTP/1.0\r\nC: 3\r\n\r\n"), 0);
    EXPECT_EQ(fields(che.get()), "C=3;");
    EXPECT_STREQ(che->methode, "PUT");
    EXPECT_STREQ(che->hote, "g");
}

TEST(ResponseParsing, SplitsStatusLine) {
    int32_t r = 1;
    Record che = parse_response("HTTP/1.0 404 Not Found\r\nServer: s\r\nX-Empty:\r\nA: b\r\n\r\n", &r);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(che->type, KEL_HE_REPONSE);
    EXPECT_STREQ(che->version, "HTTP/1.0");
    EXPECT_EQ(che->code, 404);
    EXPECT_STREQ(che->message, "Not Found");
    EXPECT_EQ(fields(che.get()), "Server=s;X-Empty=;A=b;");
}

TEST(ResponseParsing, ReportsEachMissingPart) {
    int32_t r = 1;
    testing::internal::CaptureStderr();
    parse_response("", &r);
    EXPECT_EQ(r, -1);
    parse_response("HTTP/1.1", &r);
    EXPECT_EQ(r, -2);
    parse_response("HTTP/1.1 200", &r);
    EXPECT_EQ(r, -3);
    parse_response("HTTP/1.1 200 \r\n", &r);
    EXPECT_EQ(r, -3);
    testing::internal::GetCapturedStderr();
    Record letters = parse_response("HTTP/1.1 abc Weird\r\n\r\n", &r);
    EXPECT_EQ(r, 0);
    EXPECT_EQ(letters->code, 0);
}

TEST(ResponseParsing, UnknownTypeIsRefused) {
    Record che = fresh();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_remplit_str(che.get(), "HTTP/1.1 200 OK\r\n\r\n", static_cast<kelHttpE_type>(2)),
              -1);
    EXPECT_EQ(kelHttpE_cree_str("HTTP/1.1 200 OK\r\n\r\n", static_cast<kelHttpE_type>(-7)), nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Type inconnu\nkelhttpe line "), std::string::npos) << err;
    Record resp(kelHttpE_cree_str("HTTP/1.1 200 OK\r\n\r\n", KEL_HE_REPONSE));
    ASSERT_NE(resp, nullptr);
    EXPECT_EQ(resp->code, 200);
}

// ---------------------------------------------------------------------------

struct UriCase {
    const char *uri;
    int32_t result;
    const char *scheme;
    const char *host;
    int32_t port;
    const char *path;
};

class UriDecomposition : public testing::TestWithParam<UriCase> {};

TEST_P(UriDecomposition, GivesSchemeHostPortPath) {
    const UriCase &c = GetParam();
    Record che = fresh();
    testing::internal::CaptureStderr();
    const int32_t r = kelHttpE_decortique_uri(che.get(), c.uri);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(r, c.result) << c.uri;
    if (r == -3) {
        EXPECT_NE(err.find("port non valide"), std::string::npos);
    }
    if (r != 0) return;
    EXPECT_TRUE(err.empty()) << err;
    EXPECT_EQ(str_or_null(che->protocole), c.scheme);
    EXPECT_EQ(str_or_null(che->hote), c.host);
    EXPECT_EQ(che->port, c.port);
    EXPECT_EQ(str_or_null(che->chemin), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    Table, UriDecomposition,
    testing::Values(UriCase{"http://origin/a/b?x=1", 0, "http", "origin", 80, "/a/b?x=1"},
                    UriCase{"http://host:8080/", 0, "http", "host", 8080, "/"},
                    UriCase{"http://host", 0, "http", "host", 80, ""},
                    UriCase{"http://host//a", 0, "http", "host", 80, "/a"},
                    UriCase{"ftp://files/pub/", 0, "ftp", "files", 21, "/pub/"},
                    UriCase{"FTP://files/", 0, "FTP", "files", 21, "/"},
                    UriCase{"https://vault/", 0, "https", "vault", 8080, "/"},
                    UriCase{"gopher://g/", 0, "gopher", "g", 80, "/"},
                    UriCase{"host:443", 0, "http", "host", 443, ""},
                    UriCase{"/index.html", 0, "http", "index.html", 80, ""},
                    UriCase{"/a/b", 0, "http", "a", 80, "/b"},
                    UriCase{"http:///", 0, "http", "", 80, ""},
                    UriCase{"x://", 0, "x", "", 80, "/"},
                    UriCase{"http://h:65535/p", 0, "http", "h", 65535, "/p"},
                    UriCase{"http://h:1/p", 0, "http", "h", 1, "/p"},
                    UriCase{"http://h:8080abc/p", 0, "http", "h", 8080, "/p"},
                    UriCase{"http://h::81/p", 0, "http", "h", 81, "/p"},
                    UriCase{"http://h:00080/p", 0, "http", "h", 80, "/p"},
                    UriCase{"http://host:0/", -2, "", "", 0, ""},
                    UriCase{"http://host:/", -2, "", "", 0, ""},
                    UriCase{"http://host:", -2, "", "", 0, ""},
                    UriCase{"http://host:x/", -2, "", "", 0, ""},
                    UriCase{"http://:::/", -2, "", "", 0, ""},
                    UriCase{"http://host:70000/", -3, "", "", 0, ""},
                    UriCase{"http://host:65536/", -3, "", "", 0, ""},
                    UriCase{"http://host:4294967376/", -3, "", "", 0, ""},
                    UriCase{"http://host:99999999999999999999/", -3, "", "", 0, ""},
                    UriCase{"://", -1, "", "", 0, ""},
                    UriCase{"://x", -1, "", "", 0, ""},
                    UriCase{":://x:", -1, "", "", 0, ""},
                    UriCase{":///", -1, "", "", 0, ""},
                    // IPv6 literals keep their brackets; their colons are not the port's.
                    UriCase{"http://[2001:db8::1]:8080/x?y", 0, "http", "[2001:db8::1]", 8080, "/x?y"},
                    UriCase{"http://[::1]/", 0, "http", "[::1]", 80, "/"},
                    UriCase{"http://[::1]", 0, "http", "[::1]", 80, ""},
                    UriCase{"ftp://[fe80::1%25eth0]:2121/pub", 0, "ftp", "[fe80::1%25eth0]", 2121, "/pub"},
                    UriCase{"[2001:db8::1]:443", 0, "http", "[2001:db8::1]", 443, ""},
                    UriCase{"http://[::1/", -2, "", "", 0, ""},
                    UriCase{"http://[::1]x/", -2, "", "", 0, ""},
                    UriCase{"http://[::1]:/", -2, "", "", 0, ""},
                    UriCase{"http://[::1]:70000/", -3, "", "", 0, ""},
                    // Only an address goes between the brackets.
                    UriCase{"http://[\xff\xff:\xff]/", -2, "", "", 0, ""},
                    UriCase{"http://[a.test]/", -2, "", "", 0, ""},
                    UriCase{":[4:4", -2, "", "", 0, ""},
                    UriCase{"http://a]b/", -2, "", "", 0, ""},
                    UriCase{"http://[1:2]/", -2, "", "", 0, ""},
                    UriCase{"http://[::1%]/", -2, "", "", 0, ""},
                    UriCase{"http://[::1%25a b]/", -2, "", "", 0, ""},
                    UriCase{"http://[::ffff:10.0.0.1]:81/", 0, "http", "[::ffff:10.0.0.1]", 81, "/"}));

TEST(Serialisation, IpV6HostKeepsItsBracketsInTheAbsoluteForm) {
    Record che(kelHttpE_cree_str("GET http://[2001:db8::1]:8080/p HTTP/1.1\r\n\r\n", KEL_HE_REQUETE));
    ASSERT_NE(che, nullptr);
    std::unique_ptr<char, void (*)(void *)> uri(kelHttpE_en_str_uri(che.get(), 1), &std::free);
    ASSERT_NE(uri, nullptr);
    EXPECT_STREQ(uri.get(), "http://[2001:db8::1]:8080/p");
}

// A URI whose scheme token swallows the "://" used to be walked two
// characters past its end (found by the fuzz target as ":///").
TEST(RequestParsing, UriWithNothingBehindItsSchemeIsRefused) {
    int32_t r = 1;
    testing::internal::CaptureStderr();
    parse_request("GET :/// HTTP/1.1\r\nHost: h\r\n\r\n", &r);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -1);
}

TEST(UriDecompositionArguments, NullIsRefused) {
    Record che = fresh();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_decortique_uri(nullptr, "http://h/"), -1);
    EXPECT_EQ(kelHttpE_decortique_uri(che.get(), nullptr), -1);
    EXPECT_FALSE(testing::internal::GetCapturedStderr().empty());
}

// ---------------------------------------------------------------------------

TEST(FieldList, RemovingMovesLastEntryIntoThePlace) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "A", "1"), 0);
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "B", "2"), 0);
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "C", "3"), 0);
    EXPECT_EQ(kelHttpE_enleve_param(che.get(), "A"), 0);
    EXPECT_EQ(fields(che.get()), "C=3;B=2;");
    EXPECT_EQ(che->param[2], nullptr);
    EXPECT_EQ(kelHttpE_enleve_param(che.get(), "Absent"), 0);
    EXPECT_EQ(kelHttpE_enleve_param(che.get(), "B"), 0);
    EXPECT_EQ(fields(che.get()), "C=3;");
}

TEST(FieldList, LookupIsCaseSensitiveAndBorrowed) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "Host", "h"), 0);
    EXPECT_STREQ(kelHttpE_recup_param(che.get(), "Host"), "h");
    EXPECT_EQ(kelHttpE_recup_param(che.get(), "host"), nullptr);
    EXPECT_EQ(kelHttpE_recup_param(che.get(), "Hos"), nullptr);
    EXPECT_EQ(kelHttpE_recup_param(che.get(), "Host"), che->param_val[0]);
}

TEST(FieldList, ReplacingInAFullListWorksAppendingFails) {
    Record che = fresh();
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(kelHttpE_ajoute_param(che.get(), ("N" + std::to_string(i)).c_str(), "v"), 0);
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), "N57", "new"), 0);
    EXPECT_STREQ(che->param_val[57], "new");
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), "N100", "v"), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Nombre de paramètres excédé"),
              std::string::npos);
    EXPECT_EQ(che->param_nb, 100);
}

TEST(FieldList, AcceptsTheRecordsOwnStringsAsArguments) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "Name", "value"), 0);
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), che->param[0], che->param_val[0]), 0);
    EXPECT_EQ(fields(che.get()), "Name=value;");
}

TEST(FieldList, EntryWithoutNameIsReported) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "A", "1"), 0);
    char *saved = che->param[0];
    che->param[0] = nullptr;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), "B", "2"), -1);
    EXPECT_EQ(kelHttpE_enleve_param(che.get(), "B"), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Parametre null\nkelhttpe line "), std::string::npos) << err;
    che->param[0] = saved;
}

TEST(FieldList, NullArgumentsAreRefused) {
    Record che = fresh();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_ajoute_param(nullptr, "A", "1"), -1);
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), nullptr, "1"), -1);
    EXPECT_EQ(kelHttpE_ajoute_param(che.get(), "A", nullptr), -1);
    EXPECT_EQ(kelHttpE_enleve_param(nullptr, "A"), -1);
    EXPECT_EQ(kelHttpE_enleve_param(che.get(), nullptr), -1);
    EXPECT_EQ(kelHttpE_recup_param(nullptr, "A"), nullptr);
    EXPECT_EQ(kelHttpE_recup_param(che.get(), nullptr), nullptr);
    kelHttpE_vire_params(nullptr);
    EXPECT_EQ(kelHttpE_remplit_str_requete(nullptr, "GET / HTTP/1.1\r\n\r\n"), -1);
    EXPECT_EQ(kelHttpE_remplit_str_requete(che.get(), nullptr), -1);
    EXPECT_EQ(kelHttpE_remplit_str_reponse(nullptr, "HTTP/1.1 200 OK\r\n\r\n"), -1);
    EXPECT_EQ(kelHttpE_cree_str(nullptr, KEL_HE_REQUETE), nullptr);
    EXPECT_EQ(kelHttpE_remplit_requete(che.get(), nullptr, "http://h/", "HTTP/1.1"), -1);
    EXPECT_EQ(kelHttpE_remplit_requete(che.get(), "GET", nullptr, "HTTP/1.1"), -1);
    EXPECT_EQ(kelHttpE_remplit_get(nullptr, "http://h/"), -1);
    EXPECT_EQ(kelHttpE_remplit_get(che.get(), nullptr), -1);
    EXPECT_EQ(kelHttpE_remplit_reponse(nullptr, 200, "HTTP/1.1"), -1);
    EXPECT_EQ(kelHttpE_remplit_reponse(che.get(), 200, nullptr), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: kelhttpe line "), std::string::npos);
    EXPECT_EQ(che->param_nb, 0);
}

TEST(RecordLifetime, DestroyNullsThePointerAndASecondCallOnlyReports) {
    kelHttpEntete *che = kelHttpE_cree_str("GET http://h/x HTTP/1.1\r\nA: b\r\n\r\n", KEL_HE_REQUETE);
    ASSERT_NE(che, nullptr);
    kelHttpE_detruit(&che);
    EXPECT_EQ(che, nullptr);
    testing::internal::CaptureStderr();
    kelHttpE_detruit(&che);
    kelHttpE_detruit(nullptr);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("ERROR: kelhttpe line "), std::string::npos);
}

TEST(RecordLifetime, NewRecordIsAllZeros) {
    Record che = fresh();
    EXPECT_EQ(che->type, KEL_HE_REQUETE);
    EXPECT_EQ(che->param_nb, 0);
    EXPECT_EQ(che->port, 0);
    EXPECT_EQ(che->code, 0);
    EXPECT_EQ(che->methode, nullptr);
    EXPECT_EQ(che->version, nullptr);
}

// ---------------------------------------------------------------------------

TEST(Builders, GetRequestCarriesHostWithoutPort) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "Old", "x"), 0);
    ASSERT_EQ(kelHttpE_remplit_get(che.get(), "http://host:8080/x"), 0);
    EXPECT_STREQ(che->methode, "GET");
    EXPECT_STREQ(che->version, "HTTP/1.1");
    EXPECT_EQ(che->port, 8080);
    EXPECT_STREQ(che->chemin, "/x");
    EXPECT_EQ(fields(che.get()), "Host=host;Accept=*/*;");
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelHttpE_remplit_get(che.get(), "http://host:0/"), -1);
    testing::internal::GetCapturedStderr();
}

TEST(Builders, RequestBuilderKeepsFields) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "Keep", "me"), 0);
    ASSERT_EQ(kelHttpE_remplit_requete(che.get(), "POST", "http://h:81/p", "HTTP/1.0"), 0);
    EXPECT_EQ(fields(che.get()), "Keep=me;");
    EXPECT_STREQ(che->methode, "POST");
    EXPECT_STREQ(che->version, "HTTP/1.0");
    EXPECT_EQ(che->port, 81);
}

TEST(Builders, ResponseTakesPhraseOfCode) {
    Record che = fresh();
    ASSERT_EQ(kelHttpE_ajoute_param(che.get(), "Old", "x"), 0);
    ASSERT_EQ(kelHttpE_remplit_reponse(che.get(), 306, "HTTP/1.1"), 0);
    EXPECT_EQ(che->type, KEL_HE_REPONSE);
    EXPECT_EQ(che->code, 306);
    EXPECT_STREQ(che->message, "(unused)");
    EXPECT_EQ(che->param_nb, 0);
}
