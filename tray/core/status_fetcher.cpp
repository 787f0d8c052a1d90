#include "status_fetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace valdrin::tray {

HttpStatusFetcher::HttpStatusFetcher(int timeout_ms)
    : timeout_ms_(timeout_ms), network_(std::make_unique<QNetworkAccessManager>()) {
    network_->setProxy(QNetworkProxy::NoProxy);
    network_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

HttpStatusFetcher::~HttpStatusFetcher() {
    // Replies still under way end with the manager; none reports any more.
    for (QNetworkReply *reply : network_->findChildren<QNetworkReply *>()) reply->disconnect();
}

void HttpStatusFetcher::fetch(const QString &address, std::function<void(const StatusFetch &)> done) {
    const QUrl url(QStringLiteral("http://%1/status.json").arg(address));
    if (!url.isValid()) {
        const StatusFetch bad{std::nullopt, tr("\"%1\" is not an address to ask").arg(address)};
        QTimer::singleShot(0, network_.get(), [done = std::move(done), bad] { done(bad); });
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setRawHeader("Accept", "application/json");
    // A question every few seconds holds no connection of the daemon's between them.
    request.setRawHeader("Connection", "close");
    QNetworkReply *reply = network_->get(request);

    struct Why {
        bool timed_out = false;
        bool too_large = false;
    };
    auto why = std::make_shared<Why>();
    auto *timer = new QTimer(reply);
    timer->setSingleShot(true);
    QObject::connect(timer, &QTimer::timeout, reply, [reply, why] {
        why->timed_out = true;
        reply->abort();
    });
    timer->start(timeout_ms_);
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply, [reply, why](qint64 received, qint64 total) {
        if (received > kMaxStatusBytes || total > kMaxStatusBytes) {
            why->too_large = true;
            reply->abort();
        }
    });
    const int timeout_s = (timeout_ms_ + 999) / 1000;
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, why, address, timeout_s, done = std::move(done)] {
        reply->deleteLater();
        StatusFetch out;
        const int code = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (why->timed_out) {
            out.failure = tr("%1 did not answer within %2 s").arg(address).arg(timeout_s);
        } else if (why->too_large) {
            out.failure = tr("%1 sent a status larger than %2 bytes").arg(address).arg(kMaxStatusBytes);
        } else if (reply->error() == QNetworkReply::ConnectionRefusedError) {
            out.failure = tr("%1 refused the connection").arg(address);
        } else if (code != 0 && code != 200) {
            out.failure = tr("%1 answered %2 %3")
                              .arg(address)
                              .arg(code)
                              .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
        } else if (reply->error() != QNetworkReply::NoError) {
            out.failure = tr("%1: %2").arg(address, reply->errorString());
        } else {
            const StatusParse parsed = parse_status_json(reply->readAll());
            out.listening = parsed.listening;
            if (!parsed.listening) out.failure = tr("%1: %2").arg(address, parsed.error);
        }
        done(out);
    });
}

}  // namespace valdrin::tray
