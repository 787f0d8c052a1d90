// Reload of the configuration while the server runs: everything is read
// and built aside first, then swapped in at once, so that a connection sees
// either the old configuration or the new one, never a mix or a half-built
// table, and a bad value leaves the running configuration whole.
#include <cstdio>
#include <mutex>
#include <utility>

#include "kelconfig.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "valdrin_http.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

std::mutex g_reload_mutex;

// Settings that only a new listener can apply. True when one changed,
// after a line that says so; nothing when HTTPPort is not a port.
std::optional<bool> restart_settings_changed() {
    char buffer[1024] = "";
    kelcfg_recup_E("HTTP", "HTTPPort", buffer, sizeof buffer, "3128");
    const auto port = parse_http_port(buffer);
    if (!port) {
        char text[1100];
        std::snprintf(text, sizeof text,
                      "invalid HTTPPort '%s' in section HTTP: a port from 1 to 65535 is expected",
                      buffer);
        kel::diag::message(text, kModule, __LINE__);
        return std::nullopt;
    }
    bool changed = false;
    if (*port != g_http_port) {
        kel::diag::out_printf(
            "HTTPPort is %u in section HTTP now: the proxy goes on listening on %u until it is "
            "restarted\n",
            static_cast<unsigned>(*port), static_cast<unsigned>(g_http_port));
        changed = true;
    }
    const auto listen = parse_listen_setting();
    if (!listen) return std::nullopt;
    if (*listen != listen_addresses()) {
        kel::diag::out_printf(
            "HTTPListen has changed in section HTTP: the proxy goes on listening where it does until it is "
            "restarted\n");
        changed = true;
    }
    char enabled[20] = "";
    kelcfg_recup_E("HTTP", "HTTPEnabled", enabled, sizeof enabled, "");
    if (!is_true_setting(enabled)) {
        kel::diag::out_printf(
            "HTTPEnabled is no longer true in section HTTP: the proxy goes on serving until it is "
            "restarted\n");
        changed = true;
    }
    return changed;
}

}  // namespace

int32_t reload_configuration() {
    std::lock_guard<std::mutex> one_at_a_time(g_reload_mutex);
    const auto restart = restart_settings_changed();
    if (!restart) return -1;
    const auto limits = parse_limits();
    if (!limits) return -1;
    // Names in the allow-list resolve now, as at start-up.
    const AllowList allowed = build_allow_list();
    hash_base_donnees_t *table = build_ad_table();
    if (table == nullptr) {
        KEL_DIAG();
        return -1;
    }
    auto blocked = build_block_list();
    if (blocked == nullptr) {
        hash_detruit(table);
        return -1;
    }
    auto image = read_replacement_image(replacement_image_path().c_str());
    if (image == nullptr) {
        hash_detruit(table);
        KEL_DIAG();
        return -1;
    }
    const auto access_log = read_access_log_setting();
    if (!access_log) {
        hash_detruit(table);
        return -1;
    }
    char secure[20] = "";
    kelcfg_recup_E("HTTP", "HTTPSecure", secure, sizeof secure, "false");

    install_allow_list(allowed);
    // No look-up holds the old table once the swap returns.
    hash_detruit(install_ad_table(table));
    install_block_list(std::move(blocked));
    install_image(std::move(image));
    apply_limits(*limits);
    AccessLog::instance().configure(*access_log);
    const int32_t is_secure = is_true_setting(secure) ? 1 : 0;
    if (is_secure != setting(g_http_secure)) {
        set_setting(g_http_secure, is_secure);
        if (is_secure != 0) kel::diag::out_printf("HTTPSecure Enabled\n");
    }
    return *restart ? 1 : 0;
}

}  // namespace kel::server

extern "C" VALDRIN_API int32_t valdrin_http_recharge(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        if (!kel::server::server_is_running()) return -2;
        return kel::server::reload_configuration();
    });
}
