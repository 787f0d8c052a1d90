// The service manager over systemd's D-Bus interface (org.freedesktop.systemd1
// on the system bus). Commands allow interactive authorisation, so polkit
// decides who may and asks the user when its policy says so.
#pragma once

#include <QDBusConnection>
#include <QObject>

#include "kelplat_qt/unit_manager.h"

class QDBusMessage;

namespace kel::qtplat {

class SystemdUnits final : public QObject, public UnitManager {
public:
    struct Timeouts {
        int status_ms = 2000;  // each call of a status query
        // A command waits for the user at polkit's password prompt.
        int command_ms = 120000;
    };

    // `bus` is the system bus in an installed system; tests pass a private
    // one. Callbacks run on this object's thread.
    explicit SystemdUnits(const QDBusConnection &bus, Timeouts timeouts, QObject *parent = nullptr);
    explicit SystemdUnits(const QDBusConnection &bus) : SystemdUnits(bus, Timeouts{}) {}

    void status(const QString &unit, StatusDone done) override;
    void start(const QString &unit, Done done) override;
    void stop(const QString &unit, Done done) override;
    void reload(const QString &unit, Done done) override;
    void enable(const QString &unit, Done done) override;
    void disable(const QString &unit, Done done) override;

private:
    using ReplyDone = std::function<void(const QDBusMessage &)>;
    void send(const QDBusMessage &message, int timeout_ms, ReplyDone done);
    void read_unit(const QString &unit, const QString &path, StatusDone done);
    void command(const char *method, const QVariantList &args, Done done);
    // Enabling or disabling, then Reload so that the manager sees the change.
    void change_unit_files(const char *method, const QVariantList &args, bool check_install_info, Done done);

    QDBusConnection bus_;
    Timeouts timeouts_;
};

}  // namespace kel::qtplat
