// The activity component loaded by name, on first use, from a folder.
#pragma once

#include <QCoreApplication>
#include <QLibrary>
#include <QString>

#include "ports.h"

namespace valdrin::tray {

inline constexpr const char *kActivityLibrary = "libvaldrin_activity.so";

// What the daemon made of a reload, as activity_reload says.
enum class ReloadResult {
    Failed = 0,         // no daemon of ours runs, the signal failed or no verdict came in time
    Reloaded = 1,
    RestartNeeded = 2,  // reloaded, but a change waits for a restart
    Refused = 3,        // the daemon refused the file and keeps its running configuration
    Unsupported = -1,   // the component cannot be loaded, or is older than activity_reload
};

class LibraryActivity final : public Activity {
    Q_DECLARE_TR_FUNCTIONS(LibraryActivity)
public:
    // `folder`/`file_name` is loaded on the first call; one attempt only.
    // `runtime_dir` holds the daemon's log and ports file; empty: the
    // folder the component itself uses.
    explicit LibraryActivity(const QString &folder, const QString &file_name = kActivityLibrary,
                             QString runtime_dir = QString());

    std::optional<quint16> poll() override;
    void start() override;
    void stop() override;
    void set_autostart() override;
    void clear_autostart() override;
    QString failure() const override;
    // The first HTTP address of the daemon's ports file.
    StatusAddress status_address() override;
    // The last lines of the daemon's log; `done` runs at once.
    void explain_stop(std::function<void(const QString &reason)> done) override;

    // Makes the running daemon re-read its configuration and waits (up to
    // 10 s, blocking) for its verdict.
    ReloadResult reload();

private:
    using Entry = qint16 (*)(qint32);
    bool load();
    QString runtime_file(const char *name);

    QLibrary library_;
    bool tried_ = false;
    Entry poll_ = nullptr;
    Entry start_ = nullptr;
    Entry stop_ = nullptr;
    Entry auto_ = nullptr;
    Entry noauto_ = nullptr;
    Entry reload_ = nullptr;  // optional: older components lack it
    QString failure_;
    QString runtime_dir_;
};

}  // namespace valdrin::tray
