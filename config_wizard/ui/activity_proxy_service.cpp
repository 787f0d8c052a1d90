#include "activity_proxy_service.h"

#include <QDir>

namespace kel::wizard {
namespace {

// activity_poll's bit for a daemon that runs and listens.
constexpr qint16 kRunning = 0x0001;
// activity_reload's results.
constexpr qint16 kReloaded = 1, kReloadedRestartNeeded = 2, kRefused = 3;

}  // namespace

ActivityProxyService::ActivityProxyService(const QString &folder, QString log_file)
    : library_(QDir(folder).filePath(QStringLiteral("libvaldrin_activity.so"))), log_file_(std::move(log_file)) {}

bool ActivityProxyService::load(QString *why) {
    if (poll_ != nullptr && reload_ != nullptr) return true;
    if (!library_.isLoaded() && !library_.load()) {
        if (why) *why = library_.errorString();
        return false;
    }
    poll_ = reinterpret_cast<Entry>(library_.resolve("activity_poll"));
    reload_ = reinterpret_cast<Entry>(library_.resolve("activity_reload"));
    if (poll_ == nullptr || reload_ == nullptr) {
        if (why) *why = tr("%1 has no entry activity_poll or activity_reload").arg(library_.fileName());
        return false;
    }
    return true;
}

ProxyService::State ActivityProxyService::state(QString *why) {
    if (!load(why)) return State::Unknown;
    return (poll_(0) & kRunning) != 0 ? State::Running : State::Stopped;
}

QString ActivityProxyService::reload() {
    QString why;
    if (!load(&why)) return why;
    switch (reload_(0)) {
    case kReloaded:
    case kReloadedRestartNeeded:
        return QString();
    case kRefused:
        return tr("it refused the file and keeps the configuration it has (see %1)").arg(log_file_);
    default:
        return tr("it did not say that it had read the file (see %1)").arg(log_file_);
    }
}

QString ActivityProxyService::reload_hint() const { return tr("Stop and Start in the tray agent's menu"); }

}  // namespace kel::wizard
