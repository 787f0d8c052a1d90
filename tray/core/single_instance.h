// One agent per user: a lock file in the user's runtime folder.
#pragma once

#include <QString>
#include <memory>

class QLockFile;

namespace valdrin::tray {

class SingleInstance {
public:
    // `lock_path` is the lock file; a lock left by a dead agent is taken over.
    explicit SingleInstance(const QString &lock_path);
    ~SingleInstance();
    SingleInstance(const SingleInstance &) = delete;
    SingleInstance &operator=(const SingleInstance &) = delete;

    // True when this process now holds the lock; false when another live
    // agent holds it (or the lock cannot be made).
    bool acquire();

    // The lock file for this user: valdrin_tray.lock in the runtime folder.
    static QString default_lock_path();

private:
    std::unique_ptr<QLockFile> lock_;
};

}  // namespace valdrin::tray
