// The daemon of the ready-to-run folder, watched and reloaded through the
// activity component that the tray agent starts it with.
#pragma once

#include <QCoreApplication>
#include <QLibrary>
#include <QString>

#include "service_notice.h"

namespace kel::wizard {

class ActivityProxyService final : public ProxyService {
    Q_DECLARE_TR_FUNCTIONS(ActivityProxyService)
public:
    // The component `folder`/libvaldrin_activity.so is loaded at first use;
    // the daemon's log, named in reasons, is `log_file`.
    ActivityProxyService(const QString &folder, QString log_file);

    State state(QString *why) override;
    QString reload() override;
    QString name() const override { return QStringLiteral("valdrin_proxy"); }
    QString reload_hint() const override;

private:
    using Entry = qint16 (*)(qint32);
    bool load(QString *why);

    QLibrary library_;
    QString log_file_;
    Entry poll_ = nullptr;
    Entry reload_ = nullptr;
};

}  // namespace kel::wizard
