// The activity component loaded by name, on first use, from a folder.
#pragma once

#include <QCoreApplication>
#include <QLibrary>
#include <QString>

#include "ports.h"

namespace valdrin::tray {

inline constexpr const char *kActivityLibrary = "libvaldrin_activity.so";

class LibraryActivity final : public Activity {
    Q_DECLARE_TR_FUNCTIONS(LibraryActivity)
public:
    // `folder`/`file_name` is loaded on the first call; one attempt only.
    explicit LibraryActivity(const QString &folder, const QString &file_name = kActivityLibrary);

    std::optional<quint16> poll() override;
    void start() override;
    void stop() override;
    void set_autostart() override;
    void clear_autostart() override;
    QString failure() const override;

private:
    using Entry = qint16 (*)(qint32);
    bool load();

    QLibrary library_;
    bool tried_ = false;
    Entry poll_ = nullptr;
    Entry start_ = nullptr;
    Entry stop_ = nullptr;
    Entry auto_ = nullptr;
    Entry noauto_ = nullptr;
    QString failure_;
};

}  // namespace valdrin::tray
