// The entries of the activity component.
#include "valdrin_activity.h"

#include <chrono>

#include "autostart.h"
#include "kelplat/guard.h"
#include "proxy_process.h"
#include "reload_verdict.h"

namespace {

using namespace std::chrono_literals;
using namespace kel::activity;

constexpr const char *kModule = "activity";

// A daemon that is not listening this long after exec is left to the next poll.
constexpr auto kStartWait = 3000ms;
// The daemon closes its listener and removes its pid file on SIGTERM.
constexpr auto kStopWait = 5000ms;
// A reload reads the block lists again; large ones take seconds.
constexpr auto kReloadWait = 10000ms;
// The daemon says little between the signal and its verdict.
constexpr std::size_t kMaxReloadLogBytes = 1 << 20;

int16_t poll_status() {
    int16_t status = 0;
    if (auto path = autostart_path(); path && has_autostart(*path)) status |= VALDRIN_ACTIVITY_AUTOSTART;
    if (auto paths = resolve_paths()) {
        if (auto pid = our_daemon(*paths); pid && is_listening(*pid)) status |= VALDRIN_ACTIVITY_RUNNING;
    }
    return status;
}

int16_t start_daemon() {
    auto paths = resolve_paths();
    if (!paths) return 0;
    if (our_daemon(*paths)) return 1;
    if (!is_executable(paths->proxy)) {
        std::string what = "\"" + paths->proxy + "\" is missing or not executable, the proxy cannot start";
        KEL_DIAG_MSG(what.c_str());
        return 0;
    }
    // Whatever the files say now is not about our daemon: leftovers of a crash.
    remove_file(paths->pid_file);
    remove_file(paths->ports_file);
    auto pid = spawn_detached(daemon_command(*paths), paths->log_file);
    if (!pid) return 0;
    // Ready once it listens, its pid file names it and its ports file is
    // written (right after the pid file), whichever comes last.
    wait_until(
        [&] {
            return !is_alive(*pid) || (is_listening(*pid) && read_pid(paths->pid_file) == pid &&
                                       file_exists(paths->ports_file));
        },
        kStartWait);
    if (!is_alive(*pid)) {
        std::string what = paths->proxy + " ended at start-up, see " + paths->log_file;
        KEL_DIAG_MSG(what.c_str());
        return 0;
    }
    return 1;
}

int16_t stop_daemon() {
    auto paths = resolve_paths();
    if (!paths) return 0;
    auto pid = our_daemon(*paths);
    if (!pid) return 1;
    if (!send_terminate(*pid)) return 0;
    if (wait_until([&] { return !is_alive(*pid); }, kStopWait)) return 1;
    std::string what = paths->proxy + " (pid " + std::to_string(*pid) + ") is still running 5 s after SIGTERM";
    KEL_DIAG_MSG(what.c_str());
    return 0;
}

int16_t reload_daemon() {
    auto paths = resolve_paths();
    if (!paths) return 0;
    auto pid = our_daemon(*paths);
    if (!pid) {
        std::string what = "no " + paths->proxy + " of ours runs (pid file " + paths->pid_file + "), nothing to reload";
        KEL_DIAG_MSG(what.c_str());
        return 0;
    }
    // The verdict is what the daemon writes after the signal, not an older one.
    const auto offset = file_size(paths->log_file);
    if (!send_reload(*pid)) return 0;
    ReloadVerdict verdict = ReloadVerdict::None;
    const bool told = wait_until(
        [&] {
            verdict = find_reload_verdict(read_from(paths->log_file, offset, kMaxReloadLogBytes));
            return verdict != ReloadVerdict::None || !is_alive(*pid);
        },
        kReloadWait);
    if (verdict != ReloadVerdict::None) return static_cast<int16_t>(verdict);
    const std::string daemon = paths->proxy + " (pid " + std::to_string(*pid) + ")";
    std::string what = told ? daemon + " ended while reloading its configuration, see " + paths->log_file
                            : daemon + " wrote no verdict on its reload to " + paths->log_file + " within 10 s";
    KEL_DIAG_MSG(what.c_str());
    return 0;
}

int16_t set_autostart() {
    auto path = autostart_path();
    auto paths = resolve_paths();
    if (!path || !paths) return 0;
    return write_autostart(*path, autostart_entry(daemon_command(*paths))) ? 1 : 0;
}

int16_t clear_autostart() {
    auto path = autostart_path();
    if (!path) return 0;
    return remove_autostart(*path) ? 1 : 0;
}

}  // namespace

extern "C" {

int16_t activity_poll(int32_t) { return kel::guard(__func__, int16_t{0}, poll_status); }

int16_t activity_start(int32_t) { return kel::guard(__func__, int16_t{0}, start_daemon); }

int16_t activity_stop(int32_t) { return kel::guard(__func__, int16_t{0}, stop_daemon); }

int16_t activity_auto(int32_t) { return kel::guard(__func__, int16_t{0}, set_autostart); }

int16_t activity_noauto(int32_t) { return kel::guard(__func__, int16_t{0}, clear_autostart); }

int16_t activity_reload(int32_t) { return kel::guard(__func__, int16_t{0}, reload_daemon); }

}
