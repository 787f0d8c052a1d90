// Tells the service manager that started the daemon what it is doing:
// ready once it listens, reloading, stopping. Without a manager (no
// $NOTIFY_SOCKET) every call does nothing. Linked only into the daemon.
#pragma once

#include <string>

namespace kel::service {

// The daemon serves; status is a one-line text for the manager to show.
void ready(const std::string &status) noexcept;
// A reload has begun; ready() ends it.
void reloading() noexcept;
// The daemon is shutting down.
void stopping() noexcept;

}  // namespace kel::service
