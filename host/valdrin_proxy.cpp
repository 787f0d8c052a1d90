// The daemon that runs the proxy server library: finds and initialises the
// configuration and the log, starts the server, and serves until SIGINT or
// SIGTERM, reloading its configuration on SIGHUP. It never reports success
// while nothing listens, and tells a service manager when it is ready.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "config_keys.h"
#include "kelconfig.h"
#include "kellog.h"
#include "kelplat/fs.h"
#include "kelplat/ini.h"
#include "kelplat/layout.h"
#include "kelplat/process.h"
#include "kelplat/service.h"
#include "valdrin_http.h"

namespace {

namespace fs = std::filesystem;

constexpr const char kProgram[] = "valdrin_proxy";
constexpr int kListenWaitMs = 10000;
constexpr int kListenPollMs = 20;
constexpr int kRunPollMs = 500;
// The configuration store and the log keep paths below this length.
constexpr size_t kMaxPathBytes = 1023;

// The configuration file when none is given.
fs::path default_config(const fs::path &program_folder) {
    if (kel::layout::kInstalled) return fs::path(kel::layout::kConfigDir) / "valdrin.conf";
    return program_folder / "valdrin.conf";
}

// The keys of the configuration file, from the table the parser reads.
void print_keys() {
    std::printf("Keys read, in the configuration file:\n");
    for (const valdrin::keys::Key &key : valdrin::keys::kKeys) {
        std::string name(key.name);
        if (key.family_size > 0) name += "0 .. " + name + std::to_string(key.family_size - 1);
        std::string line = "  [" + std::string(key.section) + "] " + name;
        if (!key.fallback.empty()) line += " (default " + std::string(key.fallback) + ")";
        if (key.applies == valdrin::keys::Applies::kRestart) line += " [restart]";
        std::printf("%s\n      %.*s\n", line.c_str(), static_cast<int>(key.help.size()), key.help.data());
    }
    std::printf(
        "The HTTP proxy, the SOCKS server, the port redirector and the DNS proxy run\n"
        "from this one process, on one configuration.\n");
}

void print_help() {
    const bool installed = kel::layout::kInstalled;
    std::printf(
        "Usage: %s [--config PATH] [--pidfile PATH] [--ports-file PATH] [--check-config] [--help]\n"
        "\n"
        "Runs the Valdrin HTTP/FTP proxy, SOCKS server, port redirector and DNS proxy\n"
        "in the foreground until SIGINT or SIGTERM;\n"
        "SIGHUP reloads the configuration.\n"
        "\n",
        kProgram);
    if (installed) {
        std::printf(
            "  --config PATH   configuration file (default: %s/valdrin.conf)\n", kel::layout::kConfigDir);
    } else {
        std::printf(
            "  --config PATH   configuration file (default: valdrin.conf in this program's\n"
            "                  folder; on first run it is created there as a copy of\n"
            "                  valdrin.conf.default, and an existing one is never replaced)\n");
    }
    std::printf(
        "  --pidfile PATH  write the process id to PATH once the proxy listens, and\n"
        "                  remove the file on exit\n"
        "  --ports-file PATH\n"
        "                  write where each service listens to PATH once it listens\n"
        "                  (\"http 127.0.0.1:3128\", a line per address), and remove the\n"
        "                  file on exit; HTTPPort=0 lets the system pick the port\n"
        "  --check-config  read the configuration exactly as start-up would, print every\n"
        "                  problem (file:line: why) and exit 1 if the proxy would refuse\n"
        "                  it, 0 if it would take it; nothing is started\n"
        "  --help          show this text\n"
        "\n");
    if (installed) {
        std::printf(
            "Relative file names (adhosts, LogFile, ErrFile) are taken from the folder of\n"
            "the configuration file; valdrin.sys, the image sent for advertising hosts, from\n"
            "there or else from %s.\n",
            kel::layout::kDataDir);
    } else {
        std::printf(
            "Files beside the program: libvaldrin_http.so and libkellib.so (the server),\n"
            "valdrin.conf (settings), valdrin.conf.default (factory settings), adhosts\n"
            "(advertising hosts, one per line), valdrin.sys (image sent in their place).\n");
    }
    std::printf("\n");
    print_keys();
    std::printf(
        "\n"
        "A reload applies every key but those marked [restart] to new connections; open\n"
        "connections and tunnels go on. An invalid configuration is refused and the\n"
        "running one kept.\n"
        "\n"
        "Exit status: 0 after SIGINT or SIGTERM, or when the proxy is disabled in the\n"
        "configuration; 1 when it cannot start or stops listening, or when\n"
        "--check-config finds a problem; 2 on a usage error.\n");
}

void fail_usage(const char *text, const char *argument) {
    std::fprintf(stderr, "%s: %s%s\nTry '%s --help'.\n", kProgram, text, argument, kProgram);
    std::exit(2);
}

std::string beside(const fs::path &folder, const std::string &name) {
    fs::path path(name);
    return (path.is_absolute() ? path : folder / path).string();
}

// The log settings of section "Main", with relative names taken from folder.
struct LogSettings {
    std::string log_file;
    std::string err_file;
    int32_t verbose = 0;
    bool operator==(const LogSettings &) const = default;
};

bool is_true(const std::string &text) {
    return !text.empty() && (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
}

// What the host needs before the server starts, from one read of the file
// with the defaults of the key table: the log must be open by then, and
// HTTPPort names the port in a listening failure.
struct StartSettings {
    LogSettings logs;
    unsigned long port = 0;
};

StartSettings read_start_settings(const fs::path &config, const fs::path &folder) {
    const kel::ini::Document doc = kel::ini::load(config.c_str()).value_or(kel::ini::Document{});
    auto get = [&](const char *section, const char *name) {
        const auto value = doc.get(section, name);
        return value ? *value : std::string(valdrin::keys::find_key(section, name)->fallback);
    };
    StartSettings s;
    s.logs.log_file = beside(folder, get("Main", "LogFile"));
    s.logs.err_file = beside(folder, get("Main", "ErrFile"));
    s.logs.verbose = is_true(get("Main", "Verbose")) ? 1 : 0;
    s.port = std::strtoul(get("HTTP", "HTTPPort").c_str(), nullptr, 10);
    return s;
}

// The log settings of the configuration the server runs with.
std::optional<LogSettings> running_log_settings(const fs::path &folder) {
    char log[1024] = "";
    char err[1024] = "";
    int32_t verbose = 0;
    if (valdrin_http_journal(log, sizeof log, err, sizeof err, &verbose) != 0) return std::nullopt;
    return LogSettings{beside(folder, log), beside(folder, err), verbose};
}

bool open_log(const LogSettings &s) {
    return s.log_file.size() <= kMaxPathBytes && s.err_file.size() <= kMaxPathBytes &&
           kellog_init(s.log_file.c_str(), s.err_file.c_str(), s.verbose) == 0;
}

// Where the server listens, as it says: "[::]:3128", "127.0.0.1:3128, ...".
std::string listening_text() {
    char text[1024] = "";
    if (valdrin_http_ecoute(text, sizeof text) > 0) return text;
    return "its port";
}

// "listening on [::]:3128" for the service manager, and where the other
// services listen after it: ", socks [::]:1080, rdr [::]:8080".
std::string listening_status() {
    char services[4096] = "";
    (void)valdrin_services_ecoute(services, sizeof services);
    std::string out = valdrin_http_etat() == 1 ? listening_text() : "";
    const std::string text = services;
    size_t at = 0;
    while (at < text.size()) {
        const size_t end = text.find('\n', at);
        if (!out.empty()) out += ", ";
        out += text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (end == std::string::npos) break;
        at = end + 1;
    }
    return "listening on " + (out.empty() ? std::string("its port") : out);
}

// SIGHUP: the server takes the new configuration or keeps the running one;
// the log follows the server's verdict.
void reload(const fs::path &config, const fs::path &folder, LogSettings &logs) {
    kel::service::reloading();
    std::fflush(stdout);
    const int32_t result = valdrin_http_recharge();
    if (result < 0) {
        std::fprintf(stderr,
                     "%s: reload of %s failed (see the line above); the running configuration is "
                     "kept\n",
                     kProgram, config.c_str());
    } else {
        const LogSettings fresh = running_log_settings(folder).value_or(logs);
        if (!(fresh == logs)) {
            if (open_log(fresh)) {
                logs = fresh;
            } else {
                std::fprintf(stderr,
                             "%s: cannot open the log file %s or the error file %s; logging goes "
                             "on to %s and %s\n",
                             kProgram, fresh.log_file.c_str(), fresh.err_file.c_str(),
                             logs.log_file.c_str(), logs.err_file.c_str());
                (void)open_log(logs);
            }
        }
        std::printf("%s: configuration reloaded from %s%s\n", kProgram, config.c_str(),
                    result == 1   ? " (a restart is needed for the change of HTTPPort or HTTPEnabled)"
                    : result == 2 ? " (a restart is needed for a change said above)"
                                  : "");
    }
    std::fflush(stdout);
    std::fflush(stderr);
    kel::service::ready(listening_status());
}

// The pid file and the ports file, removed again on every exit once
// written.
std::string g_pid_file;
bool g_pid_written = false;
std::string g_ports_file;
bool g_ports_written = false;

[[noreturn]] void finish(int status) {
    std::error_code ignored;
    if (g_pid_written) fs::remove(g_pid_file, ignored);
    if (g_ports_written) fs::remove(g_ports_file, ignored);
    std::fflush(stdout);
    std::fflush(stderr);
    std::exit(status);
}

// "http 127.0.0.1:3128" for each address the HTTP proxy listens on, from
// the text the server gives ("[::]:3128, 127.0.0.1:3128").
std::string ports_text() {
    char services[4096] = "";
    (void)valdrin_services_ecoute(services, sizeof services);
    if (valdrin_http_etat() != 1) return services;
    std::string text = listening_text();
    std::string out;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = text.find(", ", at);
        const std::string entry = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!entry.empty()) out += "http " + entry + "\n";
        if (comma == std::string::npos) break;
        at = comma + 2;
    }
    return out + services;
}

std::string listen_failure_reason(int32_t state, unsigned long port) {
    if (state == -3) return "a connection record could not be allocated (out of memory)";
    std::string reason = kel::process::bind_failure_reason(static_cast<uint16_t>(port));
    if (reason.empty()) return "the listening socket could not be created or bound";
    return "bind() failed (" + reason + ")";
}

}  // namespace

int main(int argc, char **argv) {
    std::string config_arg;
    bool check_only = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            print_help();
            return 0;
        }
        if (arg == "--check-config") {
            check_only = true;
        } else if (arg == "--config" || arg == "--pidfile" || arg == "--ports-file") {
            if (i + 1 >= argc) fail_usage("missing value after ", arg.c_str());
            (arg == "--config" ? config_arg : arg == "--pidfile" ? g_pid_file : g_ports_file) = argv[++i];
        } else if (arg.rfind("--config=", 0) == 0) {
            config_arg = arg.substr(9);
        } else if (arg.rfind("--pidfile=", 0) == 0) {
            g_pid_file = arg.substr(10);
        } else if (arg.rfind("--ports-file=", 0) == 0) {
            g_ports_file = arg.substr(13);
        } else {
            fail_usage("unknown argument ", arg.c_str());
        }
    }

    // Before the server starts any thread, so that only this one gets them.
    if (!kel::process::block_stop_signals()) {
        std::fprintf(stderr, "%s: cannot block SIGINT and SIGTERM\n", kProgram);
        return 1;
    }

    // Each connection holds one or two descriptors.
    (void)kel::process::raise_descriptor_limit();

    fs::path folder = kel::process::executable_folder();
    if (folder.empty()) {
        std::fprintf(stderr, "%s: cannot find this program's folder from /proc/self/exe\n",
                     kProgram);
        return 1;
    }

    std::error_code ec;
    fs::path config;
    if (config_arg.empty() && kel::layout::kInstalled) {
        // Installed, the configuration is the package's, never made here.
        config = default_config(folder);
        if (!fs::is_regular_file(config, ec)) {
            std::fprintf(stderr, "%s: configuration file %s not found\n", kProgram, config.c_str());
            return 1;
        }
    } else if (config_arg.empty()) {
        config = default_config(folder);
        fs::path factory = folder / "valdrin.conf.default";
        if (check_only && !fs::exists(config, ec)) {
            std::fprintf(stderr, "%s: configuration file %s not found\n", kProgram, config.c_str());
            return 1;
        }
        if (!fs::exists(config, ec)) {
            // First run: start from the factory settings, never over an existing file.
            if (!fs::copy_file(factory, config, fs::copy_options::none, ec) && !fs::exists(config)) {
                std::fprintf(stderr, "%s: cannot create %s from %s (%s)\n", kProgram,
                             config.c_str(), factory.c_str(), ec.message().c_str());
                return 1;
            }
            std::printf("%s: created %s from the factory configuration\n", kProgram,
                        config.c_str());
        }
    } else {
        // The server changes the current directory; keep the path valid.
        config = fs::absolute(config_arg, ec);
        if (ec || !fs::is_regular_file(config, ec)) {
            std::fprintf(stderr, "%s: configuration file %s not found\n", kProgram,
                         config_arg.c_str());
            return 1;
        }
    }
    if (config.string().size() > kMaxPathBytes) {
        std::fprintf(stderr, "%s: configuration path longer than %zu bytes: %s\n", kProgram,
                     kMaxPathBytes, config.c_str());
        return 1;
    }

    // Installed, relative names belong with the configuration; in the
    // ready-to-run folder, with the program.
    const fs::path files_folder = kel::layout::kInstalled ? config.parent_path() : folder;
    if (kel::layout::kInstalled &&
        valdrin_http_fixe_dossiers(files_folder.c_str(), kel::layout::kDataDir) != 0) {
        std::fprintf(stderr, "%s: folder name too long: %s\n", kProgram, files_folder.c_str());
        return 1;
    }

    if (check_only) {
        const int32_t problems = valdrin_http_verifie(config.c_str());
        if (problems == 0) {
            std::printf("%s: the configuration file %s is valid\n", kProgram, config.c_str());
            return 0;
        }
        if (problems > 0) {
            std::fprintf(stderr, "%s: %d problem%s in %s: the proxy would refuse it\n", kProgram, problems,
                         problems == 1 ? "" : "s", config.c_str());
        } else {
            std::fprintf(stderr, "%s: the configuration file %s could not be checked\n", kProgram, config.c_str());
        }
        return 1;
    }

    if (kelcfg_init(config.c_str()) != 0) {
        std::fprintf(stderr, "%s: cannot use the configuration file %s\n", kProgram,
                     config.c_str());
        return 1;
    }
    const StartSettings start = read_start_settings(config, files_folder);
    LogSettings logs = start.logs;
    if (!open_log(logs)) {
        std::fprintf(stderr, "\n%s: cannot open the log file %s or the error file %s\n", kProgram,
                     logs.log_file.c_str(), logs.err_file.c_str());
        return 1;
    }
    // One read of the file serves every service.
    if (valdrin_config_charge() != 0) {
        std::fprintf(stderr, "%s: the configuration %s cannot be used (see above)\n", kProgram, config.c_str());
        finish(1);
    }
    int32_t started = demarre_serveur_http();
    if (started < 0) {
        std::fprintf(stderr, "%s: the HTTP proxy could not start with %s (see above)\n", kProgram,
                     config.c_str());
        finish(1);
    }
    const int32_t socks = valdrin_socks_demarre();
    if (socks < 0) {
        std::fprintf(stderr, "%s: the SOCKS server could not start with %s (see above)\n", kProgram, config.c_str());
        finish(1);
    }
    const int32_t rdr = valdrin_rdr_demarre();
    if (rdr < 0) {
        std::fprintf(stderr, "%s: the port redirector could not start with %s (see above)\n", kProgram,
                     config.c_str());
        finish(1);
    }
    const int32_t dns = valdrin_dns_demarre();
    if (dns < 0) {
        std::fprintf(stderr, "%s: the DNS proxy could not start with %s (see above)\n", kProgram, config.c_str());
        finish(1);
    }
    if (started == 0 && socks == 0 && rdr == 0 && dns == 0) {
        std::printf("%s: the HTTP proxy is disabled in %s (HTTPEnabled is not true), and so are the SOCKS "
                    "server, the port redirector and the DNS proxy; nothing to serve\n",
                    kProgram, config.c_str());
        finish(0);
    }

    const unsigned long port = start.port;
    int32_t state = started == 1 ? 0 : 1;
    for (int waited = 0; state == 0 && waited < kListenWaitMs; waited += kListenPollMs) {
        state = valdrin_http_etat();
        if (state != 0) break;
        if (kel::process::wait_stop_signal(kListenPollMs) != 0) {
            kel::service::stopping();
            finish(0);
        }
    }
    if (state < 0) {
        std::fprintf(stderr, "%s: the HTTP proxy cannot listen on port %lu: %s\n", kProgram, port,
                     listen_failure_reason(state, port).c_str());
        finish(1);
    }
    if (state == 0) {
        std::fprintf(stderr, "%s: the HTTP proxy is not listening on port %lu after %d s\n",
                     kProgram, port, kListenWaitMs / 1000);
        finish(1);
    }

    // Said before the files are written: whoever waits on them finds the line.
    if (started == 1)
        std::printf("%s: HTTP proxy listening on %s, configuration %s\n", kProgram, listening_text().c_str(),
                    config.c_str());
    std::fflush(stdout);
    if (!g_pid_file.empty()) {
        std::string why;
        if (!kel::process::write_pid_file(g_pid_file, &why)) {
            std::fprintf(stderr, "%s: cannot write the pid file %s (%s)\n", kProgram,
                         g_pid_file.c_str(), why.c_str());
            finish(1);
        }
        g_pid_written = true;
    }
    if (!g_ports_file.empty()) {
        int error = 0;
        if (!kel::fs::replace_atomically(g_ports_file.c_str(), ports_text(), &error)) {
            std::fprintf(stderr, "%s: cannot write the ports file %s (%s)\n", kProgram, g_ports_file.c_str(),
                         kel::fs::error_text(error).c_str());
            finish(1);
        }
        g_ports_written = true;
    }
    kel::service::ready(listening_status());

    for (;;) {
        int sig = 0;
        const auto control = kel::process::wait_control_signal(kRunPollMs, &sig);
        if (control == kel::process::Control::Stop) {
            kel::service::stopping();
            std::printf("%s: stopping on signal %d\n", kProgram, sig);
            finish(0);
        }
        if (control == kel::process::Control::Reload) reload(config, files_folder, logs);
        state = started == 1 ? valdrin_http_etat() : 1;
        if (state < 0) {
            std::fprintf(stderr, "%s: the HTTP proxy stopped listening on port %lu (%d)\n",
                         kProgram, port, state);
            finish(1);
        }
    }
}
