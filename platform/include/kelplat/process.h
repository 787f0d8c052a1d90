// The process around a daemon: where its program lives, its working
// directory, stop signals, its pid file, and whether one of its sockets
// listens.
#pragma once

#include <cstdint>
#include <string>

namespace kel::process {

// Folder of the running program's file, without a trailing separator, from
// the system's own record of it; "" when it can't be found.
std::string executable_folder();

// The effective user's id.
unsigned user_id() noexcept;

// Makes the folder the current directory; false when the system refuses.
bool change_directory(const std::string &folder) noexcept;

// Blocks SIGINT, SIGTERM and SIGHUP in the calling thread and in every
// thread it starts afterwards, so that only the waits below receive them
// (a SIGHUP would otherwise end the process); a send to a vanished peer
// never raises a signal either. Call before any thread starts.
bool block_stop_signals() noexcept;

// Waits at most timeout_ms for SIGINT or SIGTERM; the signal number, or 0
// when the time ran out. A SIGHUP meanwhile stays pending.
int wait_stop_signal(int timeout_ms) noexcept;

// What a daemon is asked to do: stop (SIGINT, SIGTERM) or reload its
// configuration (SIGHUP).
enum class Control { None, Stop, Reload };
// Waits at most timeout_ms for one of the three; *number, when given,
// receives the signal's number.
Control wait_control_signal(int timeout_ms, int *number = nullptr) noexcept;

// Writes the process id and a line feed to path, replacing the file;
// false (with errno's text in *why) when it can't be written.
// Raises the soft limit on open descriptors to the hard limit, so that
// every connection of a busy proxy can be held; the soft limit after it.
std::uint64_t raise_descriptor_limit() noexcept;
// The soft limit on open descriptors now.
std::uint64_t descriptor_limit() noexcept;

bool write_pid_file(const std::string &path, std::string *why);

// True when socket sd is a listening socket bound to the host-order port.
bool socket_is_listening(std::uint32_t sd, std::uint16_t port) noexcept;

// Tries to bind a TCP socket to every interface on the host-order port and
// closes it again: "" when that works now, else the reason, e.g.
// "98: Address already in use".
std::string bind_failure_reason(std::uint16_t port);

}  // namespace kel::process
