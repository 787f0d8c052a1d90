#include "tray_controller.h"

#include <QDir>
#include <QUrl>

namespace valdrin::tray {

using kel::qtplat::NotifyIconData;
namespace plat = kel::qtplat;

namespace {

constexpr const char *kWizardProgram = "valdrin_config";
// A menu line names this many addresses of one service, then how many more.
constexpr int kMaxAddressesPerLine = 4;

QString ports_text(const QList<quint16> &ports) {
    QStringList out;
    for (quint16 p : ports) out << QString::number(p);
    return out.join(QLatin1Char('/'));
}

}  // namespace

NotifyIconData build_record(quintptr window, unsigned id, unsigned flags, unsigned message, int icon,
                            const QString &tip) {
    return NotifyIconData{window, id, flags, message, icon, tip.left(plat::kMaxTipChars)};
}

TrayController::TrayController(Activity &activity, plat::NotifyArea &area, TrayView &view, MessageBoxes &boxes,
                               Launcher &launcher, StatusFetcher &fetcher, Browser &browser, QString program_dir,
                               quintptr window)
    : activity_(activity),
      area_(area),
      view_(view),
      boxes_(boxes),
      launcher_(launcher),
      fetcher_(fetcher),
      browser_(browser),
      program_dir_(std::move(program_dir)),
      window_(window) {}

TrayController::~TrayController() = default;

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
    const bool known = status.has_value();
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
    // A poll that cannot tell (the manager did not answer) is no stop to
    // report; the next one that can tell decides.
    if (known) {
        if (!running && known_running_ && !stop_requested_) tell_unexpected_stop();
        if (!running) stop_requested_ = false;
        known_running_ = running;
    }
    if (!running && running_) {
        ++run_;
        listening_.reset();
        status_address_.clear();
        services_failure_.clear();
    }
    running_ = running;
    const TrayPicture shown = running ? TrayPicture::Enabled : TrayPicture::Disabled;
    const bool changed = shown != picture_;
    picture_ = shown;
    view_.set_start_stop_caption(running ? tr("&Stop") : tr("&Start"));
    autostart_checked_ = (*status & kStatusAutostart) != 0;
    view_.set_autostart_checked(autostart_checked_);
    show(changed);
    if (running) fetch_status();
}

QString TrayController::tip() const {
    if (!running_) return tr("Valdrin Proxy Server Disabled");
    if (listening_) {
        QStringList parts;
        for (const ServiceSummary &s : summarise(*listening_)) {
            if (s.service == QLatin1String("http")) parts << tr("HTTP on %1").arg(ports_text(s.ports));
            if (s.service == QLatin1String("socks")) parts << tr("SOCKS on %1").arg(ports_text(s.ports));
            if (s.service == QLatin1String("dns")) parts << tr("DNS on %1").arg(ports_text(s.ports));
            if (s.service == QLatin1String("rdr"))
                parts << (s.addresses.size() == 1 ? tr("1 redirection")
                                                  : tr("%1 redirections").arg(s.addresses.size()));
        }
        if (parts.isEmpty()) return tr("Valdrin Proxy Server is running, but no service listens");
        return tr("Valdrin Proxy Server is running: %1").arg(parts.join(QLatin1String(", ")));
    }
    if (!services_failure_.isEmpty())
        return tr("Valdrin Proxy Server is running, but its services could not be read: %1").arg(services_failure_);
    // Until the first answer.
    return tr("Valdrin Proxy Server Enabled");
}

QStringList TrayController::service_lines() const {
    if (!running_ || !listening_) return {};
    QStringList lines;
    for (const ServiceSummary &s : summarise(*listening_)) {
        QString where = QStringList(s.addresses.mid(0, kMaxAddressesPerLine)).join(QLatin1String(", "));
        if (s.addresses.size() > kMaxAddressesPerLine)
            where += tr(" and %1 more").arg(s.addresses.size() - kMaxAddressesPerLine);
        if (s.service == QLatin1String("http")) lines << tr("HTTP proxy on %1").arg(where);
        if (s.service == QLatin1String("socks")) lines << tr("SOCKS server on %1").arg(where);
        if (s.service == QLatin1String("dns")) lines << tr("DNS proxy on %1").arg(where);
        if (s.service == QLatin1String("rdr"))
            lines << (s.addresses.size() == 1 ? tr("Port redirector: 1 redirection, on %1").arg(where)
                                              : tr("Port redirector: %1 redirections, on %2")
                                                    .arg(s.addresses.size())
                                                    .arg(where));
    }
    return lines;
}

void TrayController::show(bool picture_changed) {
    view_.set_service_lines(service_lines());
    view_.set_status_page_enabled(status_page_enabled());
    const QString now = tip();
    if (!picture_changed && now == shown_tip_) return;
    shown_tip_ = now;
    last_record_ = removal();
    area_.remove(last_record_);
    last_record_ = registration(now);
    area_.add(last_record_);
}

void TrayController::fetch_status() {
    if (fetching_) return;
    const StatusAddress where = activity_.status_address();
    if (where.address.isEmpty()) {
        listening_.reset();
        status_address_.clear();
        services_failure_ = where.why_unknown;
        show(false);
        return;
    }
    fetching_ = true;
    fetcher_.fetch(where.address, [this, alive = std::weak_ptr<int>(alive_), run = run_,
                                   address = where.address](const StatusFetch &result) {
        if (alive.expired()) return;
        fetching_ = false;
        if (run == run_ && running_) on_fetched(address, result);
    });
}

void TrayController::on_fetched(const QString &address, const StatusFetch &result) {
    listening_ = result.listening;
    status_address_ = result.listening ? address : QString();
    services_failure_ = result.listening ? QString() : result.failure;
    show(false);
}

void TrayController::tell_unexpected_stop() {
    activity_.explain_stop([this, alive = std::weak_ptr<int>(alive_)](const QString &reason) {
        if (alive.expired()) return;
        QString text = tr("The proxy server stopped without being asked to.");
        if (!reason.isEmpty()) text += QLatin1Char('\n') + reason;
        view_.notify(tr("Valdrin Proxy Server stopped"), text);
    });
}

void TrayController::on_open_status_page() {
    if (!status_page_enabled()) return;
    const QUrl page(QStringLiteral("http://%1/").arg(status_address_));
    if (browser_.open(page)) return;
    boxes_.error(tr("Valdrin Tray Agent"),
                 tr("The status page %1 could not be shown: no web browser could be started.").arg(page.toString()));
}

void TrayController::on_mouse_message(unsigned message) {
    // The menu opens on the release of either button, never on the press.
    if (message == plat::kLeftButtonUp || message == plat::kRightButtonUp) view_.open_menu();
}

void TrayController::on_start_stop() {
    // The picture shown decides, not a new poll. A stop asked for here is
    // no news to the user when the poll shows it.
    stop_requested_ = picture_ == TrayPicture::Enabled;
    if (stop_requested_)
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
