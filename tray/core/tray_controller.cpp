#include "tray_controller.h"

#include <QDir>

namespace valdrin::tray {

using kel::qtplat::NotifyIconData;
namespace plat = kel::qtplat;

namespace {

constexpr const char *kWizardProgram = "valdrin_config";

}  // namespace

NotifyIconData build_record(quintptr window, unsigned id, unsigned flags, unsigned message, int icon,
                            const QString &tip) {
    return NotifyIconData{window, id, flags, message, icon, tip.left(plat::kMaxTipChars)};
}

TrayController::TrayController(Activity &activity, plat::NotifyArea &area, TrayView &view, MessageBoxes &boxes,
                               Launcher &launcher, QString program_dir, quintptr window)
    : activity_(activity),
      area_(area),
      view_(view),
      boxes_(boxes),
      launcher_(launcher),
      program_dir_(std::move(program_dir)),
      window_(window) {}

NotifyIconData TrayController::registration(const QString &tip) const {
    return build_record(window_, kIconId, plat::kNotifyMessage | plat::kNotifyIcon | plat::kNotifyTip,
                        plat::kLeftButtonDown, static_cast<int>(picture_), tip);
}

NotifyIconData TrayController::removal() const { return build_record(window_, kIconId, 0, 0, 0, QString()); }

void TrayController::start_up() {
    refresh();
    last_record_ = registration(tr("Valdrin Proxy Server"));
    area_.add(last_record_);
}

void TrayController::refresh() {
    auto status = activity_.poll();
    if (!status) {
        // Without the component nothing runs that the agent could show:
        // say so once, show the server as stopped and keep going. The
        // component knows best what is missing.
        if (!failure_reported_) {
            failure_reported_ = true;
            boxes_.error(tr("Valdrin Tray Agent"), activity_.failure());
        }
        status = 0;
    }
    const bool running = (*status & kStatusRunning) != 0;
    const TrayPicture shown = running ? TrayPicture::Enabled : TrayPicture::Disabled;
    const bool changed = shown != picture_;
    picture_ = shown;
    view_.set_start_stop_caption(running ? tr("&Stop") : tr("&Start"));
    const QString tip = running ? tr("Valdrin Proxy Server Enabled") : tr("Valdrin Proxy Server Disabled");
    autostart_checked_ = (*status & kStatusAutostart) != 0;
    view_.set_autostart_checked(autostart_checked_);
    if (!changed) return;
    last_record_ = removal();
    area_.remove(last_record_);
    last_record_ = registration(tip);
    area_.add(last_record_);
}

void TrayController::on_mouse_message(unsigned message) {
    // The menu opens on the release of either button, never on the press.
    if (message == plat::kLeftButtonUp || message == plat::kRightButtonUp) view_.open_menu();
}

void TrayController::on_start_stop() {
    // The picture shown decides, not a new poll.
    if (picture_ == TrayPicture::Enabled)
        activity_.stop();
    else
        activity_.start();
    refresh();
}

void TrayController::on_autostart() {
    if (autostart_checked_)
        activity_.clear_autostart();
    else
        activity_.set_autostart();
    refresh();
}

QString TrayController::wizard_path() const { return QDir(program_dir_).filePath(QString::fromLatin1(kWizardProgram)); }

void TrayController::on_configure() {
    if (launcher_.start_program(wizard_path())) return;
    boxes_.error(tr("Fatal Error"),
                 tr("The file '%1' could not be found in the default directory.").arg(QString::fromLatin1(kWizardProgram)) +
                     QLatin1Char('\n') +
                     tr("You must re-install Valdrin Proxy Server. If the problem persists, please contact our "
                        "technical staff."));
}

void TrayController::shut_down() {
    last_record_ = removal();
    area_.remove(last_record_);
}

}  // namespace valdrin::tray
