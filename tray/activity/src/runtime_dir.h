// The per-user folder of the daemon's pid file, log and ports file. The
// component and the agent both find it here, so that they always agree.
#pragma once

#include <optional>
#include <string>

namespace kel::activity {

inline constexpr const char *kPidFileName = "valdrin_proxy.pid";
inline constexpr const char *kLogFileName = "valdrin_proxy.log";
inline constexpr const char *kPortsFileName = "valdrin_proxy.ports";

// $XDG_RUNTIME_DIR when it is an absolute folder of ours; otherwise
// /tmp/valdrin-<uid>, created 0700 and refused unless it is a real folder
// owned by us and closed to others. Nothing, with a diagnostic, when neither
// can be used.
std::optional<std::string> runtime_dir();

}  // namespace kel::activity
