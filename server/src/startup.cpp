// Start-up of the HTTP proxy: the configuration read once into a snapshot,
// the listening sockets, the server thread, and what the host asks of them.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "kelconfig.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "kelplat/process.h"
#include "kelplat/thread.h"
#include "service.h"
#include "stats.h"
#include "valdrin_http.h"
#include "valdrin_internal.h"

namespace {
constexpr const char *kModule = "valdrin_http";
}

namespace kel::server {
namespace {

// Listener state for valdrin_http_etat(): 0 until the server thread ends,
// then the listener's (negative) result.
std::atomic<int32_t> g_server_result{0};
std::atomic<bool> g_server_started{false};
// The first listening socket once it listens, and its port.
std::atomic<uint32_t> g_listen_sd{KELNET_INVALIDE};
std::atomic<uint16_t> g_listen_port{0};
// Set by valdrin_config_charge: the next demarre_serveur_http serves the
// snapshot it installed.
std::atomic<bool> g_loaded_for_start{false};

// The addresses the listener opened, as text.
std::mutex g_listen_mutex;
std::string g_listen_text;

// The configuration path of the store; "" after a diagnostic line before
// kelcfg_init.
std::string store_path() {
    char path[1024] = "";
    if (kelcfg_recup_chemin(path, sizeof path) <= 0) {
        KEL_DIAG_MSG("Library kelConfig not initialized");
        return "";
    }
    return path;
}

// Makes the folder of relative file names ("adhosts", "valdrin.sys") the
// current directory: the host's, unless it named another.
bool enter_files_folder() {
    std::string folder = folders().files;
    const bool own_folder = folder.empty();
    if (own_folder) folder = kel::process::executable_folder();
    if (!folder.empty() && kel::process::change_directory(folder)) return true;
    if (own_folder) {
        KEL_DIAG_MSG("cannot make the host program's folder the current directory");
    } else {
        const std::string text = "cannot make " + folder + " the current directory";
        KEL_DIAG_MSG(text.c_str());
    }
    return false;
}

void report(const std::vector<ConfigProblem> &problems) {
    for (const ConfigProblem &p : problems) kel::diag::message(p.message().c_str(), kModule, __LINE__);
}

// Opens the listening sockets of the snapshot: HTTPListen, or one
// dual-stack socket. With port 0 the first socket takes the one the system
// picks and the others the same. 0, or -2 after the listener's own lines
// (none stays open).
int32_t open_listeners(const Config &config, std::vector<uint32_t> *sockets) {
    std::vector<std::string> addresses = config.http.listen;
    if (addresses.empty()) {
        // One dual-stack socket takes both families.
        if (kelnet_ipv6_disponible() == 1) {
            addresses = {"::"};
        } else {
            kel::diag::out_printf("IPv6 is not available here: listening on IPv4 alone\n");
            addresses = {"0.0.0.0"};
        }
    }
    uint16_t port = config.http.port;
    std::string text;
    for (const std::string &address : addresses) {
        uint32_t sd = KELNET_INVALIDE;
        if (kelnet_cree_ecouteur_ip(address.c_str(), port, &sd) != 0) {
            KEL_DIAG_MSG("connexion impossible");
            if (sd != KELNET_INVALIDE) kelnet_fermer(sd);
            for (uint32_t s : *sockets) kelnet_fermer(s);
            sockets->clear();
            return -2;
        }
        if (port == 0) port = net::local_port(sd);
        sockets->push_back(sd);
        net::IpAddress a;
        net::parse_ip(address, &a);
        if (!text.empty()) text += ", ";
        text += net::host_text(a) + ":" + std::to_string(port);
    }
    std::atomic_ref<uint16_t>(g_http_port).store(port);
    {
        std::lock_guard<std::mutex> hold(g_listen_mutex);
        g_listen_text = text;
    }
    set_http_listening(text);
    g_listen_port.store(port);
    g_listen_sd.store(sockets->front());
    return 0;
}

void run_server(std::shared_ptr<const Config> config) {
    kel::diag::out_printf("HTTP/FTP proxy server starts (%d)\n", config->http.port);
    // The allow-list answers on accept, on the listener's thread.
    kelnet_fixe_admission(http_admet);
    std::vector<uint32_t> listening;
    int32_t result = open_listeners(*config, &listening);
    config.reset();
    if (result == 0) {
        result = kelnet_ecouteurs_thread(listening.data(), static_cast<int32_t>(listening.size()), http_servir);
    }
    curl_global_cleanup();
    kel::diag::out_printf("HTTP/FTP server exits (%d)\n", result);
    // A listener that returns has failed, whatever it returned.
    g_server_result.store(result < 0 ? result : -1);
}

}  // namespace

int32_t start_server_thread();

bool server_is_running() { return g_server_started.load() && g_server_result.load() == 0; }

uint16_t listening_port() { return g_listen_port.load(); }

void reset_folders_for_tests() { set_folders("", ""); }

}  // namespace kel::server

extern "C" void http_proxy(void) {
    kel::server::run_server(kel::server::current_config());
}

extern "C" VALDRIN_API int32_t valdrin_config_charge(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        using namespace kel::server;
        const std::string path = store_path();
        if (path.empty()) return -1;
        if (!enter_files_folder()) return -1;
        std::vector<ConfigProblem> problems;
        auto config = load_config(path, &problems);
        if (config == nullptr) {
            report(problems);
            return -1;
        }
        std::atomic_ref<uint16_t>(g_http_port).store(config->http.port);
        install_config(config);
        apply_service_settings(*config);
        g_loaded_for_start.store(true);
        return 0;
    });
}

extern "C" VALDRIN_API int32_t demarre_serveur_http(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        using namespace kel::server;
        // The host read the file for every service already.
        if (g_loaded_for_start.exchange(false)) {
            const auto config = current_config();
            if (config == nullptr || !config->http.enabled) return 0;
            if (g_server_started.load()) {
                KEL_DIAG_MSG("the HTTP proxy server is already started");
                return -1;
            }
            if (config->http.secure) kel::diag::out_printf("HTTPSecure Enabled\n");
            return start_server_thread();
        }
        const std::string path = store_path();
        if (path.empty()) return -1;
        // One read of the file serves the whole start.
        kel::ini::Document doc;
        std::vector<ConfigProblem> problems;
        auto settings = read_config_file(path, &doc, &problems);
        if (!settings) {
            report(problems);
            return -1;
        }
        if (!settings->http.enabled) return 0;
        if (!problems.empty()) {
            report(problems);
            return -1;
        }
        if (g_server_started.load()) {
            KEL_DIAG_MSG("the HTTP proxy server is already started");
            return -1;
        }
        if (!enter_files_folder()) return -1;
        auto config = build_snapshot(std::move(*settings), doc, &problems);
        if (config == nullptr) {
            report(problems);
            return -1;
        }
        if (config->http.secure) kel::diag::out_printf("HTTPSecure Enabled\n");
        std::atomic_ref<uint16_t>(g_http_port).store(config->http.port);
        install_config(config);
        apply_service_settings(*config);
        return start_server_thread();
    });
}

namespace kel::server {

int32_t start_server_thread() {
    g_server_result.store(0);
    // On the host's thread, not the server's: the host may exit at any
    // moment, and the cleanup libcurl's libraries register at exit must
    // not run while another thread is still inside their set-up.
    curl_global_init(CURL_GLOBAL_NOTHING);
    const int err = kel::thread::start_detached([](void *) { http_proxy(); }, nullptr,
                                                kel::thread::kConnectionStackBytes);
    if (err != 0) {
        curl_global_cleanup();
        char text[160];
        std::snprintf(text, sizeof text, "the server thread cannot be started (%d: %s)", err,
                      kel::thread::error_text(err));
        kel::diag::message(text, kModule, __LINE__);
        return -1;
    }
    g_server_started.store(true);
    Stats::instance().started_now();
    return 1;
}

}  // namespace kel::server

extern "C" VALDRIN_API int32_t valdrin_http_verifie(const char *chemin) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        using namespace kel::server;
        if (chemin == nullptr || chemin[0] == '\0') return -1;
        // Relative names as start-up takes them.
        if (!enter_files_folder()) return -1;
        std::vector<ConfigProblem> problems;
        const auto config = load_config(chemin, &problems);
        for (const ConfigProblem &p : problems) kel::diag::err_printf("%s\n", p.message().c_str());
        if (config == nullptr && problems.empty()) return -1;
        return static_cast<int32_t>(problems.size());
    });
}

extern "C" VALDRIN_API int32_t valdrin_http_journal(char *fichier, int32_t taille_fichier, char *erreurs,
                                                    int32_t taille_erreurs, int32_t *verbeux) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        const auto config = kel::server::current_config();
        if (config == nullptr || fichier == nullptr || erreurs == nullptr || taille_fichier <= 0 ||
            taille_erreurs <= 0)
            return -1;
        const std::string &log = config->main.log_file;
        const std::string &err = config->main.err_file;
        if (log.size() >= static_cast<size_t>(taille_fichier) || err.size() >= static_cast<size_t>(taille_erreurs))
            return -1;
        std::memcpy(fichier, log.c_str(), log.size() + 1);
        std::memcpy(erreurs, err.c_str(), err.size() + 1);
        if (verbeux != nullptr) *verbeux = config->main.verbose ? 1 : 0;
        return 0;
    });
}

extern "C" VALDRIN_API int32_t valdrin_http_fixe_dossiers(const char *dossier, const char *dossier_donnees) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        constexpr size_t kMaxFolderBytes = 1023;
        for (const char *f : {dossier, dossier_donnees}) {
            if (f != nullptr && (f[0] == '\0' || std::strlen(f) > kMaxFolderBytes)) {
                KEL_DIAG_MSG("folder name empty or longer than 1023 bytes");
                return -1;
            }
        }
        kel::server::set_folders(dossier, dossier_donnees);
        return 0;
    });
}

extern "C" VALDRIN_API int32_t valdrin_http_ecoute(char *buffer, int32_t taille) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (buffer == nullptr || taille <= 0) return -1;
        buffer[0] = '\0';
        if (valdrin_http_etat() != 1) return -1;
        std::lock_guard<std::mutex> hold(kel::server::g_listen_mutex);
        const std::string &text = kel::server::g_listen_text;
        if (text.size() + 1 > static_cast<size_t>(taille)) return -1;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<int32_t>(text.size());
    });
}

extern "C" VALDRIN_API int32_t valdrin_http_etat(void) {
    return kel::guard(__func__, int32_t{0}, []() -> int32_t {
        const int32_t result = kel::server::g_server_result.load();
        if (result < 0) return result;
        if (!kel::server::g_server_started.load()) return 0;
        const uint32_t sd = kel::server::g_listen_sd.load();
        if (sd == KELNET_INVALIDE) return 0;
        return kel::process::socket_is_listening(sd, kel::server::g_listen_port.load()) ? 1 : 0;
    });
}

extern "C" VALDRIN_API int32_t valdrin_services_ecoute(char *buffer, int32_t taille) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        if (buffer == nullptr || taille <= 0) return -1;
        buffer[0] = '\0';
        const std::string text = kel::server::listening_lines();
        if (text.size() + 1 > static_cast<size_t>(taille)) return -1;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<int32_t>(text.size());
    });
}
