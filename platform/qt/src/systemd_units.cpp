#include "kelplat_qt/systemd_units.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QPointer>
#include <QTimer>
#include <memory>
#include <utility>

#include "job_watch.h"

namespace kel::qtplat {
namespace {

const QString kService = QStringLiteral("org.freedesktop.systemd1");
const QString kManagerPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kUnitInterface = QStringLiteral("org.freedesktop.systemd1.Unit");
const QString kServiceInterface = QStringLiteral("org.freedesktop.systemd1.Service");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kNoSuchUnit = QStringLiteral("org.freedesktop.systemd1.NoSuchUnit");

QDBusMessage manager_call(const char *method, const QVariantList &args, bool interactive) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, kManagerPath, kManager, QLatin1String(method));
    m.setArguments(args);
    // Never start a service manager on demand: it is there or it is not.
    m.setAutoStartService(false);
    m.setInteractiveAuthorizationAllowed(interactive);
    return m;
}

QDBusMessage unit_property(const QString &path, const char *name, const QString &interface = kUnitInterface) {
    QDBusMessage m = QDBusMessage::createMethodCall(kService, path, kProperties, QStringLiteral("Get"));
    m.setArguments({interface, QLatin1String(name)});
    m.setAutoStartService(false);
    return m;
}

bool failed(const QDBusMessage &reply) { return reply.type() != QDBusMessage::ReplyMessage; }

UnitCall outcome(const QDBusMessage &reply) {
    if (!failed(reply)) return {};
    UnitCall call{reply.errorName(), reply.errorMessage()};
    if (call.error_name.isEmpty()) call.error_name = QStringLiteral("org.freedesktop.DBus.Error.Failed");
    return call;
}

QVariant property_value(const QDBusMessage &reply) {
    return reply.arguments().value(0).value<QDBusVariant>().variant();
}

QString property_text(const QDBusMessage &reply) { return property_value(reply).toString(); }

}  // namespace

SystemdUnits::SystemdUnits(const QDBusConnection &bus, Timeouts timeouts, QObject *parent)
    : QObject(parent), bus_(bus), timeouts_(timeouts) {}

void SystemdUnits::send(const QDBusMessage &message, int timeout_ms, ReplyDone done) {
    if (!bus_.isConnected()) {
        const QDBusMessage error = message.createErrorReply(
            QLatin1String(kErrorNoBus),
            QStringLiteral("no connection to the system bus (%1)").arg(bus_.lastError().message()));
        QMetaObject::invokeMethod(this, [done = std::move(done), error] { done(error); }, Qt::QueuedConnection);
        return;
    }
    // The watcher reports on the next turn of the event loop even when the
    // call has already failed, so `done` never runs inside the caller.
    auto *watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, timeout_ms), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [done = std::move(done)](QDBusPendingCallWatcher *w) {
        w->deleteLater();
        done(w->reply());
    });
}

void SystemdUnits::status(const QString &unit, StatusDone done) {
    auto with_path = [this, unit, done](const QDBusMessage &reply) {
        if (failed(reply)) return done(outcome(reply), {});
        read_unit(unit, reply.arguments().value(0).value<QDBusObjectPath>().path(), done);
    };
    send(manager_call("GetUnit", {unit}, false), timeouts_.status_ms, [this, unit, with_path](const QDBusMessage &reply) {
        // The manager unloads units nothing needs; loading one tells whether
        // it exists at all.
        if (reply.errorName() == kNoSuchUnit)
            send(manager_call("LoadUnit", {unit}, false), timeouts_.status_ms, with_path);
        else
            with_path(reply);
    });
}

void SystemdUnits::read_unit(const QString &unit, const QString &path, StatusDone done) {
    struct Join {
        UnitStatus status;
        UnitCall call;
        int left = 7;
        StatusDone done;
    };
    auto join = std::make_shared<Join>();
    join->done = std::move(done);
    auto settle = [join] {
        if (--join->left == 0) join->done(join->call, join->call.ok() ? join->status : UnitStatus{});
    };
    // The two states must be read; the rest may be missing.
    enum Kind { Required, Optional, FileState };
    auto finish = [join, settle](const QDBusMessage &reply, QString UnitStatus::*field, Kind kind) {
        if (!failed(reply))
            join->status.*field = kind == FileState ? reply.arguments().value(0).toString() : property_text(reply);
        else if (kind == Required && join->call.ok())
            join->call = outcome(reply);
        settle();
    };
    const int timeout = timeouts_.status_ms;
    send(unit_property(path, "LoadState"), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::load_state, Required); });
    send(unit_property(path, "ActiveState"), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::active_state, Required); });
    send(manager_call("GetUnitFileState", {unit}, false), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::unit_file_state, FileState); });
    send(unit_property(path, "SubState"), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::sub_state, Optional); });
    send(unit_property(path, "Result", kServiceInterface), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::result, Optional); });
    send(unit_property(path, "StatusText", kServiceInterface), timeout,
         [finish](const QDBusMessage &r) { finish(r, &UnitStatus::status_text, Optional); });
    send(unit_property(path, "ExecMainStatus", kServiceInterface), timeout, [join, settle](const QDBusMessage &r) {
        bool is_number = false;
        const int value = failed(r) ? 0 : property_value(r).toInt(&is_number);
        if (is_number) join->status.exec_main_status = value;
        settle();
    });
}

void SystemdUnits::command(const char *method, const QVariantList &args, Done done) {
    send(manager_call(method, args, true), timeouts_.command_ms,
         [done = std::move(done)](const QDBusMessage &reply) { done(outcome(reply)); });
}

void SystemdUnits::start(const QString &unit, Done done) {
    command("StartUnit", {unit, QStringLiteral("replace")}, std::move(done));
}

void SystemdUnits::stop(const QString &unit, Done done) {
    command("StopUnit", {unit, QStringLiteral("replace")}, std::move(done));
}

void SystemdUnits::reload(const QString &unit, Done done) {
    // The reply only says the job is queued: the reload has passed when
    // the job ends "done", after the unit's ExecReload lines all did.
    auto once = std::make_shared<Done>(std::move(done));
    auto settle = [once](const UnitCall &call) {
        if (auto d = std::exchange(*once, nullptr)) d(call);
    };
    auto *watch = new JobWatch(
        bus_,
        [settle, unit](const QString &result) {
            if (result == QLatin1String("done")) return settle({});
            settle({QLatin1String(kErrorJobFailed),
                    QStringLiteral("the reload of %1 ended with the result '%2' (see journalctl -u %1)")
                        .arg(unit, result)});
        },
        this);
    if (!watch->listening()) {
        watch->abandon();
        return command("ReloadUnit", {unit, QStringLiteral("replace")}, settle);
    }
    // Only subscribers get JobRemoved; subscribing twice is harmless.
    send(manager_call("Subscribe", {}, false), timeouts_.status_ms, [](const QDBusMessage &) {});
    QPointer<JobWatch> guard(watch);
    send(manager_call("ReloadUnit", {unit, QStringLiteral("replace")}, true), timeouts_.command_ms,
         [this, guard, settle](const QDBusMessage &reply) {
             if (failed(reply)) {
                 if (guard) guard->abandon();
                 return settle(outcome(reply));
             }
             if (!guard) return;
             guard->set_job(reply.arguments().value(0).value<QDBusObjectPath>().path());
             // A job that never ends is a manager gone astray: give up.
             QTimer::singleShot(timeouts_.command_ms, guard.data(), [guard, settle] {
                 if (guard) guard->abandon();
                 settle({QLatin1String(kErrorJobFailed), QStringLiteral("the reload job did not end in time")});
             });
         });
}

void SystemdUnits::change_unit_files(const char *method, const QVariantList &args, bool check_install_info,
                                     Done done) {
    send(manager_call(method, args, true), timeouts_.command_ms,
         [this, check_install_info, done = std::move(done)](const QDBusMessage &reply) {
             if (failed(reply)) return done(outcome(reply));
             if (check_install_info && !reply.arguments().value(0).toBool())
                 return done({QLatin1String(kErrorNotEnableable),
                              QStringLiteral("the unit file has no [Install] section")});
             command("Reload", {}, done);
         });
}

void SystemdUnits::enable(const QString &unit, Done done) {
    change_unit_files("EnableUnitFiles", {QStringList{unit}, false, true}, true, std::move(done));
}

void SystemdUnits::disable(const QString &unit, Done done) {
    change_unit_files("DisableUnitFiles", {QStringList{unit}, false}, false, std::move(done));
}

}  // namespace kel::qtplat
