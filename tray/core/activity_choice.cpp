#include "activity_choice.h"

#include "library_activity.h"
#include "service_activity.h"

namespace valdrin::tray {

std::unique_ptr<Activity> make_activity(ActivityKind kind, const QString &folder, kel::qtplat::UnitManager *units,
                                        MessageBoxes &boxes, std::function<void()> on_change, Launcher *journal) {
    if (kind == ActivityKind::Library) return std::make_unique<LibraryActivity>(folder);
    Q_ASSERT(units != nullptr);
    auto service = std::make_unique<ServiceActivity>(*units, boxes);
    service->set_status_listener(std::move(on_change));
    service->set_journal_reader(journal);
    return service;
}

}  // namespace valdrin::tray
