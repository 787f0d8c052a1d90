// What the daemon wrote to its log about a reload it was asked for.
#pragma once

#include <string_view>

namespace kel::activity {

enum class ReloadVerdict {
    None = 0,           // no verdict line yet
    Reloaded = 1,       // the new configuration runs
    RestartNeeded = 2,  // it runs, but a change waits for a restart
    Refused = 3,        // the file was refused; the running configuration is kept
};

// The first verdict among the complete lines of `log` (text the daemon
// wrote after the signal). A line still being written is not read, so a
// verdict is never taken from half of its line.
ReloadVerdict find_reload_verdict(std::string_view log);

}  // namespace kel::activity
