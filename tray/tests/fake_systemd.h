// A stand-in for systemd's manager on a private bus: the Manager methods the
// desktop programs call and one unit object with its states. It serves from
// a thread of its own, as the real one is another process, records every
// call and can refuse or ignore chosen methods.
#pragma once

#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusObjectPath>
#include <QMutex>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantList>
#include <vector>

namespace valdrin::tray::testing {

// One entry of the changes EnableUnitFiles and DisableUnitFiles return.
struct UnitFileChange {
    QString type, file, destination;
};
using UnitFileChanges = QList<UnitFileChange>;

struct FakeCall {
    QString method;
    QVariantList args;
    bool interactive = false;
};

inline constexpr const char *kFakeUnitPath = "/org/freedesktop/systemd1/unit/valdrin_2dproxy_2eservice";

// What the fake knows and does; every member is guarded by `lock`.
struct FakeSystemdState {
    mutable QMutex lock;
    QString unit = QStringLiteral("valdrin-proxy.service");
    bool loaded = true;  // false: GetUnit answers NoSuchUnit
    QString load_state = QStringLiteral("loaded");
    QString active_state = QStringLiteral("inactive");
    QString file_state = QStringLiteral("disabled");  // empty: no unit file
    QString sub_state = QStringLiteral("dead");
    // The service's own properties.
    QString result = QStringLiteral("success");
    QString status_text;
    int exec_main_status = 0;
    bool install_info = true;
    QStringList refused;     // these methods answer refusal_error
    QString refusal_error = QStringLiteral("org.freedesktop.DBus.Error.AccessDenied");
    QStringList unanswered;  // these methods never answer
    // How a reload job ends, told by JobRemoved after the reply; empty: never.
    QString reload_result = QStringLiteral("done");
    // JobRemoved comes before the reply that names the job (a quick job).
    bool removed_before_reply = false;
    std::vector<FakeCall> calls;
};

class FakeSystemd;

class FakeManager final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Manager")
public:
    explicit FakeManager(FakeSystemdState &state) : state_(state) {}

public slots:
    QDBusObjectPath GetUnit(const QString &name);
    QDBusObjectPath LoadUnit(const QString &name);
    QDBusObjectPath StartUnit(const QString &name, const QString &mode);
    QDBusObjectPath StopUnit(const QString &name, const QString &mode);
    QDBusObjectPath ReloadUnit(const QString &name, const QString &mode);
    // QtDBus finds the types of these by their full names, not an alias.
    bool EnableUnitFiles(const QStringList &files, bool runtime, bool force,
                         QList<valdrin::tray::testing::UnitFileChange> &changes);
    QList<valdrin::tray::testing::UnitFileChange> DisableUnitFiles(const QStringList &files, bool runtime);
    QString GetUnitFileState(const QString &file);
    void Reload();
    // JobRemoved follows a reload, sent whether or not anyone subscribed.
    void Subscribe();

private:
    // Records the call; false when it is refused or left unanswered.
    bool answer(const char *method, const QVariantList &args);
    bool is_our_unit(const QString &name);

    FakeSystemdState &state_;
};

class FakeUnit final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Unit")
    Q_PROPERTY(QString ActiveState READ active_state)
    Q_PROPERTY(QString LoadState READ load_state)
    Q_PROPERTY(QString SubState READ sub_state)
public:
    explicit FakeUnit(FakeSystemdState &state);
    QString active_state() const;
    QString load_state() const;
    QString sub_state() const;

private:
    FakeSystemdState &state_;
};

// The same unit object's service interface.
class FakeService final : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.systemd1.Service")
    Q_PROPERTY(QString Result READ result)
    Q_PROPERTY(QString StatusText READ status_text)
    Q_PROPERTY(int ExecMainStatus READ exec_main_status)
public:
    FakeService(FakeUnit *unit, FakeSystemdState &state) : QDBusAbstractAdaptor(unit), state_(state) {}
    QString result() const;
    QString status_text() const;
    int exec_main_status() const;

private:
    FakeSystemdState &state_;
};

class FakeSystemd {
public:
    // Connects to the bus at `address` and takes the name org.freedesktop.systemd1.
    explicit FakeSystemd(const QString &address);
    ~FakeSystemd();
    FakeSystemd(const FakeSystemd &) = delete;
    FakeSystemd &operator=(const FakeSystemd &) = delete;

    bool ok() const { return ok_; }
    FakeSystemdState &state() { return state_; }

    // A copy, taken under the lock.
    std::vector<FakeCall> calls() const;
    QStringList methods() const;
    template <class F>
    void change(F &&f) {
        QMutexLocker hold(&state_.lock);
        f(state_);
    }

private:
    FakeSystemdState state_;
    QThread thread_;
    FakeManager *manager_;
    FakeUnit *unit_;
    QString connection_name_;
    bool ok_ = false;
};

}  // namespace valdrin::tray::testing

Q_DECLARE_METATYPE(valdrin::tray::testing::UnitFileChange)
