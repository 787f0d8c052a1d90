// The snapshot in force: published for new connections, and written out as
// the views the contract's routines and the support library read.
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "kelconfig.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

uint16_t g_http_port = 3128;
int32_t g_http_secure;
unsigned char *g_http_gif_remplace;
int32_t g_http_gif_remplace_lng;
int32_t g_http_header_timeout = 30;
int32_t g_http_idle_timeout = 900;
int32_t g_http_connect_timeout = 30;
int32_t g_http_max_clients = 8000;
int32_t g_http_max_waiting = 20000;

uint32_t g_ip_mask_ip[kIpMaskSlots];
uint32_t g_ip_mask_mask[kIpMaskSlots];
int32_t g_ip_mask_nb;

hash_base_donnees_t *g_hash_bd;

namespace kel::server {

kel::sync::RwLock &tables_lock() {
    // Writers first: a reload must not wait behind an endless stream of
    // look-ups, which are short and never nest.
    static kel::sync::RwLock *const lock = new kel::sync::RwLock(kel::sync::RwLock::Preference::Writers);
    return *lock;
}

void install_config(std::shared_ptr<const Config> config) {
    if (config == nullptr) return;
    const Config &c = *config;
    // The views first: the image they point at is held by config here, and
    // by the snapshot in force once it is published.
    const Image *image = c.image.get();
    {
        std::unique_lock<kel::sync::RwLock> hold(tables_lock());
        std::memcpy(g_ip_mask_ip, c.allowed.ip, sizeof g_ip_mask_ip);
        std::memcpy(g_ip_mask_mask, c.allowed.mask, sizeof g_ip_mask_mask);
        g_ip_mask_nb = c.allowed.nb;
        g_http_gif_remplace = image != nullptr ? image->bytes : nullptr;
        g_http_gif_remplace_lng = image != nullptr ? image->length : 0;
    }
    const Limits &limits = c.http.limits;
    set_setting(g_http_secure, c.http.secure ? 1 : 0);
    set_setting(g_http_header_timeout, limits.header_timeout);
    set_setting(g_http_idle_timeout, limits.idle_timeout);
    set_setting(g_http_connect_timeout, limits.connect_timeout);
    set_setting(g_http_max_clients, limits.max_clients);
    set_setting(g_http_max_waiting, limits.max_waiting);
    publish_config(std::move(config));
}

void apply_service_settings(const Config &c) {
    const Limits &limits = c.http.limits;
    kelnet_fixe_delais(limits.header_timeout, limits.idle_timeout, limits.connect_timeout);
    kelnet_fixe_max_clients(limits.max_clients, http_trop_de_clients);
    // Connections always wait for their request without a thread here; 0
    // lifts the cap on how many may.
    kelnet_fixe_max_attente(limits.max_waiting > 0 ? limits.max_waiting : -1, http_trop_en_attente);
    AccessLog::instance().configure(c.main.access_log);
}

std::shared_ptr<const Image> current_image() {
    const auto config = current_config();
    return config != nullptr ? config->image : nullptr;
}

std::shared_ptr<const Config> load_store_config() {
    char path[1024] = "";
    if (kelcfg_recup_chemin(path, sizeof path) <= 0) {
        KEL_DIAG_MSG("Library kelConfig not initialized");
        return nullptr;
    }
    std::vector<ConfigProblem> problems;
    auto config = load_config(path, &problems);
    for (const ConfigProblem &p : problems) kel::diag::message(p.message().c_str(), kModule, __LINE__);
    return config;
}

int32_t load_replacement_image(const char *path) {
    auto image = read_replacement_image(path);
    if (image == nullptr) return -1;
    const auto running = current_config();
    auto config = running != nullptr ? std::make_shared<Config>(*running) : std::make_shared<Config>();
    config->image = std::move(image);
    install_config(std::move(config));
    return 0;
}

}  // namespace kel::server
