// Which activity the agent drives: its own daemon through the component
// beside it in the ready-to-run folder, the system service in an installed
// system.
#pragma once

#include <QString>
#include <functional>
#include <memory>

#include "kelplat/layout.h"
#include "kelplat_qt/unit_manager.h"
#include "ports.h"

namespace valdrin::tray {

enum class ActivityKind { Library, Service };

inline constexpr ActivityKind kDefaultActivity = kel::layout::kInstalled ? ActivityKind::Service : ActivityKind::Library;

// `folder` holds the component (Library); `units`, required for Service,
// is the service manager, which must outlive the result. `on_change` runs when a later
// answer changes the status, so that the caller refreshes at once. `journal`,
// when given, reads the service's journal; it must outlive the result too.
std::unique_ptr<Activity> make_activity(ActivityKind kind, const QString &folder, kel::qtplat::UnitManager *units,
                                        MessageBoxes &boxes, std::function<void()> on_change,
                                        Launcher *journal = nullptr);

}  // namespace valdrin::tray
