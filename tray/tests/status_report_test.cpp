// What the daemon says about its listeners, read from untrusted text.
#include <QByteArray>
#include <gtest/gtest.h>

#include "core/status_report.h"

namespace valdrin::tray::testing {
namespace {

const QByteArray kDaemonStatus =
    R"({"version":"1.1","uptime_seconds":12,"connections":{"open":1,"peak":3},)"
    R"("services":{"socks":{"sessions":0}},"dns":{"listening":"127.0.0.1:53"},)"
    R"("listening":[{"service":"http","address":"[::]:3128"},{"service":"socks","address":"[::]:1080"},)"
    R"({"service":"rdr","address":"[::]:8080"},{"service":"rdr","address":"[::]:2222"},)"
    R"({"service":"dns","address":"127.0.0.1:53"}]})";

TEST(StatusJson, ReadsTheListenersOfTheDaemonsStatus) {
    const StatusParse p = parse_status_json(kDaemonStatus);
    ASSERT_TRUE(p.listening) << p.error.toStdString();
    EXPECT_EQ(*p.listening, (Listeners{{"http", "[::]:3128"},
                                       {"socks", "[::]:1080"},
                                       {"rdr", "[::]:8080"},
                                       {"rdr", "[::]:2222"},
                                       {"dns", "127.0.0.1:53"}}));
    EXPECT_TRUE(p.error.isEmpty());
    const StatusParse none = parse_status_json(R"({"listening":[]})");
    ASSERT_TRUE(none.listening);
    EXPECT_TRUE(none.listening->isEmpty());
}

TEST(StatusJson, RefusesWhatIsNoStatus) {
    struct Case {
        const char *body;
        const char *error_part;
    };
    for (const Case &c : {Case{"", "not JSON"}, Case{"<html>busy</html>", "not JSON"},
                          Case{R"({"listening":[)", "not JSON"}, Case{"\xff\xfe{}", "not JSON"},
                          Case{"[1,2]", "not a JSON object"}, Case{"\"listening\"", "not JSON"},
                          Case{R"({"version":"1.1"})", "does not say where"},
                          Case{R"({"listening":{"service":"http"}})", "not a list"},
                          Case{R"({"listening":"[::]:3128"})", "not a list"},
                          Case{R"({"listening":null})", "not a list"}}) {
        const StatusParse p = parse_status_json(QByteArray(c.body));
        EXPECT_FALSE(p.listening) << c.body;
        EXPECT_TRUE(p.error.contains(QLatin1String(c.error_part))) << c.body << " -> " << p.error.toStdString();
    }
}

TEST(StatusJson, LeavesOutEntriesOfTheWrongShape) {
    const StatusParse p = parse_status_json(
        R"({"listening":[1,"http [::]:1",null,[],{"service":"http"},{"address":"[::]:2"},)"
        R"({"service":7,"address":"[::]:3"},{"service":"http","address":3128},)"
        R"({"service":"http","address":"[::]"},{"service":"http","address":"[::]:0"},)"
        R"({"service":"http","address":"[::]:65536"},{"service":"http","address":"host:31x8"},)"
        R"({"service":"socks","address":"127.0.0.1:1080","extra":true}]})");
    ASSERT_TRUE(p.listening) << p.error.toStdString();
    EXPECT_EQ(*p.listening, (Listeners{{"socks", "127.0.0.1:1080"}}));
}

TEST(StatusJson, RefusesAHugeBodyAndBoundsTheEntries) {
    QByteArray huge = R"({"listening":[],"pad":")";
    huge += QByteArray(kMaxStatusBytes, 'x');
    huge += "\"}";
    const StatusParse p = parse_status_json(huge);
    EXPECT_FALSE(p.listening);
    EXPECT_TRUE(p.error.contains(QLatin1String("larger than"))) << p.error.toStdString();

    QByteArray many = R"({"listening":[)";
    for (int i = 0; i < kMaxListeners + 10; ++i) many += R"({"service":"rdr","address":"[::]:)" + QByteArray::number(1 + i) + "\"},";
    many.chop(1);
    many += "]}";
    ASSERT_LE(many.size(), kMaxStatusBytes);
    const StatusParse bounded = parse_status_json(many);
    ASSERT_TRUE(bounded.listening);
    EXPECT_EQ(bounded.listening->size(), kMaxListeners);

    QByteArray deep(2000, '[');
    EXPECT_FALSE(parse_status_json(deep + QByteArray(2000, ']')).listening);
}

TEST(ListenAddress, PortIsTheNumberAfterTheLastColon) {
    EXPECT_EQ(port_of(QStringLiteral("[::]:3128")), quint16{3128});
    EXPECT_EQ(port_of(QStringLiteral("127.0.0.1:53")), quint16{53});
    EXPECT_EQ(port_of(QStringLiteral("[fe80::1]:65535")), quint16{65535});
    EXPECT_EQ(port_of(QStringLiteral("proxy.lan:1")), quint16{1});
    for (const char *bad : {"", ":80", "[::]", "::1", "::1:80", "[]:80", "[::]80", "1.2.3.4:", "1.2.3.4:0",
                            "1.2.3.4:65536", "1.2.3.4:099999", "1.2.3.4:+80", "1.2.3.4: 80", "1.2.3.4:8o"})
        EXPECT_FALSE(port_of(QString::fromLatin1(bad))) << bad;
}

TEST(ListenAddress, AWildcardHostIsReachedOverLoopback) {
    EXPECT_EQ(reachable(QStringLiteral("[::]:3128")), QStringLiteral("[::1]:3128"));
    EXPECT_EQ(reachable(QStringLiteral("0.0.0.0:3128")), QStringLiteral("127.0.0.1:3128"));
    EXPECT_EQ(reachable(QStringLiteral("192.168.1.2:3128")), QStringLiteral("192.168.1.2:3128"));
    EXPECT_EQ(reachable(QStringLiteral("[::1]:3128")), QStringLiteral("[::1]:3128"));
    EXPECT_EQ(reachable(QStringLiteral("[::]")), QString());
}

TEST(PortsFile, TheFirstHttpLineNamesTheAddress) {
    EXPECT_EQ(http_address_in_ports_file("socks [::]:1080\nhttp [::]:3128\nhttp 127.0.0.1:3129\n"),
              QStringLiteral("[::]:3128"));
    EXPECT_EQ(http_address_in_ports_file("http 127.0.0.1:3128"), QStringLiteral("127.0.0.1:3128"));
    EXPECT_EQ(http_address_in_ports_file("  http   127.0.0.1:3128 \r\n"), QStringLiteral("127.0.0.1:3128"));
    EXPECT_EQ(http_address_in_ports_file("http\nhttp nonsense\nhttps [::]:443\nhttp [::]:1 extra\nhttp [::]:8\n"),
              QStringLiteral("[::]:8"));
    EXPECT_EQ(http_address_in_ports_file("socks [::]:1080\ndns 127.0.0.1:53\n"), QString());
    EXPECT_EQ(http_address_in_ports_file(""), QString());
    EXPECT_EQ(http_address_in_ports_file(QByteArray("\0\0\0", 3)), QString());
}

TEST(ServiceStatusText, AnAddressWithoutAServiceNameIsTheHttpProxys) {
    EXPECT_EQ(http_address_in_status_text(
                  QStringLiteral("listening on [::]:3128, socks [::]:1080, rdr [::]:8080, dns 127.0.0.1:53")),
              QStringLiteral("[::]:3128"));
    EXPECT_EQ(http_address_in_status_text(QStringLiteral("listening on 127.0.0.1:3128, [::1]:3128")),
              QStringLiteral("127.0.0.1:3128"));
    EXPECT_EQ(http_address_in_status_text(QStringLiteral("listening on socks [::]:1080, http [::]:3128")),
              QStringLiteral("[::]:3128"));
    EXPECT_EQ(http_address_in_status_text(QStringLiteral("listening on socks [::]:1080, dns 127.0.0.1:53")), QString());
    EXPECT_EQ(http_address_in_status_text(QStringLiteral("listening on its port")), QString());
    EXPECT_EQ(http_address_in_status_text(QStringLiteral("reloading")), QString());
    EXPECT_EQ(http_address_in_status_text(QString()), QString());
}

TEST(LogLines, TheLastNonEmptyLinesEachCut) {
    EXPECT_EQ(last_lines("one\ntwo\n\n  \nthree\r\nfour\n\n", 3, 80), (QStringList{"two", "three", "four"}));
    EXPECT_EQ(last_lines("only", 3, 80), QStringList{"only"});
    EXPECT_EQ(last_lines("", 3, 80), QStringList());
    EXPECT_EQ(last_lines("\n\n\n", 3, 80), QStringList());
    const QStringList cut = last_lines(QByteArray(10, 'a') + "\n" + QByteArray(11, 'b'), 3, 10);
    EXPECT_EQ(cut, (QStringList{QString(10, QLatin1Char('a')), QString(9, QLatin1Char('b')) + QChar(0x2026)}));
    // Terminal escapes and bytes that are no UTF-8 come out as plain text.
    const QStringList odd = last_lines("\x1b[31mred\x1b[0m\n\xff\xfe ok\n", 3, 80);
    ASSERT_EQ(odd.size(), 2);
    EXPECT_FALSE(odd[0].contains(QChar(0x1b)));
    EXPECT_TRUE(odd[1].endsWith(QLatin1String("ok")));
}

TEST(ServiceSummaries, OneEntryPerServiceInAFixedOrderEachPortOnce) {
    const auto s = summarise({{"dns", "127.0.0.1:53"},
                              {"rdr", "[::]:8080"},
                              {"http", "[::]:3128"},
                              {"http", "127.0.0.1:3128"},
                              {"future", "[::]:9"},
                              {"rdr", "[::]:2222"},
                              {"rdr", "[::]:8080"},
                              {"socks", "[::]:1080"}});
    ASSERT_EQ(s.size(), 4);
    EXPECT_EQ(s[0].service, QStringLiteral("http"));
    EXPECT_EQ(s[0].ports, QList<quint16>{3128});
    EXPECT_EQ(s[0].addresses, (QStringList{"[::]:3128", "127.0.0.1:3128"}));
    EXPECT_EQ(s[1].service, QStringLiteral("socks"));
    EXPECT_EQ(s[2].service, QStringLiteral("dns"));
    EXPECT_EQ(s[3].service, QStringLiteral("rdr"));
    EXPECT_EQ(s[3].addresses, (QStringList{"[::]:8080", "[::]:2222"}));
    EXPECT_TRUE(summarise({}).isEmpty());
}

}  // namespace
}  // namespace valdrin::tray::testing
