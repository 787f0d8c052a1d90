// The activity of an installed system: the proxy runs as the system service
// valdrin-proxy.service, watched and commanded through the service manager.
// "Start at boot" is the service's enablement.
#pragma once

#include <QCoreApplication>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

#include "kelplat_qt/unit_manager.h"
#include "ports.h"

namespace valdrin::tray {

class ServiceActivity final : public Activity {
    Q_DECLARE_TR_FUNCTIONS(ServiceActivity)
public:
    // Refusals and failures of the commands, and a service that has failed,
    // are reported through `boxes`.
    ServiceActivity(kel::qtplat::UnitManager &units, MessageBoxes &boxes,
                    QString unit = QString::fromLatin1(kel::qtplat::kProxyServiceUnit));
    ~ServiceActivity() override;

    // The status of the last answer (stopped until the first one), and a
    // new query unless one is under way: the manager answers later, so a
    // change shows through the listener.
    std::optional<quint16> poll() override;
    // Each command answers later; its failure is reported then, and the
    // status is asked again.
    void start() override;
    void stop() override;
    void set_autostart() override;
    void clear_autostart() override;
    QString failure() const override;
    // The HTTP proxy's address in the status text the daemon gave the
    // manager in the last answer.
    StatusAddress status_address() override;
    // The unit's states and result in the last answer, then, when a
    // journal reader is set, the last lines of the service's journal.
    void explain_stop(std::function<void(const QString &reason)> done) override;

    // Reads the journal through journalctl; it must outlive this object.
    // Without one, explain_stop says only what the manager told.
    void set_journal_reader(Launcher *launcher) { journal_ = launcher; }

    // True while a status query waits for its answer.
    bool is_asking() const { return querying_; }

    // Runs when an answer changes what poll() returns.
    void set_status_listener(std::function<void()> listener) { listener_ = std::move(listener); }

private:
    struct Known {
        std::optional<quint16> status;  // nothing: the service can't be reached
        QString failure;
        friend bool operator==(const Known &, const Known &) = default;
    };
    void query();
    void on_status(const kel::qtplat::UnitCall &call, const kel::qtplat::UnitStatus &status);
    Known interpret(const kel::qtplat::UnitCall &call, const kel::qtplat::UnitStatus &status) const;
    void command(void (kel::qtplat::UnitManager::*op)(const QString &, kel::qtplat::UnitManager::Done),
                 const QString &failed_text);

    kel::qtplat::UnitManager &units_;
    MessageBoxes &boxes_;
    QString unit_;
    std::function<void()> listener_;
    std::optional<Known> known_;
    QString last_active_state_;
    kel::qtplat::UnitStatus last_status_;  // of the last answer that came
    Launcher *journal_ = nullptr;
    bool querying_ = false;
    bool query_again_ = false;
    // Answers that arrive after the adapter is gone find this expired.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace valdrin::tray
