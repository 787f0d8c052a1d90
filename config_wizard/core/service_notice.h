// After a save: the daemon checks the file, and the running daemon re-reads
// it, so that Apply puts the settings in force or says why not.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include "wizard_io.h"

namespace kel::wizard {

// The daemon that reads the configuration: the system service, or the one
// the tray agent started from the ready-to-run folder.
class ProxyService {
public:
    virtual ~ProxyService() = default;
    enum class State { Running, Stopped, Unknown };
    // Unknown, with the reason in *why, when it can't be told.
    virtual State state(QString *why) = 0;
    // Has the daemon re-read its configuration; empty on success, else why not.
    virtual QString reload() = 0;
    // Its name, as the user knows it.
    virtual QString name() const = 0;
    // How the user would have it re-read the file later.
    virtual QString reload_hint() const = 0;
};

// The daemon's own verdict on a whole file, as its --check-config gives it.
class ConfigCheck {
public:
    virtual ~ConfigCheck() = default;
    // Empty when the daemon would take the file; else what it says is
    // wrong. *ran is false when the check could not run, the text saying why.
    virtual QString problems(const QString &file, bool *ran) = 0;
};

class SaveNotice {
    Q_DECLARE_TR_FUNCTIONS(SaveNotice)
public:
    SaveNotice(ProxyService &service, ConfigCheck &check, MessageBoxes &boxes)
        : service_(service), check_(check), boxes_(boxes) {}

    // Has the daemon check the saved `file`, then the running daemon re-read
    // it, and says what came of it; `restart_keys` changed and wait for a
    // restart.
    void after_save(const QString &file, const QStringList &restart_keys = QStringList());

private:
    ProxyService &service_;
    ConfigCheck &check_;
    MessageBoxes &boxes_;
};

}  // namespace kel::wizard
