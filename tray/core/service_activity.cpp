#include "service_activity.h"

#include "tray_controller.h"

namespace valdrin::tray {

namespace plat = kel::qtplat;

namespace {

constexpr int kJournalLines = 3;
constexpr int kMaxJournalLineChars = 200;

}  // namespace

ServiceActivity::ServiceActivity(plat::UnitManager &units, MessageBoxes &boxes, QString unit)
    : units_(units), boxes_(boxes), unit_(std::move(unit)) {}

ServiceActivity::~ServiceActivity() = default;

std::optional<quint16> ServiceActivity::poll() {
    if (!querying_) query();
    if (!known_) return quint16{0};
    return known_->status;
}

QString ServiceActivity::failure() const { return known_ ? known_->failure : QString(); }

void ServiceActivity::query() {
    querying_ = true;
    units_.status(unit_, [this, alive = std::weak_ptr<int>(alive_)](const plat::UnitCall &call,
                                                                     const plat::UnitStatus &status) {
        if (!alive.expired()) on_status(call, status);
    });
}

ServiceActivity::Known ServiceActivity::interpret(const plat::UnitCall &call, const plat::UnitStatus &status) const {
    if (!call.ok())
        return {std::nullopt, tr("The system service %1 can be neither watched nor started: %2.")
                                  .arg(unit_, plat::describe_failure(call))};
    if (status.load_state == QLatin1String("not-found"))
        return {std::nullopt, tr("The system service %1 is not installed, so the proxy server can be neither "
                                 "watched nor started.")
                                  .arg(unit_)};
    quint16 word = 0;
    // Starting and stopping show as stopped, so Start and Stop stay what
    // the user expects.
    if (plat::is_serving(status)) word |= kStatusRunning;
    if (status.unit_file_state == QLatin1String("enabled")) word |= kStatusAutostart;
    return {word, QString()};
}

void ServiceActivity::on_status(const plat::UnitCall &call, const plat::UnitStatus &status) {
    querying_ = false;
    const Known now = interpret(call, status);
    const bool changed = !known_ || *known_ != now;
    known_ = now;
    const QString previous_state = last_active_state_;
    last_active_state_ = call.ok() ? status.active_state : QString();
    last_status_ = call.ok() ? status : plat::UnitStatus{};
    if (query_again_) {
        query_again_ = false;
        query();
    }
    if (changed && listener_) listener_();
    // Said once as the service enters the state, not at every poll.
    if (last_active_state_ == QLatin1String("failed") && previous_state != QLatin1String("failed"))
        boxes_.error(tr("Valdrin Tray Agent"),
                     tr("The proxy service %1 has failed.\n'journalctl -u %1' shows why; Start tries again.").arg(unit_));
}

StatusAddress ServiceActivity::status_address() {
    const QString address = http_address_in_status_text(last_status_.status_text);
    if (!address.isEmpty()) return {reachable(address), QString()};
    if (last_status_.status_text.isEmpty())
        return {QString(), tr("the service %1 does not say where it listens").arg(unit_)};
    return {QString(), tr("the service %1 names no HTTP proxy address in its status \"%2\"")
                           .arg(unit_, last_status_.status_text)};
}

void ServiceActivity::explain_stop(std::function<void(const QString &reason)> done) {
    const plat::UnitStatus &s = last_status_;
    QString text;
    if (!s.active_state.isEmpty()) {
        const QString state = s.sub_state.isEmpty() || s.sub_state == s.active_state
                                  ? s.active_state
                                  : QStringLiteral("%1 (%2)").arg(s.active_state, s.sub_state);
        text = tr("The service %1 is %2").arg(unit_, state);
        if (!s.result.isEmpty()) text += tr(", result %1").arg(s.result);
        // The number is a signal's when a signal ended the process.
        const bool by_signal = s.result == QLatin1String("signal") || s.result == QLatin1String("core-dump");
        if (s.exec_main_status)
            text += by_signal ? tr(", signal %1").arg(*s.exec_main_status)
                              : tr(", exit status %1").arg(*s.exec_main_status);
        text += QLatin1Char('.');
    }
    if (journal_ == nullptr) return done(text);
    // Reading the journal needs a group the user may not be in: then the
    // lines are left out.
    journal_->read_output(QStringLiteral("journalctl"),
                          {QStringLiteral("-u"), unit_, QStringLiteral("-n"), QString::number(kJournalLines),
                           QStringLiteral("-o"), QStringLiteral("cat"), QStringLiteral("--no-pager")},
                          [text, done = std::move(done)](const std::optional<QByteArray> &out) {
                              const QStringList lines =
                                  out ? last_lines(*out, kJournalLines, kMaxJournalLineChars) : QStringList();
                              if (lines.isEmpty()) return done(text);
                              QString full = text;
                              if (!full.isEmpty()) full += QLatin1Char('\n');
                              done(full + tr("The last lines of its journal:") + QLatin1Char('\n') +
                                   lines.join(QLatin1Char('\n')));
                          });
}

void ServiceActivity::command(void (plat::UnitManager::*op)(const QString &, plat::UnitManager::Done),
                              const QString &failed_text) {
    (units_.*op)(unit_, [this, failed_text, alive = std::weak_ptr<int>(alive_)](const plat::UnitCall &call) {
        if (alive.expired()) return;
        // Show the effect at once instead of at the next tick.
        if (querying_)
            query_again_ = true;
        else
            query();
        if (!call.ok())
            boxes_.error(tr("Valdrin Tray Agent"), failed_text.arg(unit_, plat::describe_failure(call)));
    });
}

void ServiceActivity::start() {
    command(&plat::UnitManager::start, tr("The proxy service %1 could not be started: %2."));
}

void ServiceActivity::stop() {
    command(&plat::UnitManager::stop, tr("The proxy service %1 could not be stopped: %2."));
}

void ServiceActivity::set_autostart() {
    command(&plat::UnitManager::enable, tr("The start of %1 at boot time could not be switched on: %2."));
}

void ServiceActivity::clear_autostart() {
    command(&plat::UnitManager::disable, tr("The start of %1 at boot time could not be switched off: %2."));
}

}  // namespace valdrin::tray
