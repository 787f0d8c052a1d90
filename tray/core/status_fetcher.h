// The daemon's status.json over HTTP, from its own HTTP proxy port.
#pragma once

#include <QCoreApplication>
#include <memory>

#include "ports.h"

class QNetworkAccessManager;

namespace valdrin::tray {

class HttpStatusFetcher final : public StatusFetcher {
    Q_DECLARE_TR_FUNCTIONS(HttpStatusFetcher)
public:
    // The status page answers at once; a daemon that says nothing within
    // `timeout_ms` is taken as not answering.
    static constexpr int kDefaultTimeoutMs = 2000;

    explicit HttpStatusFetcher(int timeout_ms = kDefaultTimeoutMs);
    ~HttpStatusFetcher() override;

    // Direct, never through a proxy (the environment's or the system's), and
    // never following a redirection; bodies over kMaxStatusBytes are cut
    // off and refused. Runs on the event loop; never blocks.
    void fetch(const QString &address, std::function<void(const StatusFetch &)> done) override;

private:
    int timeout_ms_;
    std::unique_ptr<QNetworkAccessManager> network_;
};

}  // namespace valdrin::tray
