#include "fake_systemd.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <atomic>

namespace valdrin::tray::testing {

QDBusArgument &operator<<(QDBusArgument &out, const UnitFileChange &c) {
    out.beginStructure();
    out << c.type << c.file << c.destination;
    out.endStructure();
    return out;
}

const QDBusArgument &operator>>(const QDBusArgument &in, UnitFileChange &c) {
    in.beginStructure();
    in >> c.type >> c.file >> c.destination;
    in.endStructure();
    return in;
}

bool FakeManager::answer(const char *method, const QVariantList &args) {
    QMutexLocker hold(&state_.lock);
    const QString name = QLatin1String(method);
    state_.calls.push_back({name, args, message().isInteractiveAuthorizationAllowed()});
    if (state_.unanswered.contains(name)) {
        setDelayedReply(true);  // and never reply
        return false;
    }
    if (state_.refused.contains(name)) {
        sendErrorReply(state_.refusal_error, QStringLiteral("Access denied"));
        return false;
    }
    return true;
}

bool FakeManager::is_our_unit(const QString &name) {
    QMutexLocker hold(&state_.lock);
    return name == state_.unit;
}

QDBusObjectPath FakeManager::GetUnit(const QString &name) {
    if (!answer("GetUnit", {name})) return {};
    bool loaded = false;
    {
        QMutexLocker hold(&state_.lock);
        loaded = state_.loaded && name == state_.unit;
    }
    if (!loaded) {
        sendErrorReply(QStringLiteral("org.freedesktop.systemd1.NoSuchUnit"),
                       QStringLiteral("Unit %1 not loaded.").arg(name));
        return {};
    }
    return QDBusObjectPath(QLatin1String(kFakeUnitPath));
}

QDBusObjectPath FakeManager::LoadUnit(const QString &name) {
    if (!answer("LoadUnit", {name})) return {};
    if (!is_our_unit(name)) {
        sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"), QStringLiteral("unknown unit"));
        return {};
    }
    return QDBusObjectPath(QLatin1String(kFakeUnitPath));
}

QDBusObjectPath FakeManager::StartUnit(const QString &name, const QString &mode) {
    if (!answer("StartUnit", {name, mode})) return {};
    QMutexLocker hold(&state_.lock);
    state_.active_state = QStringLiteral("active");
    state_.sub_state = QStringLiteral("running");
    // What the daemon tells the manager once it listens.
    state_.status_text = QStringLiteral("listening on [::]:3128");
    state_.loaded = true;
    return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/1"));
}

QDBusObjectPath FakeManager::StopUnit(const QString &name, const QString &mode) {
    if (!answer("StopUnit", {name, mode})) return {};
    QMutexLocker hold(&state_.lock);
    state_.active_state = QStringLiteral("inactive");
    state_.sub_state = QStringLiteral("dead");
    state_.result = QStringLiteral("success");
    return QDBusObjectPath(QStringLiteral("/org/freedesktop/systemd1/job/2"));
}

QDBusObjectPath FakeManager::ReloadUnit(const QString &name, const QString &mode) {
    if (!answer("ReloadUnit", {name, mode})) return {};
    const QDBusObjectPath job(QStringLiteral("/org/freedesktop/systemd1/job/3"));
    QString result;
    bool early = false;
    {
        QMutexLocker hold(&state_.lock);
        result = state_.reload_result;
        early = state_.removed_before_reply;
    }
    if (!result.isEmpty()) {
        // As systemd: the reply names the job, which ends afterwards.
        QDBusMessage removed = QDBusMessage::createSignal(QStringLiteral("/org/freedesktop/systemd1"),
                                                          QStringLiteral("org.freedesktop.systemd1.Manager"),
                                                          QStringLiteral("JobRemoved"));
        removed << 3u << QVariant::fromValue(job) << name << result;
        QDBusConnection bus = connection();
        if (early)
            bus.send(removed);
        else
            QMetaObject::invokeMethod(this, [bus, removed]() mutable { bus.send(removed); }, Qt::QueuedConnection);
    }
    return job;
}

void FakeManager::Subscribe() { answer("Subscribe", {}); }

bool FakeManager::EnableUnitFiles(const QStringList &files, bool runtime, bool force, UnitFileChanges &changes) {
    if (!answer("EnableUnitFiles", {files, runtime, force})) return false;
    QMutexLocker hold(&state_.lock);
    if (!state_.install_info) return false;
    state_.file_state = QStringLiteral("enabled");
    changes.append({QStringLiteral("symlink"), QStringLiteral("/etc/systemd/system/multi-user.target.wants/") + state_.unit,
                    QStringLiteral("/lib/systemd/system/") + state_.unit});
    return true;
}

UnitFileChanges FakeManager::DisableUnitFiles(const QStringList &files, bool runtime) {
    if (!answer("DisableUnitFiles", {files, runtime})) return {};
    QMutexLocker hold(&state_.lock);
    state_.file_state = QStringLiteral("disabled");
    return {{QStringLiteral("unlink"), QStringLiteral("/etc/systemd/system/multi-user.target.wants/") + state_.unit,
             QString()}};
}

QString FakeManager::GetUnitFileState(const QString &file) {
    if (!answer("GetUnitFileState", {file})) return {};
    QString state;
    {
        QMutexLocker hold(&state_.lock);
        state = file == state_.unit ? state_.file_state : QString();
    }
    if (state.isEmpty())
        sendErrorReply(QStringLiteral("org.freedesktop.DBus.Error.FileNotFound"), QStringLiteral("No such file or directory"));
    return state;
}

void FakeManager::Reload() { answer("Reload", {}); }

FakeUnit::FakeUnit(FakeSystemdState &state) : state_(state) { new FakeService(this, state); }

QString FakeUnit::sub_state() const {
    QMutexLocker hold(&state_.lock);
    return state_.sub_state;
}

QString FakeService::result() const {
    QMutexLocker hold(&state_.lock);
    return state_.result;
}

QString FakeService::status_text() const {
    QMutexLocker hold(&state_.lock);
    return state_.status_text;
}

int FakeService::exec_main_status() const {
    QMutexLocker hold(&state_.lock);
    return state_.exec_main_status;
}

QString FakeUnit::active_state() const {
    QMutexLocker hold(&state_.lock);
    return state_.active_state;
}

QString FakeUnit::load_state() const {
    QMutexLocker hold(&state_.lock);
    return state_.load_state;
}

FakeSystemd::FakeSystemd(const QString &address)
    : manager_(new FakeManager(state_)), unit_(new FakeUnit(state_)) {
    qDBusRegisterMetaType<UnitFileChange>();
    qDBusRegisterMetaType<UnitFileChanges>();
    static std::atomic<int> serial{0};
    connection_name_ = QStringLiteral("fake-systemd-%1").arg(++serial);
    manager_->moveToThread(&thread_);
    unit_->moveToThread(&thread_);
    thread_.start();
    QDBusConnection bus = QDBusConnection::connectToBus(address, connection_name_);
    ok_ = bus.isConnected() &&
          bus.registerObject(QStringLiteral("/org/freedesktop/systemd1"), manager_,
                             QDBusConnection::ExportAllSlots) &&
          bus.registerObject(QLatin1String(kFakeUnitPath), unit_,
                             QDBusConnection::ExportAllProperties | QDBusConnection::ExportAdaptors) &&
          bus.registerService(QStringLiteral("org.freedesktop.systemd1"));
}

FakeSystemd::~FakeSystemd() {
    {
        QDBusConnection bus(connection_name_);
        bus.unregisterService(QStringLiteral("org.freedesktop.systemd1"));
        bus.unregisterObject(QLatin1String(kFakeUnitPath));
        bus.unregisterObject(QStringLiteral("/org/freedesktop/systemd1"));
    }
    QDBusConnection::disconnectFromBus(connection_name_);
    // Deleted by their own thread as it ends.
    manager_->deleteLater();
    unit_->deleteLater();
    thread_.quit();
    thread_.wait(5000);
}

std::vector<FakeCall> FakeSystemd::calls() const {
    QMutexLocker hold(&state_.lock);
    return state_.calls;
}

QStringList FakeSystemd::methods() const {
    QStringList names;
    for (const FakeCall &c : calls()) names << c.method;
    return names;
}

}  // namespace valdrin::tray::testing
