// The proxy service as the wizard sees it, over the service manager. The
// manager answers later; each question waits for its answer in a local
// event loop that ignores the user's input, never longer than its bound.
#pragma once

#include <QCoreApplication>

#include "kelplat_qt/unit_manager.h"
#include "service_notice.h"

namespace kel::wizard {

class UnitProxyService final : public ProxyService {
    Q_DECLARE_TR_FUNCTIONS(UnitProxyService)
public:
    // The waits are bounded apart from the manager's own time-outs; a
    // reload may wait for the user at polkit's password prompt.
    UnitProxyService(qtplat::UnitManager &units, QString unit, int status_wait_ms, int command_wait_ms)
        : units_(units), unit_(std::move(unit)), status_wait_ms_(status_wait_ms), command_wait_ms_(command_wait_ms) {}

    State state(QString *why) override;
    QString reload() override;
    QString name() const override { return unit_; }
    QString reload_hint() const override { return QStringLiteral("'systemctl reload %1'").arg(unit_); }

private:
    qtplat::UnitManager &units_;
    QString unit_;
    int status_wait_ms_;
    int command_wait_ms_;
};

}  // namespace kel::wizard
