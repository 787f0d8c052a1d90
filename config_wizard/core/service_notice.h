// After a save in an installed system: how the change reaches the proxy
// service, which reads the file at start-up and again on each reload.
#pragma once

#include <QCoreApplication>
#include <QString>

#include "wizard_io.h"

namespace kel::wizard {

// The system service that reads the configuration.
class ProxyService {
public:
    virtual ~ProxyService() = default;
    enum class State { Running, Stopped, Unknown };
    // Unknown, with the reason in *why, when the service manager can't tell.
    virtual State state(QString *why) = 0;
    // Has the service re-read its configuration; empty on success, else why not.
    virtual QString reload() = 0;
    // The unit's name, as the user would type it for systemctl.
    virtual QString name() const = 0;
};

class SaveNotice {
    Q_DECLARE_TR_FUNCTIONS(SaveNotice)
public:
    SaveNotice(ProxyService &service, MessageBoxes &boxes) : service_(service), boxes_(boxes) {}

    // Says how the saved `file` takes effect, and offers to reload the
    // service when it runs.
    void after_save(const QString &file);

private:
    ProxyService &service_;
    MessageBoxes &boxes_;
};

}  // namespace kel::wizard
