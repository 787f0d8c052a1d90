// The status fetch over real loopback sockets, against small HTTP servers
// that run in the test's own event loop: one that answers as the daemon
// does, one that never answers, and ones that answer badly.
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <gtest/gtest.h>
#include <memory>

#include "core/status_fetcher.h"
#include "private_bus.h"

namespace valdrin::tray::testing {
namespace {

const QByteArray kStatus = R"({"version":"1.1","uptime_seconds":5,"connections":{"open":1,"peak":1},)"
                           R"("listening":[{"service":"http","address":"[::]:3128"},)"
                           R"({"service":"dns","address":"127.0.0.1:53"}]})";

QByteArray reply(const QByteArray &status_line, const QByteArray &body, const QByteArray &type = "application/json") {
    return "HTTP/1.1 " + status_line + "\r\nContent-Type: " + type +
           "\r\nContent-Length: " + QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

// Answers each request, once its header is in, with `answer`; an empty
// answer means never to answer at all.
// The fetcher's QNetworkAccessManager works on a thread of its own inside
// Qt, which is not instrumented: ThreadSanitizer cannot see how it hands
// its results over.
#if defined(__SANITIZE_THREAD__)
#define SKIP_UNDER_TSAN() GTEST_SKIP() << "ThreadSanitizer cannot see the synchronisation inside Qt's network thread"
#else
#define SKIP_UNDER_TSAN() (void)0
#endif

class TinyServer {
public:
    explicit TinyServer(QByteArray answer, const QHostAddress &host = QHostAddress::LocalHost)
        : answer_(std::move(answer)) {
        listening_ = server_.listen(host, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket *s = server_.nextPendingConnection()) {
                ++connections_;
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                    ++disconnections_;
                    s->deleteLater();
                });
                auto request = std::make_shared<QByteArray>();
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s, request] { on_read(s, *request); });
            }
        });
    }
    bool ok() const { return listening_; }
    QString address() const {
        const QHostAddress a = server_.serverAddress();
        const QString host = a.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(a.toString())
                                                                          : a.toString();
        return QStringLiteral("%1:%2").arg(host).arg(server_.serverPort());
    }
    // What came first on the first connection.
    const QByteArray &request() const { return request_; }
    int connections() const { return connections_; }
    int disconnections() const { return disconnections_; }

private:
    // Each connection gets the answer once its request is in.
    void on_read(QTcpSocket *s, QByteArray &request) {
        const bool was_whole = request.contains("\r\n\r\n");
        request += s->readAll();
        if (first_ == nullptr) first_ = s;
        if (s == first_) request_ = request;
        if (was_whole || !request.contains("\r\n\r\n") || answer_.isEmpty()) return;
        s->write(answer_);
        s->disconnectFromHost();
    }

    QTcpServer server_;
    QByteArray answer_;
    QByteArray request_;
    QTcpSocket *first_ = nullptr;  // only compared, never used
    bool listening_ = false;
    int connections_ = 0;
    int disconnections_ = 0;
};

// Fetches and waits (event-driven, bounded) for the one answer.
std::optional<StatusFetch> fetch_from(HttpStatusFetcher &fetcher, const QString &address) {
    std::optional<StatusFetch> got;
    int answers = 0;
    fetcher.fetch(address, [&](const StatusFetch &r) {
        got = r;
        ++answers;
    });
    EXPECT_FALSE(got) << "answered inside fetch()";
    EXPECT_TRUE(wait_until([&] { return answers > 0; }, 10000)) << "no answer from " << address.toStdString();
    EXPECT_EQ(answers, 1);
    return got;
}

TEST(StatusFetch, ReadsTheListenersOverLoopbackFromTheStatusPath) {
    SKIP_UNDER_TSAN();
    TinyServer server(reply("200 OK", kStatus));
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    ASSERT_TRUE(got->listening) << got->failure.toStdString();
    EXPECT_EQ(*got->listening, (Listeners{{"http", "[::]:3128"}, {"dns", "127.0.0.1:53"}}));
    // Asked directly (origin form), not as a request for a proxy to forward.
    EXPECT_TRUE(server.request().startsWith("GET /status.json HTTP/1.1\r\n")) << server.request().toStdString();
}

TEST(StatusFetch, ReachesAnIpv6LoopbackAddress) {
    SKIP_UNDER_TSAN();
    TinyServer server(reply("200 OK", kStatus), QHostAddress::LocalHostIPv6);
    if (!server.ok()) GTEST_SKIP() << "no IPv6 loopback here";
    HttpStatusFetcher fetcher;
    ASSERT_TRUE(server.address().startsWith(QLatin1String("[::1]:")));
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got && got->listening) << (got ? got->failure.toStdString() : "");
}

TEST(StatusFetch, GoesDirectWhateverTheEnvironmentsProxy) {
    SKIP_UNDER_TSAN();
    TinyServer server(reply("200 OK", kStatus));
    ASSERT_TRUE(server.ok());
    const QByteArray saved = qgetenv("http_proxy");
    // Nothing listens on port 9 of loopback: through it, the fetch would fail.
    qputenv("http_proxy", "http://127.0.0.1:9");
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, server.address());
    if (saved.isNull())
        qunsetenv("http_proxy");
    else
        qputenv("http_proxy", saved);
    ASSERT_TRUE(got && got->listening) << (got ? got->failure.toStdString() : "");
}

TEST(StatusFetch, AServerThatNeverAnswersTimesOut) {
    SKIP_UNDER_TSAN();
    TinyServer server{QByteArray()};
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher(300);
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_EQ(got->failure, server.address() + QStringLiteral(" did not answer within 1 s"));
    EXPECT_EQ(server.connections(), 1);
    // The question is given up, not left open.
    EXPECT_TRUE(wait_until([&] { return server.disconnections() == 1; }));
}

TEST(StatusFetch, GarbageInsteadOfHttpIsAFailure) {
    SKIP_UNDER_TSAN();
    static const char garbage[] = "\x16\x03\x01\x00\xff garbage, no HTTP at all\r\n\r\n";
    TinyServer server(QByteArray(garbage, sizeof garbage - 1));
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher(5000);
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_TRUE(got->failure.startsWith(server.address())) << got->failure.toStdString();
    EXPECT_FALSE(got->failure.contains(QLatin1String("did not answer"))) << got->failure.toStdString();
}

TEST(StatusFetch, ABodyThatIsNoStatusIsAFailure) {
    SKIP_UNDER_TSAN();
    TinyServer server(reply("200 OK", "<html>It works</html>", "text/html"));
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_TRUE(got->failure.contains(QLatin1String("not JSON"))) << got->failure.toStdString();
}

TEST(StatusFetch, AnErrorStatusIsAFailureThatNamesIt) {
    SKIP_UNDER_TSAN();
    TinyServer server(reply("403 Forbidden", R"({"listening":[]})"));
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_EQ(got->failure, server.address() + QStringLiteral(" answered 403 Forbidden"));
}

TEST(StatusFetch, ARedirectionIsNotFollowed) {
    SKIP_UNDER_TSAN();
    TinyServer target(reply("200 OK", kStatus));
    ASSERT_TRUE(target.ok());
    TinyServer server("HTTP/1.1 302 Found\r\nLocation: http://" + target.address().toLatin1() +
                      "/status.json\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_EQ(target.connections(), 0);
}

TEST(StatusFetch, AHugeBodyIsCutOffAndRefused) {
    SKIP_UNDER_TSAN();
    const QByteArray body(kMaxStatusBytes + 1, ' ');
    TinyServer server(reply("200 OK", body));
    ASSERT_TRUE(server.ok());
    HttpStatusFetcher fetcher(10000);
    const auto got = fetch_from(fetcher, server.address());
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_TRUE(got->failure.contains(QLatin1String("larger than"))) << got->failure.toStdString();
}

TEST(StatusFetch, APortWhereNothingListensIsRefused) {
    SKIP_UNDER_TSAN();
    QString address;
    {
        TinyServer gone{QByteArray()};
        ASSERT_TRUE(gone.ok());
        address = gone.address();
    }
    HttpStatusFetcher fetcher;
    const auto got = fetch_from(fetcher, address);
    ASSERT_TRUE(got);
    EXPECT_FALSE(got->listening);
    EXPECT_EQ(got->failure, address + QStringLiteral(" refused the connection"));
}

TEST(StatusFetch, NoAnswerAfterTheFetcherIsGone) {
    SKIP_UNDER_TSAN();
    TinyServer server{QByteArray()};
    ASSERT_TRUE(server.ok());
    auto fetcher = std::make_unique<HttpStatusFetcher>(60000);
    int answers = 0;
    fetcher->fetch(server.address(), [&](const StatusFetch &) { ++answers; });
    ASSERT_TRUE(wait_until([&] { return !server.request().isEmpty(); }));
    fetcher.reset();
    // The connection closes with the fetcher; by then any answer would have run.
    ASSERT_TRUE(wait_until([&] { return server.disconnections() == 1; }));
    EXPECT_EQ(answers, 0);
}

}  // namespace
}  // namespace valdrin::tray::testing
