// Reload of the configuration while the server runs: the file is read once
// into a new snapshot, built aside, then published by one swap, so that a
// connection sees either the old configuration or the new one, never a mix
// or a half-built list, and a bad value or file leaves the running
// configuration whole.
#include <mutex>
#include <utility>

#include "kelconfig.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "valdrin_http.h"
#include "service.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

std::mutex g_reload_mutex;

// Settings that only a new listener applies: true when one changed, after
// a line that says so.
bool restart_settings_changed(const Config &running, const Config &next) {
    bool changed = false;
    if (next.http.port != running.http.port) {
        kel::diag::out_printf(
            "HTTPPort is %u in section HTTP now: the proxy goes on listening on %u until it is "
            "restarted\n",
            static_cast<unsigned>(next.http.port),
            static_cast<unsigned>(std::atomic_ref<uint16_t>(g_http_port).load()));
        changed = true;
    }
    if (next.http.listen != running.http.listen) {
        kel::diag::out_printf(
            "HTTPListen has changed in section HTTP: the proxy goes on listening where it does until it is "
            "restarted\n");
        changed = true;
    }
    if (!next.http.enabled && running.http.enabled) {
        kel::diag::out_printf(
            "HTTPEnabled is no longer true in section HTTP: the proxy goes on serving until it is "
            "restarted\n");
        changed = true;
    }
    return changed;
}

// The same for the services beside the proxy: true when one changed.
bool service_restart_settings_changed(const Config &running, const Config &next) {
    bool changed = false;
    if (next.socks.enabled != running.socks.enabled) {
        kel::diag::out_printf("SocksEnabled has changed in section Socks: the SOCKS server %s until the daemon is restarted\n",
                              running.socks.enabled ? "goes on serving" : "stays off");
        changed = true;
    }
    if (running.socks.enabled && (next.socks.port != running.socks.port || next.socks.listen != running.socks.listen)) {
        kel::diag::out_printf(
            "SocksPort or SocksListen has changed in section Socks: the SOCKS server goes on listening where it "
            "does until the daemon is restarted\n");
        changed = true;
    }
    if (next.dns.enabled != running.dns.enabled) {
        kel::diag::out_printf("DNSEnabled has changed in section DNS: the DNS proxy %s until the daemon is restarted\n",
                              running.dns.enabled ? "goes on serving" : "stays off");
        changed = true;
    }
    if (running.dns.enabled && (next.dns.port != running.dns.port || next.dns.listen != running.dns.listen)) {
        kel::diag::out_printf(
            "DNSPort or DNSListen has changed in section DNS: the DNS proxy goes on listening where it does until "
            "the daemon is restarted\n");
        changed = true;
    }
    return changed;
}

}  // namespace

int32_t reload_configuration() {
    std::lock_guard<std::mutex> one_at_a_time(g_reload_mutex);
    char path[1024] = "";
    if (kelcfg_recup_chemin(path, sizeof path) <= 0) {
        KEL_DIAG_MSG("Library kelConfig not initialized");
        return -1;
    }
    std::vector<ConfigProblem> problems;
    auto next = load_config(path, &problems);
    if (next == nullptr) {
        for (const ConfigProblem &p : problems) kel::diag::message(p.message().c_str(), kModule, __LINE__);
        return -1;
    }
    const auto running = current_config();
    const bool restart = running != nullptr && restart_settings_changed(*running, *next);
    const bool service_restart = running != nullptr && service_restart_settings_changed(*running, *next);
    if (next->http.secure && (running == nullptr || !running->http.secure))
        kel::diag::out_printf("HTTPSecure Enabled\n");
    install_config(next);
    apply_service_settings(*next);
    // The redirector opens and closes its bindings' listeners here.
    run_reload_hooks(next);
    return restart ? 1 : service_restart ? 2 : 0;
}

}  // namespace kel::server

extern "C" VALDRIN_API int32_t valdrin_http_recharge(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        if (!kel::server::server_is_running() && !kel::server::services_running()) return -2;
        return kel::server::reload_configuration();
    });
}
