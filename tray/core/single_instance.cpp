#include "single_instance.h"

#include <QDir>
#include <QLockFile>
#include <QStandardPaths>

namespace valdrin::tray {

SingleInstance::SingleInstance(const QString &lock_path) : lock_(std::make_unique<QLockFile>(lock_path)) {
    // The agent holds the lock for its whole life; never treat it as stale by age.
    lock_->setStaleLockTime(0);
}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::acquire() { return lock_->tryLock(0); }

QString SingleInstance::default_lock_path() {
    QString dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (dir.isEmpty()) dir = QDir::tempPath();
    return QDir(dir).filePath(QStringLiteral("valdrin_tray.lock"));
}

}  // namespace valdrin::tray
