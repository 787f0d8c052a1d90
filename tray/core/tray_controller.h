// The tray agent's decisions: what the icon, its tip and the menu show for
// a status, when the notification area is touched, and what each menu
// command calls. Never draws.
#pragma once

#include <QCoreApplication>
#include <QString>

#include "kelplat_qt/notify_area.h"
#include "ports.h"

namespace valdrin::tray {

// The pictures the icon can carry. The design-time picture is neither
// status picture, so the first refresh always registers the icon.
enum class TrayPicture : int { Design = 0, Enabled = 1, Disabled = 2 };

inline constexpr quint16 kStatusRunning = 0x1;
inline constexpr quint16 kStatusAutostart = 0x2;
inline constexpr unsigned kIconId = 1;

// Fills a record from its six values; the tip is cut to what the area holds.
kel::qtplat::NotifyIconData build_record(quintptr window, unsigned id, unsigned flags, unsigned message,
                                         int icon, const QString &tip);

class TrayController {
    Q_DECLARE_TR_FUNCTIONS(TrayController)
public:
    // `program_dir` is the agent's own folder, where the wizard lies;
    // `window` identifies the owner of the icon.
    TrayController(Activity &activity, kel::qtplat::NotifyArea &area, TrayView &view, MessageBoxes &boxes,
                   Launcher &launcher, QString program_dir, quintptr window = 0);

    // First refresh, then the plain registration (refused while the
    // refresh's icon is present, so the status tip stays).
    void start_up();
    // Polls and shows the status; touches the area only on a picture change.
    void refresh();
    void on_mouse_message(unsigned message);
    void on_start_stop();
    void on_autostart();
    void on_configure();
    // Removes the icon; every way of ending goes through here.
    void shut_down();

    TrayPicture picture() const { return picture_; }
    const kel::qtplat::NotifyIconData &last_record() const { return last_record_; }
    bool autostart_checked() const { return autostart_checked_; }

    QString wizard_path() const;

private:
    kel::qtplat::NotifyIconData registration(const QString &tip) const;
    kel::qtplat::NotifyIconData removal() const;

    Activity &activity_;
    kel::qtplat::NotifyArea &area_;
    TrayView &view_;
    MessageBoxes &boxes_;
    Launcher &launcher_;
    QString program_dir_;
    quintptr window_;

    TrayPicture picture_ = TrayPicture::Design;
    bool autostart_checked_ = false;
    bool failure_reported_ = false;
    kel::qtplat::NotifyIconData last_record_;
};

}  // namespace valdrin::tray
