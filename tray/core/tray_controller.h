// The tray agent's decisions: what the icon, its tip and the menu show for
// a status and for the services that listen, when the notification area is
// touched, when the user hears of a stop, and what each menu command calls.
// Never draws.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <memory>

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
    // `window` identifies the owner of the icon. Every port must outlive
    // the controller.
    TrayController(Activity &activity, kel::qtplat::NotifyArea &area, TrayView &view, MessageBoxes &boxes,
                   Launcher &launcher, StatusFetcher &fetcher, Browser &browser, QString program_dir,
                   quintptr window = 0);
    ~TrayController();

    // First refresh, then the plain registration (refused while the
    // refresh's icon is present, so the status tip stays).
    void start_up();
    // Polls and shows the status; while the daemon runs, asks it where its
    // services listen (one question at a time) and shows the answer when
    // it comes. Touches the area only when the picture or the tip changes.
    // A stop that the user did not ask for is told once, with its reason.
    void refresh();
    void on_mouse_message(unsigned message);
    void on_start_stop();
    void on_autostart();
    void on_configure();
    // Opens the daemon's status page in the browser; only while it is known
    // to be served.
    void on_open_status_page();
    // Removes the icon; every way of ending goes through here.
    void shut_down();

    TrayPicture picture() const { return picture_; }
    const kel::qtplat::NotifyIconData &last_record() const { return last_record_; }
    bool autostart_checked() const { return autostart_checked_; }
    bool status_page_enabled() const { return running_ && listening_.has_value(); }
    // True while a status question waits for its answer.
    bool is_fetching() const { return fetching_; }

    QString wizard_path() const;

private:
    kel::qtplat::NotifyIconData registration(const QString &tip) const;
    kel::qtplat::NotifyIconData removal() const;
    QString tip() const;
    QStringList service_lines() const;
    // Shows tip, menu lines and the status page item; the area only on a change.
    void show(bool picture_changed);
    void fetch_status();
    void on_fetched(const QString &address, const StatusFetch &result);
    void tell_unexpected_stop();

    Activity &activity_;
    kel::qtplat::NotifyArea &area_;
    TrayView &view_;
    MessageBoxes &boxes_;
    Launcher &launcher_;
    StatusFetcher &fetcher_;
    Browser &browser_;
    QString program_dir_;
    quintptr window_;

    TrayPicture picture_ = TrayPicture::Design;
    bool autostart_checked_ = false;
    bool failure_reported_ = false;
    kel::qtplat::NotifyIconData last_record_;
    QString shown_tip_;

    bool running_ = false;         // as shown: the last poll, unknown read as stopped
    bool known_running_ = false;   // as the last poll that could tell said
    bool stop_requested_ = false;  // Stop was chosen and no poll has shown the end yet
    bool fetching_ = false;
    // A new run starts with each start; answers about an older one are dropped.
    quint64 run_ = 0;
    std::optional<Listeners> listening_;  // the last answer, while running
    QString status_address_;              // where it came from
    QString services_failure_;            // why there is none
    // Answers that arrive after the controller is gone find this expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace valdrin::tray
