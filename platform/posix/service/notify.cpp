#include <systemd/sd-daemon.h>
#include <time.h>

#include <string>

#include "kelplat/service.h"

namespace kel::service {
namespace {

void send(const std::string &state) noexcept {
    // A manager that does not listen is not the daemon's failure.
    (void)sd_notify(0, state.c_str());
}

}  // namespace

void ready(const std::string &status) noexcept {
    try {
        send("READY=1\nSTATUS=" + status);
    } catch (...) {
    }
}

void reloading() noexcept {
    // The manager matches the reload to its request by this clock.
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const unsigned long long usec =
        static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
        static_cast<unsigned long long>(now.tv_nsec / 1000);
    try {
        send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
    } catch (...) {
    }
}

void stopping() noexcept {
    try {
        send("STOPPING=1");
    } catch (...) {
    }
}

}  // namespace kel::service
