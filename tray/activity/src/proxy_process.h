// Finding, starting, watching and stopping the daemon valdrin_proxy.
// Linux specific: fork/exec, sessions and /proc.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kel::activity {

// Where the component looks and writes; every path is absolute.
struct Paths {
    std::string folder;       // the component's own folder
    std::string proxy;        // folder/valdrin_proxy
    std::string config;       // folder/valdrin.conf
    std::string runtime_dir;  // private per-user folder for the pid, log and ports files
    std::string pid_file;
    std::string log_file;     // the daemon's standard output and error
    std::string ports_file;   // where each service listens, written by the daemon
};

// The folder that holds the loaded component, taken from the loader.
std::optional<std::string> own_folder();

std::optional<Paths> resolve_paths();

// The pid written in the file, when it holds one plausible pid.
std::optional<int> read_pid(const std::string &pid_file);

// True while any thread of the process runs (a zombie or a zombie leader
// whose threads have all ended counts as ended).
bool is_alive(int pid);

// True when /proc/<pid>/exe is the program at `program` (a program that
// was replaced on disk while running still counts).
bool runs_program(int pid, const std::string &program);

// True when the process owns a TCP socket in the LISTEN state.
bool is_listening(int pid);

// The pid of our daemon when the pid file names a live valdrin_proxy of ours.
std::optional<int> our_daemon(const Paths &paths);

// Runs argv[0] detached: own session, reparented away from the caller,
// stdin from /dev/null, stdout and stderr appended to `log_file`.
// Returns the daemon's pid once exec succeeded; nullopt (with a
// diagnostic) when fork or exec failed.
std::optional<int> spawn_detached(const std::vector<std::string> &argv, const std::string &log_file);

bool is_executable(const std::string &path);
bool file_exists(const std::string &path);
// Removes a file; a missing file is no failure.
void remove_file(const std::string &path);
// SIGTERM to the process; true when sent or the process is already gone.
bool send_terminate(int pid);
// SIGHUP to the process; false, with a diagnostic, when it was not sent.
bool send_reload(int pid);
// The size of a regular file; 0 when it is missing.
std::uint64_t file_size(const std::string &path);
// At most max_bytes of the file from offset on (from the start when the
// file is now shorter than offset); empty when it cannot be read.
std::string read_from(const std::string &path, std::uint64_t offset, std::size_t max_bytes);

// The daemon's command line, as activity_start and the autostart entry run it.
std::vector<std::string> daemon_command(const Paths &paths);

// Waits until `done()` holds or `limit` passes; returns the last answer.
template <class Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit);
void pause_briefly();  // one step of a bounded wait (10 ms)

template <class Pred>
bool wait_until(Pred done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pause_briefly();
    }
}

}  // namespace kel::activity
