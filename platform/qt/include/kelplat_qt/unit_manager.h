// The system's service manager as the desktop programs use it: the state of
// one service and the commands that change it. Calls are asynchronous, so a
// command that waits for the user's authorisation never blocks the caller.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <functional>
#include <optional>

namespace kel::qtplat {

// The service the desktop programs watch and command.
inline constexpr const char *kProxyServiceUnit = "valdrin-proxy.service";

// The outcome of one call: a D-Bus error name and its text, or success.
struct UnitCall {
    QString error_name;
    QString error_message;
    bool ok() const { return error_name.isEmpty(); }
};

// Error names the callers tell apart, beside the manager's own.
inline constexpr const char *kErrorAccessDenied = "org.freedesktop.DBus.Error.AccessDenied";
inline constexpr const char *kErrorAuthorizationRequired = "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired";
inline constexpr const char *kErrorNoReply = "org.freedesktop.DBus.Error.NoReply";
inline constexpr const char *kErrorTimeout = "org.freedesktop.DBus.Error.Timeout";
inline constexpr const char *kErrorServiceUnknown = "org.freedesktop.DBus.Error.ServiceUnknown";
inline constexpr const char *kErrorNameHasNoOwner = "org.freedesktop.DBus.Error.NameHasNoOwner";
inline constexpr const char *kErrorDisconnected = "org.freedesktop.DBus.Error.Disconnected";
// The bus itself is not there (no system bus socket).
inline constexpr const char *kErrorNoBus = "org.valdrin.Error.NoBus";
// The unit file has no [Install] section, so enabling it changes nothing.
inline constexpr const char *kErrorNotEnableable = "org.valdrin.Error.NotEnableable";
// A job the manager queued ended otherwise than "done" (an ExecReload line failed).
inline constexpr const char *kErrorJobFailed = "org.valdrin.Error.JobFailed";

// True for the errors that mean no service manager answers on the bus.
inline bool is_unreachable(const UnitCall &call) {
    const QString &n = call.error_name;
    return n == QLatin1String(kErrorServiceUnknown) || n == QLatin1String(kErrorNameHasNoOwner) ||
           n == QLatin1String(kErrorDisconnected) || n == QLatin1String(kErrorNoBus) ||
           n.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."));
}

// True for a refusal by the authorisation policy.
inline bool is_refusal(const UnitCall &call) {
    return call.error_name == QLatin1String(kErrorAccessDenied) ||
           call.error_name == QLatin1String(kErrorAuthorizationRequired);
}

// True when the call ran out of time.
inline bool is_timeout(const UnitCall &call) {
    return call.error_name == QLatin1String(kErrorNoReply) || call.error_name == QLatin1String(kErrorTimeout);
}

// Why a call failed, for the user: "the system's policy refused it (...)".
inline QString describe_failure(const UnitCall &call) {
    if (is_refusal(call))
        return QCoreApplication::translate("UnitManager", "the system's policy refused it (%1)").arg(call.error_message);
    if (is_unreachable(call))
        return QCoreApplication::translate("UnitManager", "systemd cannot be reached on the system bus (%1)")
            .arg(call.error_message);
    if (is_timeout(call))
        return QCoreApplication::translate("UnitManager", "systemd did not answer in time (%1)").arg(call.error_message);
    return QCoreApplication::translate("UnitManager", "%1 (%2)").arg(call.error_message, call.error_name);
}

// What the manager tells about a unit. The fields after unit_file_state
// are the service's own and stay empty when the manager does not give them.
struct UnitStatus {
    QString load_state;       // "loaded", "not-found", "masked", ...
    QString active_state;     // "active", "reloading", "inactive", "failed", "activating", "deactivating"
    QString unit_file_state;  // "enabled", "disabled", "static", ...; empty when the manager knows no unit file
    QString sub_state;        // "running", "dead", "failed", "auto-restart", ...
    QString result;           // how it last ended: "success", "exit-code", "signal", "timeout", ...
    QString status_text;      // what the daemon last said (STATUS=), e.g. "listening on [::]:3128"
    std::optional<int> exec_main_status;  // exit status (or signal number) of its main process
    friend bool operator==(const UnitStatus &, const UnitStatus &) = default;
};

// True while the service serves: active, or re-reading its configuration.
// Starting and stopping do not count.
inline bool is_serving(const UnitStatus &status) {
    return status.active_state == QLatin1String("active") || status.active_state == QLatin1String("reloading");
}

// Every `done` runs exactly once, later, on the thread that made the call,
// unless the manager object is destroyed first.
class UnitManager {
public:
    virtual ~UnitManager() = default;
    using Done = std::function<void(const UnitCall &)>;
    using StatusDone = std::function<void(const UnitCall &, const UnitStatus &)>;

    virtual void status(const QString &unit, StatusDone done) = 0;
    // The commands may first ask the user for authorisation; `done` then
    // runs after the answer.
    virtual void start(const QString &unit, Done done) = 0;
    virtual void stop(const QString &unit, Done done) = 0;
    // `done` runs once the reload has ended, not when it is queued.
    virtual void reload(const QString &unit, Done done) = 0;
    // Start at boot on or off; the manager re-reads its units afterwards.
    virtual void enable(const QString &unit, Done done) = 0;
    virtual void disable(const QString &unit, Done done) = 0;
};

}  // namespace kel::qtplat
