// The daemon's --check-config, run on the saved file.
#pragma once

#include <QCoreApplication>
#include <QString>

#include "service_notice.h"

namespace kel::wizard {

class DaemonConfigCheck final : public ConfigCheck {
    Q_DECLARE_TR_FUNCTIONS(DaemonConfigCheck)
public:
    // `program` is the daemon; the check resolves the allow-list's names,
    // so it may take a while, never longer than `wait_ms`.
    DaemonConfigCheck(QString program, int wait_ms) : program_(std::move(program)), wait_ms_(wait_ms) {}
    QString problems(const QString &file, bool *ran) override;

private:
    QString program_;
    int wait_ms_;
};

}  // namespace kel::wizard
