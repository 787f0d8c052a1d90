// Start-up, connection thread and dispatch, forwarding, FTP through HTTP,
// error pages.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "kelconfig.h"
#include "kelhttp.h"
#include "kelhttpe.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/fs.h"
#include "kelplat/inet.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"
#include "kelplat/process.h"
#include "kelplat/thread.h"
#include "request_framing.h"
#include "stats.h"
#include "valdrin_http.h"
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

namespace kel::server {
namespace {

// Listener state for valdrin_http_etat(): 0 until the server thread ends,
// then the listener's (negative) result.
std::atomic<int32_t> g_server_result{0};
std::atomic<bool> g_server_started{false};
// Written by the listener through its socket output.
uint32_t g_listen_sd = KELNET_INVALIDE;

// "HTTPListen" as read at start-up (empty: every interface), and the text
// of what the listener opened.
std::mutex g_listen_mutex;
std::vector<std::string> g_listen_addresses;
std::string g_listen_text;

// Set by valdrin_http_fixe_dossiers: the folder of the relative file
// names (empty: the host program's), and the one of the image when that
// folder has none.
std::mutex g_folders_mutex;
std::string g_folder;
std::string g_data_folder;

// Under tables_lock(); never destroyed, as connection threads may still
// send it while the process exits.
std::shared_ptr<const Image> &g_image = *new std::shared_ptr<const Image>;

thread_local bool t_client_closed = false;

std::atomic<uint64_t> g_curl_handles_created{0};

#define VALDRIN_PAGE_HEAD "<HTML><HEAD><TITLE>Valdrin Proxy Server : Error</TITLE></HEAD><BODY>"
#define VALDRIN_PAGE_FOOT                                                           \
    "<BR><BR><HR><DIV ALIGN=RIGHT><FONT SIZE=-1><I>"                                \
    "Valdrin Proxy Server r.1.1 - HTTP, FTP and CONNECT proxy for the local network" \
    "</I></FONT></DIV></BODY></HTML>"
#define VALDRIN_PAGE(body) VALDRIN_PAGE_HEAD body VALDRIN_PAGE_FOOT

constexpr ErrorPage kPages[] = {
    {VALDRIN_PAGE("<H1>Invalid request</H1>Your browser sent a request that could not be "
                  "understood."),
     400},
    {VALDRIN_PAGE("<H1>Method not allowed</H1>The method specified by your browser is "
                  "unsupported."),
     405},
    {VALDRIN_PAGE("<H1>Not Allowed</H1>You are not allowed to connect on this server."), 403},
    {VALDRIN_PAGE("<H1>Connection refused</H1>The connection to the application server was "
                  "refused."),
     503},
    {VALDRIN_PAGE("<H1>Failed to resolve</H1>Impossible to resolve the requested hostname."), 503},
    {VALDRIN_PAGE("<H1>Error</H1>An error occured while retrieving the page."), 500},
    {VALDRIN_PAGE("<H1>Too many connections</H1>The proxy serves as many connections as it "
                  "may; try again in a moment."),
     503},
    {VALDRIN_PAGE("<H1>Blocked host</H1>The host you asked for is on the proxy's list of "
                  "advertising and tracking hosts."),
     403},
    {VALDRIN_PAGE("<H1>Not found</H1>The proxy has no page at this address."), 404},
};
constexpr ErrorPage kUnknownCodePage = {kPages[5].html, 400};

char to_upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Runs one handler of the dispatch table.
using Handler = int32_t (*)(uint32_t, kelHttpEntete *, CURL *);

int32_t refuse_method(uint32_t sd, const kelHttpEntete *che, http_Erreurs page) {
    http_erreur(sd, page);
    close_client(sd);
    kellog_log("Unsupported method %s", che->methode);
    return -1;
}

bool is_one_of(const char *method, std::initializer_list<const char *> names) {
    for (const char *name : names) {
        if (equals_ignoring_case(method, name)) return true;
    }
    return false;
}

}  // namespace

std::optional<uint16_t> parse_http_port(const char *text) {
    if (text == nullptr) return std::nullopt;
    while (*text == ' ' || *text == '\t') ++text;
    uint32_t value = 0;
    bool any_digit = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        any_digit = true;
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > 65535) return std::nullopt;
    }
    if (!any_digit || value == 0) return std::nullopt;
    return static_cast<uint16_t>(value);
}

std::optional<int32_t> parse_count_setting(const char *text) {
    if (text == nullptr) return std::nullopt;
    while (*text == ' ' || *text == '\t') ++text;
    int32_t value = 0;
    bool any_digit = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        any_digit = true;
        value = value * 10 + (*text - '0');
        if (value > 2'000'000) return std::nullopt;
    }
    while (*text == ' ' || *text == '\t') ++text;
    if (!any_digit || *text != '\0') return std::nullopt;
    return value;
}

std::optional<Limits> parse_limits() {
    Limits read{};
    struct Limit {
        const char *key;
        const char *fallback;
        int32_t *value;
    };
    const Limit limits[] = {
        {"HTTPHeaderTimeout", "30", &read.header_timeout},
        {"HTTPIdleTimeout", "900", &read.idle_timeout},
        {"HTTPConnectTimeout", "30", &read.connect_timeout},
        {"HTTPMaxClients", "8000", &read.max_clients},
        {"HTTPMaxWaiting", "20000", &read.max_waiting},
    };
    for (const Limit &limit : limits) {
        char buffer[64] = "";
        kelcfg_recup_E("HTTP", limit.key, buffer, sizeof buffer, limit.fallback);
        auto value = parse_count_setting(buffer);
        if (!value) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "invalid %s '%s' in section HTTP: a whole number from 0 (no limit) to "
                          "2000000 is expected",
                          limit.key, buffer);
            kel::diag::message(text, kModule, __LINE__);
            return std::nullopt;
        }
        *limit.value = *value;
    }
    read.max_waiting = waiting_within_descriptors(read.max_waiting, read.max_clients,
                                                  kel::process::descriptor_limit());
    return read;
}

int32_t waiting_within_descriptors(int32_t max_waiting, int32_t max_clients, uint64_t descriptor_limit) {
    // A connection at work may hold two descriptors; a few go to the
    // listener, logs and libraries.
    constexpr uint64_t kSpare = 64;
    const uint64_t working = max_clients > 0 ? 2 * static_cast<uint64_t>(max_clients) : 0;
    const uint64_t room = descriptor_limit > working + kSpare ? descriptor_limit - working - kSpare : 1;
    const uint64_t asked = max_waiting > 0 ? static_cast<uint64_t>(max_waiting) : UINT64_MAX;
    if (asked <= room || descriptor_limit == UINT64_MAX) return max_waiting;
    const auto lowered = static_cast<int32_t>(std::min<uint64_t>(room, 2'000'000));
    kel::diag::out_printf(
        "HTTPMaxWaiting %s lowered to %d: the open-file limit of %llu leaves no more beside HTTPMaxClients %d\n",
        max_waiting > 0 ? std::to_string(max_waiting).c_str() : "0 (no limit)", lowered,
        static_cast<unsigned long long>(descriptor_limit), max_clients);
    return lowered;
}

void apply_limits(const Limits &limits) {
    set_setting(g_http_header_timeout, limits.header_timeout);
    set_setting(g_http_idle_timeout, limits.idle_timeout);
    set_setting(g_http_connect_timeout, limits.connect_timeout);
    set_setting(g_http_max_clients, limits.max_clients);
    set_setting(g_http_max_waiting, limits.max_waiting);
    kelnet_fixe_delais(limits.header_timeout, limits.idle_timeout, limits.connect_timeout);
    kelnet_fixe_max_clients(limits.max_clients, http_trop_de_clients);
    // Connections always wait for their request without a thread here; 0
    // lifts the cap on how many may.
    kelnet_fixe_max_attente(limits.max_waiting > 0 ? limits.max_waiting : -1, http_trop_en_attente);
}

bool read_limits() {
    auto limits = parse_limits();
    if (!limits) return false;
    apply_limits(*limits);
    return true;
}

bool is_true_setting(const char *text) {
    if (text == nullptr) return false;
    char first = to_upper_ascii(text[0]);
    return first == 'T' || first == 'Y';
}

bool equals_ignoring_case(const char *a, const char *b) {
    if (a == nullptr || b == nullptr) return false;
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        if (to_upper_ascii(*a) != to_upper_ascii(*b)) return false;
    }
    return *a == *b;
}

ErrorPage error_page(int code) {
    if (code < 0 || code >= static_cast<int>(std::size(kPages))) return kUnknownCodePage;
    return kPages[code];
}

http_Erreurs ftp_failure_page(CURLcode result) {
    switch (result) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return HTTP_RESOLVE_FAIL;
        case CURLE_COULDNT_CONNECT:
            return HTTP_CONNECTION_REFUSED;
        default:
            return HTTP_INTERNAL_ERROR;
    }
}

uint16_t port_to_network(uint16_t port) { return kel::net::host_to_net16(port); }

CURL *new_curl_handle() {
    g_curl_handles_created.fetch_add(1, std::memory_order_relaxed);
    return curl_easy_init();
}

uint64_t curl_handles_created() { return g_curl_handles_created.load(std::memory_order_relaxed); }

void close_client(uint32_t sd) {
    if (t_client_closed) return;
    t_client_closed = true;
    kelnet_fermer(sd);
}

void mark_client_closed() { t_client_closed = true; }
bool client_is_closed() { return t_client_closed; }
void reset_client_state() { t_client_closed = false; }

namespace {
thread_local Exchange *t_exchange = nullptr;
// The codes the common web servers log where no status was sent.
constexpr int kNoValidReply = 502;
constexpr int kClientGone = 499;
}  // namespace

Exchange *current_exchange() { return t_exchange; }

void note_reply(int status, uint64_t bytes) {
    if (t_exchange == nullptr) return;
    t_exchange->status = status;
    t_exchange->bytes_to_client += bytes;
}

void note_verdict(Verdict v) {
    if (t_exchange != nullptr) t_exchange->verdict = v;
}

int status_of_reply_start(std::string_view start) {
    // "HTTP/x.y NNN": the three digits after the first space.
    if (start.substr(0, 5) != "HTTP/") return 0;
    const size_t space = start.find(' ');
    if (space == std::string_view::npos || space + 4 > start.size()) return 0;
    int code = 0;
    for (size_t i = space + 1; i < space + 4; ++i) {
        if (start[i] < '0' || start[i] > '9') return 0;
        code = code * 10 + (start[i] - '0');
    }
    return code >= 100 ? code : 0;
}

void note_relay(bool origin_first, Verdict v) {
    if (t_exchange == nullptr) return;
    kelnet_bilan b{};
    kelnet_bilan_redir(&b);
    const uint64_t to_client = origin_first ? b.octets_1_vers_2 : b.octets_2_vers_1;
    const uint64_t to_origin = origin_first ? b.octets_2_vers_1 : b.octets_1_vers_2;
    t_exchange->bytes_to_client += to_client;
    t_exchange->bytes_to_origin += to_origin;
    if (origin_first) {
        // An origin that closed without a status line answered nothing valid.
        const int status = status_of_reply_start(
            std::string_view(b.debut_1_vers_2, static_cast<size_t>(b.debut_lng_1_vers_2)));
        t_exchange->status = status != 0 ? status : kNoValidReply;
    }
    t_exchange->verdict = v;
}

void note_request_head(std::string_view head) {
    if (t_exchange == nullptr) return;
    // A request line longer than this is kept cut: the log line stays sane.
    constexpr size_t kMaxLoggedLine = 8192;
    const size_t line_end = std::min(head.find("\r\n"), head.size());
    t_exchange->request_line = std::string(head.substr(0, std::min(line_end, kMaxLoggedLine)));
    const std::string_view line = head.substr(0, line_end);
    const size_t first = line.find(' ');
    if (first != std::string_view::npos && first + 1 < line.size() && line[first + 1] == '/') {
        const size_t second = line.find(' ', first + 1);
        t_exchange->origin_target = std::string(line.substr(first + 1, second - first - 1));
    }
    size_t pos = line_end + 2;
    while (pos < head.size()) {
        const size_t end = std::min(head.find("\r\n", pos), head.size());
        const std::string_view line = head.substr(pos, end - pos);
        pos = end + 2;
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos) continue;
        const std::string name(line.substr(0, colon));
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
        if (equals_ignoring_case(name.c_str(), "Referer")) {
            t_exchange->referer = std::string(value.substr(0, kMaxLoggedLine));
        } else if (equals_ignoring_case(name.c_str(), "User-Agent")) {
            t_exchange->user_agent = std::string(value.substr(0, kMaxLoggedLine));
        }
    }
}

bool is_status_request(const kelHttpEntete *che) {
    if (t_exchange != nullptr && !t_exchange->origin_target.empty()) return true;
    return che->hote != nullptr && che->chemin != nullptr && equals_ignoring_case(che->hote, "valdrin.status");
}

void serve_status(uint32_t sd, const kelHttpEntete *che) {
    // The parser reads an origin-form target's first segment as a host: take
    // the path as it came.
    std::string_view path = t_exchange != nullptr && !t_exchange->origin_target.empty()
                                ? std::string_view(t_exchange->origin_target)
                                : std::string_view(che->chemin);
    path = path.substr(0, path.find('?'));
    std::string body;
    const char *type;
    if (path == "/" || path.empty()) {
        body = status_html(gather_status());
        type = "text/html; charset=utf-8";
    } else if (path == "/metrics") {
        body = status_metrics(gather_status());
        type = "text/plain; version=0.0.4; charset=utf-8";
    } else if (path == "/status.json") {
        body = status_json(gather_status());
        type = "application/json";
    } else {
        http_erreur(sd, HTTP_NOT_FOUND);
        note_verdict(Verdict::Status);
        return;
    }
    if (kelHttp_envoie_E(sd, body.data(), static_cast<int32_t>(body.size()), type, 200) < 0) KEL_DIAG();
    note_reply(200, reply_bytes(200, type, body.size()));
    note_verdict(Verdict::Status);
}

uint64_t reply_bytes(int32_t code, const char *content_type, uint64_t body_bytes) {
    // The head kelHttp_envoie_E writes, field for field.
    const std::string head = "HTTP/1.1 " + std::to_string(code) + " " + kelHttpE_code_en_str(code) +
                             "\r\nConnection: close\r\nContent-Type: " + content_type +
                             "\r\nContent-Length: " + std::to_string(body_bytes) + "\r\n\r\n";
    return head.size() + body_bytes;
}

net::IpAddress client_address(const kelnet_sockaddr &sock_dist) {
    // The listener knows the peer of either family; the record, IPv4 only.
    kelnet_adresse_ip pair{};
    if (kelnet_pair_courant(&pair) == 0 && (pair.famille == 4 || pair.famille == 6)) {
        net::IpAddress a;
        a.family = pair.famille;
        std::memcpy(a.bytes, pair.octets, sizeof a.bytes);
        a.scope_id = pair.zone;
        return a;
    }
    return net::ipv4_address(sock_dist.adresse);
}

namespace {

// Logs and counts the connection's exchange when the connection ends.
class ExchangeScope {
public:
    explicit ExchangeScope(const kelnet_sockaddr &peer) : ExchangeScope(client_address(peer)) {}
    explicit ExchangeScope(const net::IpAddress &peer) {
        exchange_.client = net::ip_text(peer);
        exchange_.started_wall = std::time(nullptr);
        exchange_.started = std::chrono::steady_clock::now();
        t_exchange = &exchange_;
        Stats::instance().opened(kelnet_nb_clients());
    }
    ~ExchangeScope() {
        t_exchange = nullptr;
        finish(exchange_);
    }
    ExchangeScope(const ExchangeScope &) = delete;
    ExchangeScope &operator=(const ExchangeScope &) = delete;

    static void finish(const Exchange &e) {
        Stats &stats = Stats::instance();
        stats.count(e.verdict);
        stats.add_bytes(e.bytes_to_client, e.bytes_to_origin);
        AccessEntry entry;
        entry.client = e.client;
        entry.started = e.started_wall;
        entry.request_line = e.request_line;
        // Log readers want a number: a client gone before any reply is 499.
        entry.status = e.status != 0 ? e.status : kClientGone;
        entry.bytes = e.bytes_to_client;
        entry.referer = e.referer;
        entry.user_agent = e.user_agent;
        entry.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - e.started)
                                .count();
        entry.verdict = e.verdict;
        AccessLog::instance().submit(entry);
    }

private:
    Exchange exchange_;
};

}  // namespace

std::optional<std::string> read_access_log_setting() {
    char path[1024] = "";
    // A key written with an empty value turns the log off; a missing key
    // gets the default.
    kelcfg_recup_E("Main", "AccessLog", path, sizeof path, "access.log");
    int error = 0;
    if (path[0] != '\0' && !kel::fs::can_append(path, &error)) {
        const std::string text = std::string("AccessLog '") + path + "' in section Main cannot be written (" +
                                 kel::fs::error_text(error) + ")";
        kel::diag::message(text.c_str(), kModule, __LINE__);
        return std::nullopt;
    }
    return std::string(path);
}

std::vector<std::string> listen_addresses() {
    std::lock_guard<std::mutex> hold(g_listen_mutex);
    return g_listen_addresses;
}

std::optional<std::vector<std::string>> parse_listen_setting() {
    char value[1024] = "";
    kelcfg_recup_E("HTTP", "HTTPListen", value, sizeof value, "");
    std::vector<std::string> addresses;
    std::string_view rest = value;
    while (!rest.empty()) {
        const size_t cut = rest.find_first_of(", \t");
        const std::string_view entry = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (entry.empty()) continue;
        net::IpAddress a;
        if (!net::parse_ip(entry, &a)) {
            const std::string text = "invalid address '" + std::string(entry) +
                                     "' in HTTPListen in section HTTP: an IPv4 or IPv6 address is expected, "
                                     "such as 127.0.0.1, ::1 or [fe80::1%eth0]";
            kel::diag::message(text.c_str(), kModule, __LINE__);
            return std::nullopt;
        }
        addresses.emplace_back(entry);
    }
    return addresses;
}

bool server_is_running() { return g_server_started.load() && g_server_result.load() == 0; }

kel::sync::RwLock &tables_lock() {
    // Writers first: a reload must not wait behind an endless stream of
    // look-ups, which are short and never nest.
    static kel::sync::RwLock *const lock = new kel::sync::RwLock(kel::sync::RwLock::Preference::Writers);
    return *lock;
}

std::shared_ptr<const Image> read_replacement_image(const char *path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> file(std::fopen(path, "rb"), &std::fclose);
    if (!file) {
        KEL_DIAG_MSG("valdrin.sys cannot be opened");
        return nullptr;
    }
    auto image = std::make_shared<Image>();
    image->bytes = static_cast<unsigned char *>(std::malloc(kMaxImageBytes));
    if (image->bytes == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    size_t length = std::fread(image->bytes, 1, kMaxImageBytes, file.get());
    if (length == 0) {
        KEL_DIAG_MSG("valdrin.sys is empty or unreadable");
        return nullptr;
    }
    auto *shrunk = static_cast<unsigned char *>(std::realloc(image->bytes, length));
    if (shrunk == nullptr) {
        KEL_DIAG();
        return nullptr;
    }
    image->bytes = shrunk;
    image->length = static_cast<int32_t>(length);
    return image;
}

void install_image(std::shared_ptr<const Image> image) {
    std::unique_lock<kel::sync::RwLock> hold(tables_lock());
    g_http_gif_remplace = image != nullptr ? image->bytes : nullptr;
    g_http_gif_remplace_lng = image != nullptr ? image->length : 0;
    // The image it replaces goes when the last reply that sends it is done.
    g_image.swap(image);
}

std::shared_ptr<const Image> current_image() {
    std::shared_lock<kel::sync::RwLock> hold(tables_lock());
    return g_image;
}

int32_t load_replacement_image(const char *path) {
    auto image = read_replacement_image(path);
    if (image == nullptr) return -1;
    install_image(std::move(image));
    return 0;
}

void reset_folders_for_tests() {
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    g_folder.clear();
    g_data_folder.clear();
}

std::string replacement_image_path() {
    constexpr const char *kName = "valdrin.sys";
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    std::error_code ignored;
    if (g_data_folder.empty() || std::filesystem::exists(kName, ignored)) return kName;
    return g_data_folder + "/" + kName;
}

}  // namespace kel::server

using kel::server::close_client;

// ---------------------------------------------------------------- start-up

extern "C" VALDRIN_API int32_t demarre_serveur_http(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        char enabled[20] = "";
        kelcfg_recup_E("HTTP", "HTTPEnabled", enabled, sizeof enabled, "");
        if (!kel::server::is_true_setting(enabled)) return 0;

        if (kel::server::g_server_started.load()) {
            KEL_DIAG_MSG("the HTTP proxy server is already started");
            return -1;
        }

        // Relative file names ("adhosts", "valdrin.sys") are the host's
        // folder's, unless the host named another.
        std::string folder;
        {
            std::lock_guard<std::mutex> hold(kel::server::g_folders_mutex);
            folder = kel::server::g_folder;
        }
        const bool own_folder = folder.empty();
        if (own_folder) folder = kel::process::executable_folder();
        if (folder.empty() || !kel::process::change_directory(folder)) {
            if (own_folder) {
                KEL_DIAG_MSG("cannot make the host program's folder the current directory");
            } else {
                const std::string text = "cannot make " + folder + " the current directory";
                KEL_DIAG_MSG(text.c_str());
            }
            return -1;
        }

        char buffer[1024] = "";
        kelcfg_recup_E("HTTP", "HTTPPort", buffer, sizeof buffer, "3128");
        auto port = kel::server::parse_http_port(buffer);
        if (!port) {
            char text[1100];
            std::snprintf(text, sizeof text,
                          "invalid HTTPPort '%s' in section HTTP: a port from 1 to 65535 is expected",
                          buffer);
            kel::diag::message(text, kModule, __LINE__);
            return -1;
        }
        g_http_port = *port;
        const auto listen = kel::server::parse_listen_setting();
        if (!listen) return -1;
        {
            std::lock_guard<std::mutex> hold(kel::server::g_listen_mutex);
            kel::server::g_listen_addresses = *listen;
        }
        if (!kel::server::read_limits()) return -1;

        if (valdrin_ip_mask_init() < 0) {
            KEL_DIAG();
            return -1;
        }
        if (valdrin_host_mask_init() < 0) {
            KEL_DIAG();
            return -1;
        }

        kelcfg_recup_E("HTTP", "HTTPSecure", buffer, sizeof buffer, "false");
        if (kel::server::is_true_setting(buffer)) {
            g_http_secure = 1;
            kel::diag::out_printf("HTTPSecure Enabled\n");
        }

        const auto access_log = kel::server::read_access_log_setting();
        if (!access_log) return -1;
        kel::server::AccessLog::instance().configure(*access_log);

        if (kel::server::load_replacement_image(kel::server::replacement_image_path().c_str()) < 0) {
            KEL_DIAG();
            return -1;
        }

        kel::server::g_server_result.store(0);
        // On the host's thread, not the server's: the host may exit at any
        // moment, and the cleanup libcurl's libraries register at exit must
        // not run while another thread is still inside their set-up.
        curl_global_init(CURL_GLOBAL_NOTHING);
        int err = kel::thread::start_detached([](void *) { http_proxy(); }, nullptr,
                                              kel::thread::kConnectionStackBytes);
        if (err != 0) {
            curl_global_cleanup();
            char text[160];
            std::snprintf(text, sizeof text, "the server thread cannot be started (%d: %s)", err,
                          kel::thread::error_text(err));
            kel::diag::message(text, kModule, __LINE__);
            return -1;
        }
        kel::server::g_server_started.store(true);
        kel::server::Stats::instance().started_now();
        return 1;
    });
}

extern "C" VALDRIN_API int32_t valdrin_http_fixe_dossiers(const char *dossier,
                                                           const char *dossier_donnees) {
    return kel::guard(__func__, int32_t{-1}, [&]() -> int32_t {
        constexpr size_t kMaxFolderBytes = 1023;
        for (const char *f : {dossier, dossier_donnees}) {
            if (f != nullptr && (f[0] == '\0' || std::strlen(f) > kMaxFolderBytes)) {
                KEL_DIAG_MSG("folder name empty or longer than 1023 bytes");
                return -1;
            }
        }
        std::lock_guard<std::mutex> hold(kel::server::g_folders_mutex);
        if (dossier != nullptr) kel::server::g_folder = dossier;
        if (dossier_donnees != nullptr) kel::server::g_data_folder = dossier_donnees;
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
        int32_t result = kel::server::g_server_result.load();
        if (result < 0) return result;
        if (!kel::server::g_server_started.load()) return 0;
        // The listener stores its socket before binding; read it as it is now.
        uint32_t sd = std::atomic_ref<uint32_t>(kel::server::g_listen_sd).load();
        if (sd == KELNET_INVALIDE) return 0;
        return kel::process::socket_is_listening(sd, g_http_port) ? 1 : 0;
    });
}

namespace kel::server {
namespace {

// Opens the listening sockets, the first one published in g_listen_sd for
// the status. 0, or -2 after the listener's own lines (none stays open).
int32_t open_listeners(std::vector<uint32_t> *sockets) {
    std::vector<std::string> addresses;
    {
        std::lock_guard<std::mutex> hold(g_listen_mutex);
        addresses = g_listen_addresses;
    }
    if (addresses.empty()) {
        // One dual-stack socket takes both families.
        if (kelnet_ipv6_disponible() == 1) {
            addresses = {"::"};
        } else {
            kel::diag::out_printf("IPv6 is not available here: listening on IPv4 alone\n");
            addresses = {"0.0.0.0"};
        }
    }
    std::string text;
    for (const std::string &address : addresses) {
        uint32_t sd = KELNET_INVALIDE;
        uint32_t *out = sockets->empty() ? &g_listen_sd : &sd;
        if (kelnet_cree_ecouteur_ip(address.c_str(), g_http_port, out) != 0) {
            KEL_DIAG_MSG("connexion impossible");
            if (*out != KELNET_INVALIDE) kelnet_fermer(*out);
            for (uint32_t s : *sockets) kelnet_fermer(s);
            sockets->clear();
            return -2;
        }
        sockets->push_back(*out);
        net::IpAddress a;
        net::parse_ip(address, &a);
        if (!text.empty()) text += ", ";
        text += net::host_text(a) + ":" + std::to_string(g_http_port);
    }
    std::lock_guard<std::mutex> hold(g_listen_mutex);
    g_listen_text = text;
    return 0;
}

}  // namespace
}  // namespace kel::server

extern "C" void http_proxy(void) {
    kel::diag::out_printf("HTTP/FTP proxy server starts (%d)\n", g_http_port);
    // The allow-list answers on accept, on the listener's thread.
    kelnet_fixe_admission(http_admet);
    std::vector<uint32_t> listening;
    int32_t result = kel::server::open_listeners(&listening);
    if (result == 0) {
        result = kelnet_ecouteurs_thread(listening.data(), static_cast<int32_t>(listening.size()), http_servir);
    }
    curl_global_cleanup();
    kel::diag::out_printf("HTTP/FTP server exits (%d)\n", result);
    // A listener that returns has failed, whatever it returned.
    kel::server::g_server_result.store(result < 0 ? result : -1);
}

// ---------------------------------------------------------------- connection thread

extern "C" void http_servir(void *params) {
    kel::guard_void(__func__, [params] {
        if (params == nullptr) {
            KEL_DIAG();
            return;
        }
        auto *record = static_cast<kelnet_params *>(params);
        uint32_t sd = record->sd;
        kelnet_sockaddr sock_dist = record->sock_dist;
        std::free(record);
        kel::server::reset_client_state();
        const kel::net::IpAddress client = kel::server::client_address(sock_dist);
        kel::server::ExchangeScope exchange(client);

        if (!kel::server::client_allowed(client)) {
            http_erreur(sd, HTTP_NOT_ALLOWED);
            kel::server::note_verdict(kel::server::Verdict::Refused);
            close_client(sd);
            const std::string &address = kel::server::current_exchange()->client;
            kel::server::Stats::instance().refused(address);
            kellog_log("Connection from %s refused (HTTP/FTP)", address.c_str());
            return;
        }

        // Only FTP needs a libcurl handle; its handler makes one.
        http_traite(sd, sock_dist, nullptr);
        close_client(sd);
    });
}

namespace {

// The request head from the client, parsed, its target made plain ASCII;
// null when none arrived, it did not parse, or its framing is ambiguous.
kelHttpEntete *read_request(uint32_t sd) {
    char *received = nullptr;
    const int32_t got = kelnet_recup_entete(sd, &received);
    std::unique_ptr<char, void (*)(void *)> head(received, &std::free);
    if (head != nullptr) kel::server::note_request_head(head.get());
    if (got < 0 || !head) return nullptr;
    if (const char *fault = kel::server::request_framing_fault(head.get())) {
        kel::diag::message(fault, kModule, __LINE__);
        return nullptr;
    }
    kelHttpEntete *che = kelHttpE_cree_str(head.get(), KEL_HE_REQUETE);
    if (che != nullptr && !kel::server::encode_target_non_ascii(che)) {
        KEL_DIAG();
        kelHttpE_detruit(&che);
    }
    return che;
}

}  // namespace

extern "C" int32_t http_traite(uint32_t sd, kelnet_sockaddr sock_dist, CURL *curl) {
    kelHttpEntete *che = read_request(sd);
    if (che == nullptr) {
        http_erreur(sd, HTTP_REQUETE_INVALIDE);
        close_client(sd);
        return -1;
    }
    using kel::server::equals_ignoring_case;
    using kel::server::is_one_of;
    const char *method = che->methode;
    int32_t result;
    if (equals_ignoring_case(method, "GET") && kel::server::is_status_request(che)) {
        kel::server::serve_status(sd, che);
        close_client(sd);
        result = 0;
    } else if (equals_ignoring_case(method, "GET")) {
        if (equals_ignoring_case(che->protocole, "HTTP")) {
            result = http_traite_get_http(sd, che, curl);
        } else if (equals_ignoring_case(che->protocole, "FTP")) {
            result = http_traite_get_ftp(sd, che, curl);
        } else {
            result = kel::server::refuse_method(sd, che, HTTP_REQUETE_INVALIDE);
        }
    } else if (is_one_of(method, {"POST", "PUT"})) {
        result = http_traite_tunnel(sd, che, curl);
    } else if (equals_ignoring_case(method, "CONNECT")) {
        ssl_servir(sd, che);
        result = 0;
    } else if (is_one_of(method, {"PROPFIND", "PROPPATCH", "LOCK", "UNLOCK", "MOVE", "COPY",
                                  "MKCOL", "TRACE", "OPTIONS", "HEAD"})) {
        result = http_traite_tunnel(sd, che, curl);
    } else {
        result = kel::server::refuse_method(sd, che, HTTP_METHOD_NOT_ALLOWED);
    }
    (void)sock_dist;
    kelHttpE_detruit(&che);
    if (result < 0) {
        KEL_DIAG();
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------- forwarding

extern "C" int32_t http_traite_get_http(uint32_t sd, kelHttpEntete *che, CURL *curl) {
    if (valdrin_host_mask_contient(che->hote) == 1) {
        kel::server::Stats::instance().blocked(che->hote);
        http_ad_domain(sd);
        close_client(sd);
        return 0;
    }
    return http_traite_tunnel(sd, che, curl);
}

extern "C" int32_t http_ad_domain(uint32_t sd) {
    // Held for the send: a reload may install another image meanwhile.
    const auto image = kel::server::current_image();
    if (image == nullptr) return -1;
    kelHttp_envoie_E(sd, image->bytes, image->length, "image/gif", 200);
    kel::server::note_reply(200, kel::server::reply_bytes(200, "image/gif",
                                                          static_cast<uint64_t>(image->length)));
    kel::server::note_verdict(kel::server::Verdict::AdImage);
    return 0;
}

extern "C" int32_t http_traite_tunnel(uint32_t sd, kelHttpEntete *che, CURL *) {
    // The origin closes after one reply, and that close ends the relay.
    if (kelHttpE_ajoute_param(che, "Connection", "close") < 0) {
        http_erreur(sd, HTTP_INTERNAL_ERROR);
        close_client(sd);
        return -1;
    }
    // Every address of the name, of both families, raced as careful clients do.
    int32_t failure = 0;
    uint32_t server = kelnet_connecter_nom(che->hote, kel::server::port_to_network(static_cast<uint16_t>(che->port)),
                                           &failure);
    if (server == KELNET_INVALIDE) {
        http_erreur(sd, failure == -2 ? HTTP_RESOLVE_FAIL : HTTP_CONNECTION_REFUSED);
        close_client(sd);
        return -1;
    }
    if (kelHttpE_en_net(server, che, 0) < 0) {
        kelnet_fermer(server);
        http_erreur(sd, HTTP_CONNECTION_REFUSED);
        close_client(sd);
        return -1;
    }
    const int32_t relayed = kelnet_redir2(server, sd);
    kel::server::note_relay(/*origin_first=*/true, kel::server::Verdict::Forwarded);
    if (relayed == -1) {
        // The relay could not start and left both sockets open.
        kelnet_fermer(server);
        return 0;
    }
    kel::server::mark_client_closed();
    return 0;
}

// ---------------------------------------------------------------- FTP through HTTP

extern "C" int32_t http_envoie_entete_ftp(http_mem_buf *buf) {
    kelnet_envoie_str(buf->sd_client, kFtpReplyHeader);
    kel::server::note_reply(200, sizeof kFtpReplyHeader - 1);
    kel::server::note_verdict(kel::server::Verdict::Ftp);
    return 0;
}

extern "C" size_t http_callback_header_ftp(char *data, size_t taille, size_t nombre, void *user) {
    auto *buf = static_cast<http_mem_buf *>(user);
    size_t count = taille * nombre;
    size_t needed = static_cast<size_t>(buf->size) + count + 1;
    if (needed > 0x7FFFFFFF) {
        KEL_DIAG_MSG("Reception entete");
        return 0;
    }
    auto *grown = static_cast<char *>(std::realloc(buf->ptr, needed));
    if (grown == nullptr) {
        KEL_DIAG_MSG("Reception entete");
        return 0;
    }
    buf->ptr = grown;
    std::memcpy(buf->ptr + buf->size, data, count);
    buf->size += static_cast<int32_t>(count);
    buf->ptr[buf->size] = '\0';
    return count;
}

extern "C" size_t http_callback_write_ftp(char *data, size_t taille, size_t nombre, void *user) {
    auto *buf = static_cast<http_mem_buf *>(user);
    size_t count = taille * nombre;
    if (buf->header_sent == 0) {
        if (buf->ptr == nullptr) {
            KEL_DIAG();
            return 0;
        }
        http_envoie_entete_ftp(buf);
        buf->header_sent = 1;
    }
    if (kelnet_est_connecte(buf->sd_client) != 1) return 0;
    if (count > 0x7FFFFFFF ||
        kelnet_envoie(buf->sd_client, data, static_cast<int32_t>(count)) < 0) {
        KEL_DIAG();
        return 0;
    }
    if (kel::server::Exchange *e = kel::server::current_exchange()) e->bytes_to_client += count;
    return count;
}

extern "C" int32_t http_traite_get_ftp(uint32_t sd, kelHttpEntete *che, CURL *curl) {
    // A handle given by the caller stays the caller's; otherwise this
    // request has one of its own.
    std::unique_ptr<CURL, void (*)(CURL *)> own(nullptr, &curl_easy_cleanup);
    if (curl == nullptr) {
        own.reset(kel::server::new_curl_handle());
        if (!own) {
            http_erreur(sd, HTTP_INTERNAL_ERROR);
            KEL_DIAG();
            return -1;
        }
        curl = own.get();
    }
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 1L);
    std::unique_ptr<char, void (*)(void *)> url(kelHttpE_en_str_uri(che, 1), &std::free);
    if (!url) {
        http_erreur(sd, HTTP_REQUETE_INVALIDE);
        KEL_DIAG();
        return -1;
    }
    http_mem_buf buf{0, nullptr, sd, 0, HTTP_NONE, 0};
    curl_easy_setopt(curl, CURLOPT_URL, url.get());
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, http_callback_header_ftp);
    curl_easy_setopt(curl, CURLOPT_WRITEHEADER, &buf);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, http_callback_write_ftp);
    curl_easy_setopt(curl, CURLOPT_FILE, &buf);
    // Connection threads must not get signals from libcurl's time-outs, a
    // proxy from the environment must not divert the transfer, and a URL
    // may only ever be fetched by FTP.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "ftp");
    const int32_t connect_timeout = kel::server::setting(g_http_connect_timeout);
    const int32_t idle_timeout = kel::server::setting(g_http_idle_timeout);
    if (connect_timeout > 0)
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, static_cast<long>(connect_timeout));
    if (idle_timeout > 0) {
        // A transfer that moves nothing for the idle time is given up.
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(idle_timeout));
    }
    CURLcode result = curl_easy_perform(curl);
    if (buf.header_sent == 0) {
        if (result == CURLE_OK) {
            // An empty file: the reply is the header alone.
            http_envoie_entete_ftp(&buf);
        } else {
            http_erreur(sd, kel::server::ftp_failure_page(result));
        }
    }
    std::free(buf.ptr);
    return 0;
}

// ---------------------------------------------------------------- error pages

extern "C" void http_erreur(uint32_t sd, http_Erreurs code) {
    kel::server::ErrorPage page = kel::server::error_page(code);
    kel::server::note_verdict(kel::server::Verdict::Error);
    if (kelnet_est_connecte(sd) != 1) return;
    if (kelHttp_envoie_str_E(sd, page.html, "text/html", page.status) < 0) KEL_DIAG();
    kel::server::note_reply(page.status,
                            kel::server::reply_bytes(page.status, "text/html", std::strlen(page.html)));
}

namespace kel::server {
namespace {

// Answers a connection on the listener's thread, before anything is read
// from it: a new socket's send buffer takes the whole page, so this never
// waits. Counted and logged at once.
void refuse_on_accept(uint32_t sd, const kelnet_sockaddr &sock_dist, http_Erreurs code, Verdict verdict,
                      std::string *address_text) {
    ErrorPage page = error_page(code);
    if (kelHttp_envoie_str_E(sd, page.html, "text/html", page.status) < 0) KEL_DIAG();
    *address_text = net::ip_text(client_address(sock_dist));
    Exchange e;
    e.client = *address_text;
    e.started_wall = std::time(nullptr);
    e.started = std::chrono::steady_clock::now();
    e.status = page.status;
    e.bytes_to_client = reply_bytes(page.status, "text/html", std::strlen(page.html));
    e.verdict = verdict;
    ExchangeScope::finish(e);
}

}  // namespace
}  // namespace kel::server

extern "C" void http_trop_de_clients(uint32_t sd, kelnet_sockaddr sock_dist) {
    kel::guard_void(__func__, [&] {
        std::string address;
        kel::server::refuse_on_accept(sd, sock_dist, HTTP_TROP_DE_CLIENTS, kel::server::Verdict::TooMany, &address);
        kellog_log("Connection from %s refused: too many connections (HTTPMaxClients %d)", address.c_str(),
                   kel::server::setting(g_http_max_clients));
    });
}

extern "C" void http_trop_en_attente(uint32_t sd, kelnet_sockaddr sock_dist) {
    kel::guard_void(__func__, [&] {
        std::string address;
        kel::server::refuse_on_accept(sd, sock_dist, HTTP_TROP_DE_CLIENTS, kel::server::Verdict::TooMany, &address);
        kellog_log("Connection from %s refused: too many connections waiting for their request "
                   "(HTTPMaxWaiting %d)",
                   address.c_str(), kel::server::setting(g_http_max_waiting));
    });
}

extern "C" int32_t http_admet(uint32_t sd, kelnet_sockaddr sock_dist) {
    return kel::guard(__func__, int32_t{0}, [&]() -> int32_t {
        if (kel::server::client_allowed(kel::server::client_address(sock_dist))) return 1;
        std::string address;
        kel::server::refuse_on_accept(sd, sock_dist, HTTP_NOT_ALLOWED, kel::server::Verdict::Refused, &address);
        kel::server::Stats::instance().refused(address);
        kellog_log("Connection from %s refused (HTTP/FTP)", address.c_str());
        return 0;
    });
}
