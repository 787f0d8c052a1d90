#include "service_activity.h"

#include "tray_controller.h"

namespace valdrin::tray {

namespace plat = kel::qtplat;

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
