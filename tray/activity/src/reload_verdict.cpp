#include "reload_verdict.h"

namespace kel::activity {
namespace {

// The daemon's own lines (host/valdrin_proxy.cpp, reload), word for word.
constexpr std::string_view kReloaded = "valdrin_proxy: configuration reloaded from ";
constexpr std::string_view kRestartNote = " (a restart is needed for ";
constexpr std::string_view kRefusedStart = "valdrin_proxy: reload of ";
constexpr std::string_view kRefusedEnd = " failed (see the line above); the running configuration is kept";

bool starts_with(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }
bool ends_with(std::string_view s, std::string_view p) { return s.size() >= p.size() && s.substr(s.size() - p.size()) == p; }

ReloadVerdict verdict_of(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (starts_with(line, kReloaded)) {
        const std::string_view rest = line.substr(kReloaded.size());
        // The note follows the path, which may itself hold anything.
        const auto note = rest.rfind(kRestartNote);
        return note != std::string_view::npos && note > 0 && ends_with(rest, ")") ? ReloadVerdict::RestartNeeded
                                                                                  : ReloadVerdict::Reloaded;
    }
    if (starts_with(line, kRefusedStart) && ends_with(line, kRefusedEnd) &&
        line.size() > kRefusedStart.size() + kRefusedEnd.size())
        return ReloadVerdict::Refused;
    return ReloadVerdict::None;
}

}  // namespace

ReloadVerdict find_reload_verdict(std::string_view log) {
    std::size_t at = 0;
    for (;;) {
        const std::size_t end = log.find('\n', at);
        if (end == std::string_view::npos) return ReloadVerdict::None;
        if (const ReloadVerdict v = verdict_of(log.substr(at, end - at)); v != ReloadVerdict::None) return v;
        at = end + 1;
    }
}

}  // namespace kel::activity
