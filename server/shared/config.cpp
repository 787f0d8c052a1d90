#include "config.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <mutex>

#include "config_keys.h"
#include "kelplat/diag.h"
#include "kelplat/fs.h"
#include "kelplat/inet.h"
#include "kelplat/ini.h"
#include "kelplat/process.h"

namespace kel::server {
namespace {

constexpr const char *kModule = "config";

// The decimal number after any blanks at `text`, which is left after its
// last digit; none without a digit or above `max`.
std::optional<uint32_t> leading_number(const char *&text, uint32_t max) {
    while (*text == ' ' || *text == '\t') ++text;
    uint32_t value = 0;
    bool any_digit = false;
    for (; *text >= '0' && *text <= '9'; ++text) {
        any_digit = true;
        value = value * 10 + static_cast<uint32_t>(*text - '0');
        if (value > max) return std::nullopt;
    }
    if (!any_digit) return std::nullopt;
    return value;
}

std::atomic<uint64_t> g_generations{0};

constexpr size_t kMaxValueBytes = 1023;
// An allow-list entry has always been read into 256 bytes.
constexpr size_t kMaxAllowEntryBytes = 255;

std::mutex g_folders_mutex;
Folders g_folders;

// The published snapshot. A plain mutex rather than std::atomic<shared_ptr>:
// libstdc++ 12 guards that one with a lock bit ThreadSanitizer cannot see, and
// one uncontended lock per admitted connection costs nothing next to accept().
// Never destroyed: detached connection threads may take it while the process
// exits.
struct Published {
    std::mutex mutex;
    std::shared_ptr<const Config> config;
};
Published &g_current = *new Published;

char to_upper_ascii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Reads the keys of one document, recording where each came from.
class Reader {
public:
    Reader(const ini::Document &doc, const std::string &file, std::vector<ConfigProblem> *problems)
        : doc_(doc), file_(file), problems_(problems) {}

    // The value, or the key table's default when the key is absent; cut to
    // the 1023 bytes a value has always been read into.
    std::string get(std::string_view section, std::string_view name) const {
        if (auto value = doc_.get(section, name)) return value->substr(0, kMaxValueBytes);
        const valdrin::keys::Key *key = valdrin::keys::find_key(section, name);
        return key != nullptr ? std::string(key->fallback) : std::string();
    }
    // The values of a family's keys that are present and not empty, in
    // index order.
    std::vector<std::string> family(std::string_view section, std::string_view stem, int size,
                                    size_t max_bytes = kMaxValueBytes) const {
        std::vector<std::string> values;
        for (int i = 0; i < size; ++i) {
            const std::string name = std::string(stem) + std::to_string(i);
            if (auto value = doc_.get(section, name); value && !value->empty())
                values.push_back(value->substr(0, max_bytes));
        }
        return values;
    }
    bool flag(std::string_view section, std::string_view name) const {
        return is_true_setting(get(section, name).c_str());
    }
    void problem(std::string_view section, std::string_view name, std::string text) const {
        problems_->push_back({file_, doc_.line_of(section, name), std::move(text)});
    }

private:
    const ini::Document &doc_;
    const std::string &file_;
    std::vector<ConfigProblem> *problems_;
};

std::optional<std::vector<std::string>> parse_listen(const Reader &r, std::string_view section = "HTTP",
                                                     std::string_view key = "HTTPListen") {
    const std::string value = r.get(section, key);
    std::vector<std::string> addresses;
    std::string_view rest = value;
    while (!rest.empty()) {
        const size_t cut = rest.find_first_of(", \t");
        const std::string_view entry = rest.substr(0, cut);
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
        if (entry.empty()) continue;
        net::IpAddress a;
        if (!net::parse_ip(entry, &a)) {
            r.problem(section, key,
                      "invalid address '" + std::string(entry) + "' in " + std::string(key) + " in section " +
                          std::string(section) +
                          ": an IPv4 or IPv6 address is expected, such as 127.0.0.1, ::1 or [fe80::1%eth0]");
            return std::nullopt;
        }
        addresses.emplace_back(entry);
    }
    return addresses;
}

// A port key of a service: as HTTPPort.
void parse_port(const Reader &r, std::string_view section, std::string_view key, uint16_t *port) {
    const std::string text = r.get(section, key);
    if (auto value = parse_listen_port(text.c_str())) {
        *port = *value;
    } else {
        r.problem(section, key,
                  "invalid " + std::string(key) + " '" + text + "' in section " + std::string(section) +
                      ": a port from 1 to 65535 is expected (0: any free port)");
    }
}

void parse_accounts(const Reader &r, SocksSettings *socks) {
    for (int i = 0; i < valdrin::keys::kListEntries; ++i) {
        const std::string key = "SocksAccount" + std::to_string(i);
        const std::string value = r.get("Socks", key);
        if (value.empty()) continue;
        if (auto account = parse_socks_account(value)) {
            socks->accounts.push_back(std::move(*account));
        } else {
            r.problem("Socks", key,
                      "invalid " + key + " '" + value +
                          "' in section Socks: a user name followed by 40 hexadecimal digits or by <none> is "
                          "expected");
        }
    }
}

// Bindings the wizard would skip are skipped with a line; two on one port
// refuse the file, as the listener could not serve both.
void parse_bindings(const Reader &r, RdrSettings *rdr) {
    for (int i = 0; i < valdrin::keys::kListEntries; ++i) {
        const std::string key = "RDRBinding" + std::to_string(i);
        const std::string value = r.get("RDR", key);
        if (value.empty()) continue;
        std::string why;
        auto binding = parse_redirection(value, &why);
        if (!binding) {
            kel::diag::out_printf("%s '%s' in section RDR skipped: %s\n", key.c_str(), value.c_str(), why.c_str());
            continue;
        }
        binding->key = key;
        for (const Redirection &earlier : rdr->bindings) {
            if (earlier.port == binding->port) {
                r.problem("RDR", key,
                          key + " and " + earlier.key + " in section RDR both redirect port " +
                              std::to_string(binding->port) + ": one binding per port is expected");
            }
        }
        rdr->bindings.push_back(std::move(*binding));
    }
}

// Whether two services listening on these addresses may share a port:
// only when both name their addresses and none is common.
bool listen_sets_overlap(const std::vector<std::string> &a, const std::vector<std::string> &b) {
    if (a.empty() || b.empty()) return true;
    for (const std::string &x : a) {
        net::IpAddress ax;
        if (!net::parse_ip(x, &ax)) continue;
        for (const std::string &y : b) {
            net::IpAddress by;
            if (!net::parse_ip(y, &by)) continue;
            if (net::ip_text(ax) == net::ip_text(by) || net::ip_text(ax) == "::" || net::ip_text(ax) == "0.0.0.0" ||
                net::ip_text(by) == "::" || net::ip_text(by) == "0.0.0.0")
                return true;
        }
    }
    return false;
}

// Two enabled services on one port stop the start: the second could not
// listen.
void check_port_conflicts(const Reader &r, const Config &c) {
    struct Use {
        std::string_view section;
        std::string name;
        uint16_t port;
        const std::vector<std::string> *listen;
    };
    std::vector<Use> uses;
    if (c.http.enabled && c.http.port != 0) uses.push_back({"HTTP", "HTTPPort", c.http.port, &c.http.listen});
    if (c.socks.enabled && c.socks.port != 0) uses.push_back({"Socks", "SocksPort", c.socks.port, &c.socks.listen});
    if (c.dns.enabled && c.dns.port != 0) uses.push_back({"DNS", "DNSPort", c.dns.port, &c.dns.listen});
    if (c.rdr.enabled)
        for (const Redirection &b : c.rdr.bindings) uses.push_back({"RDR", b.key, b.port, &c.rdr.listen});
    for (size_t i = 0; i < uses.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (uses[i].port != uses[j].port || uses[i].section == uses[j].section) continue;
            if (!listen_sets_overlap(*uses[i].listen, *uses[j].listen)) continue;
            r.problem(uses[i].section, uses[i].name,
                      uses[i].name + " in section " + std::string(uses[i].section) + " and " + uses[j].name +
                          " in section " + std::string(uses[j].section) + " both use port " +
                          std::to_string(uses[i].port) + ": each service needs a port of its own");
        }
    }
}

void parse_limits(const Reader &r, Limits *limits) {
    struct Limit {
        const char *key;
        int32_t *value;
    };
    const Limit all[] = {
        {"HTTPHeaderTimeout", &limits->header_timeout}, {"HTTPIdleTimeout", &limits->idle_timeout},
        {"HTTPConnectTimeout", &limits->connect_timeout}, {"HTTPMaxClients", &limits->max_clients},
        {"HTTPMaxWaiting", &limits->max_waiting},
    };
    for (const Limit &limit : all) {
        const std::string text = r.get("HTTP", limit.key);
        if (auto value = parse_count_setting(text.c_str())) {
            *limit.value = *value;
        } else {
            r.problem("HTTP", limit.key,
                      std::string("invalid ") + limit.key + " '" + text +
                          "' in section HTTP: a whole number from 0 (no limit) to 2000000 is expected");
        }
    }
}

}  // namespace

std::string ConfigProblem::message() const {
    return line > 0 ? file + ":" + std::to_string(line) + ": " + text : file + ": " + text;
}

std::optional<uint16_t> parse_http_port(const char *text) {
    auto port = parse_listen_port(text);
    if (!port || *port == 0) return std::nullopt;
    return port;
}

std::optional<uint16_t> parse_listen_port(const char *text) {
    if (text == nullptr) return std::nullopt;
    const auto value = leading_number(text, 65535);
    if (!value) return std::nullopt;
    return static_cast<uint16_t>(*value);
}

std::optional<int32_t> parse_count_setting(const char *text) {
    if (text == nullptr) return std::nullopt;
    const auto value = leading_number(text, 2'000'000);
    while (*text == ' ' || *text == '\t') ++text;
    if (!value || *text != '\0') return std::nullopt;
    return static_cast<int32_t>(*value);
}

std::optional<SocksAccount> parse_socks_account(std::string_view value) {
    constexpr size_t kDigits = 40;
    constexpr std::string_view kNone = "<none>";
    SocksAccount account;
    if (value.size() > kDigits) {
        account.user = value.substr(0, value.size() - kDigits);
        for (char c : value.substr(value.size() - kDigits)) {
            const bool hex = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
            if (!hex) return std::nullopt;
            account.digest += to_upper_ascii(c);
        }
        return account;
    }
    if (value.size() <= kNone.size() || value.substr(value.size() - kNone.size()) != kNone) return std::nullopt;
    account.user = value.substr(0, value.size() - kNone.size());
    return account;
}

std::optional<Redirection> parse_redirection(std::string_view value, std::string *why) {
    auto trim = [](std::string_view v) {
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
        return v;
    };
    // The run of digits at the start, as a number; 0 without one.
    auto leading_port = [](std::string_view &v) {
        uint32_t n = 0;
        while (!v.empty() && v.front() >= '0' && v.front() <= '9') {
            n = std::min<uint32_t>(n * 10 + static_cast<uint32_t>(v.front() - '0'), 1'000'000);
            v.remove_prefix(1);
        }
        return n;
    };
    std::string_view rest = trim(value);
    const uint32_t port = leading_port(rest);
    if (port == 0 || port > 65535) {
        *why = "the listened port must be from 1 to 65535, as in 8080 -> 80 host";
        return std::nullopt;
    }
    while (rest.size() > 1 && (rest.front() == ' ' || rest.front() == '-' || rest.front() == '>')) rest.remove_prefix(1);
    const uint32_t dest = leading_port(rest);
    if (dest == 0 || dest > 65535) {
        *why = "the destination port must be from 1 to 65535, as in 8080 -> 80 host";
        return std::nullopt;
    }
    const std::string_view host = trim(rest);
    if (host.empty()) {
        *why = "no destination host after the destination port";
        return std::nullopt;
    }
    Redirection r;
    r.port = static_cast<uint16_t>(port);
    r.dest_port = static_cast<uint16_t>(dest);
    r.host = host;
    return r;
}

std::optional<std::pair<net::IpAddress, uint16_t>> parse_name_server(std::string_view text) {
    net::IpAddress a;
    if (net::parse_ip(text, &a)) return std::pair(net::unmapped(a), uint16_t{53});
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon + 1 >= text.size()) return std::nullopt;
    std::string_view host = text.substr(0, colon);
    const std::string_view digits = text.substr(colon + 1);
    // An IPv6 address takes its brackets when a port follows.
    if (host.find(':') != std::string_view::npos && (host.size() < 2 || host.front() != '[' || host.back() != ']'))
        return std::nullopt;
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string_view::npos) return std::nullopt;
    const unsigned long port = std::stoul(std::string(digits));
    if (port == 0 || port > 65535 || !net::parse_ip(host, &a)) return std::nullopt;
    return std::pair(net::unmapped(a), static_cast<uint16_t>(port));
}

bool is_true_setting(const char *text) {
    if (text == nullptr) return false;
    const char first = to_upper_ascii(text[0]);
    return first == 'T' || first == 'Y';
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

namespace {

Config parse_document(const ini::Document &doc, const std::string &file, std::vector<ConfigProblem> *problems) {
    const Reader r(doc, file, problems);
    Config c;
    c.path = file;

    c.main.log_file = r.get("Main", "LogFile");
    c.main.err_file = r.get("Main", "ErrFile");
    c.main.access_log = r.get("Main", "AccessLog");
    c.main.verbose = r.flag("Main", "Verbose");
    c.main.allowed_hosts = r.family("Main", "AllowedHost", valdrin::keys::kAllowedHosts, kMaxAllowEntryBytes);

    c.http.enabled = r.flag("HTTP", "HTTPEnabled");
    const std::string port = r.get("HTTP", "HTTPPort");
    if (auto value = parse_listen_port(port.c_str())) {
        c.http.port = *value;
    } else {
        r.problem("HTTP", "HTTPPort",
                  "invalid HTTPPort '" + port +
                      "' in section HTTP: a port from 1 to 65535 is expected (0: any free port)");
    }
    if (auto listen = parse_listen(r)) c.http.listen = std::move(*listen);
    c.http.secure = r.flag("HTTP", "HTTPSecure");
    c.http.ad_hosts_enabled = r.flag("HTTP", "AdHostsEnabled");
    for (int i = 0; i < valdrin::keys::kAdListFiles; ++i) {
        const std::string key = "AdListFile" + std::to_string(i);
        if (const std::string file = r.get("HTTP", key); !file.empty()) {
            c.http.ad_list_files.push_back(file);
            c.http.ad_list_keys.push_back(key);
        }
    }
    parse_limits(r, &c.http.limits);

    c.socks.enabled = r.flag("Socks", "SocksEnabled");
    c.socks.socks4_allowed = r.flag("Socks", "Socks4Allowed");
    parse_port(r, "Socks", "SocksPort", &c.socks.port);
    if (auto listen = parse_listen(r, "Socks", "SocksListen")) c.socks.listen = std::move(*listen);
    if (r.get("Socks", "SocksListen").empty()) c.socks.listen = c.http.listen;
    parse_accounts(r, &c.socks);
    c.dns.enabled = r.flag("DNS", "DNSEnabled");
    for (const char *key : {"DNSServer1", "DNSServer2"}) {
        const std::string value = r.get("DNS", key);
        if (!value.empty() && !parse_name_server(value))
            r.problem("DNS", key, std::string("invalid ") + key + " '" + value +
                                      "' in section DNS: an IPv4 or IPv6 address is expected, with an optional "
                                      ":port (0.0.0.0: unset)");
        (std::string_view(key) == "DNSServer1" ? c.dns.server1 : c.dns.server2) = value;
    }
    parse_port(r, "DNS", "DNSPort", &c.dns.port);
    if (auto listen = parse_listen(r, "DNS", "DNSListen")) c.dns.listen = std::move(*listen);
    if (r.get("DNS", "DNSListen").empty()) c.dns.listen = c.http.listen;
    for (const auto &[key, value] : {std::pair{"DNSCacheSize", &c.dns.cache_size}, std::pair{"DNSClientRate", &c.dns.client_rate}}) {
        const std::string text = r.get("DNS", key);
        if (auto parsed = parse_count_setting(text.c_str())) {
            *value = *parsed;
        } else {
            r.problem("DNS", key,
                      std::string("invalid ") + key + " '" + text + "' in section DNS: a count from 0 to 2000000 is expected");
        }
    }
    c.dns.block = r.flag("DNS", "DNSBlock");
    c.dns.hosts_file = r.get("DNS", "DNSHostsFile");
    c.rdr.enabled = r.flag("RDR", "RDREnabled");
    if (auto listen = parse_listen(r, "RDR", "RDRListen")) c.rdr.listen = std::move(*listen);
    if (r.get("RDR", "RDRListen").empty()) c.rdr.listen = c.http.listen;
    parse_bindings(r, &c.rdr);
    check_port_conflicts(r, c);
    return c;
}

}  // namespace

Config parse_config_text(std::string_view text, const std::string &file, std::vector<ConfigProblem> *problems) {
    return parse_document(ini::Document::parse(text), file, problems);
}

std::optional<std::string> setting_refusal(std::string_view section, std::string_view name, std::string_view value,
                                           const std::string &folder) {
    using valdrin::keys::Grammar;
    const valdrin::keys::Key *key = valdrin::keys::find_key(section, name);
    const std::string where = std::string(name) + " '" + std::string(value) + "' in section " + std::string(section);
    if (key == nullptr) return where + ": the daemon reads no such key";
    if (value.size() > kMaxValueBytes)
        return where + ": longer than the " + std::to_string(kMaxValueBytes) + " characters a value is read to";
    if (value.find_first_of("\r\n") != std::string_view::npos) return where + ": a value is one line";
    switch (key->grammar) {
        case Grammar::kBoolean: return std::nullopt;
        case Grammar::kAllowEntry: {
            if (value.size() > kMaxAllowEntryBytes)
                return where + ": an allow-list entry is read to " + std::to_string(kMaxAllowEntryBytes) + " characters";
            const char *fault = allow_entry_fault(std::string(value).c_str());
            if (fault == nullptr) return std::nullopt;
            return "allow-list entry '" + std::string(value) + "' skipped: " + fault;
        }
        case Grammar::kRedirection: {
            std::string why;
            if (parse_redirection(value, &why)) return std::nullopt;
            return where + " skipped: " + why;
        }
        case Grammar::kPath: {
            // Only the list files are read at start-up, and refuse the file
            // when they can't be.
            if (key->family_size == 0 || value.empty()) return std::nullopt;
            std::filesystem::path file(value);
            if (file.is_relative()) file = std::filesystem::path(folder) / file;
            // Read as start-up reads it, for the same words.
            BlockList list;
            std::string error;
            if (list.load_list(file.string(), &error)) return std::nullopt;
            return where + " cannot be read: " + error;
        }
        default: break;
    }
    // The rest as the whole file is read: a document of this one key.
    std::vector<ConfigProblem> problems;
    (void)parse_config_text("[" + std::string(section) + "]\n" + std::string(name) + "=" + std::string(value) + "\n",
                            std::string(), &problems);
    if (problems.empty()) return std::nullopt;
    return problems.front().text;
}

std::shared_ptr<const BlockList> build_block_list(const Config &c, const ini::Document &doc,
                                                  std::vector<ConfigProblem> *problems) {
    auto list = std::make_shared<BlockList>();
    if (!c.http.ad_hosts_enabled) return list;
    std::string error;
    if (!list->load_adhosts("adhosts", &error)) {
        kel::diag::out_printf("Unable to open adhosts file\n");
        problems->push_back({c.path, doc.line_of("HTTP", "AdHostsEnabled"),
                             "adhosts cannot be read (AdHostsEnabled is true in section HTTP): " + error});
        return nullptr;
    }
    kel::diag::out_printf("%zu ad-domains loaded.\n", list->files().back().lines);
    for (size_t i = 0; i < c.http.ad_list_files.size(); ++i) {
        const std::string &file = c.http.ad_list_files[i];
        // Relative names are taken from the folder of adhosts, the current one.
        if (!list->load_list(file, &error)) {
            const std::string key = c.http.ad_list_keys[i];
            problems->push_back({c.path, doc.line_of("HTTP", key),
                                 key + " '" + file + "' in section HTTP cannot be read: " + error});
            return nullptr;
        }
    }
    for (const ListFileStats &file : list->files())
        kel::diag::out_printf("%s\n", BlockList::report_line(file).c_str());
    return list;
}

std::optional<Config> read_config_file(const std::string &path, ini::Document *doc,
                                       std::vector<ConfigProblem> *problems) {
    std::string text;
    int error = 0;
    switch (kel::fs::read_file(path.c_str(), text, &error)) {
        case kel::fs::ReadStatus::kOk:
            break;
        case kel::fs::ReadStatus::kMissing:
            problems->push_back({path, 0, "cannot be read (2: No such file or directory)"});
            return std::nullopt;
        case kel::fs::ReadStatus::kFailed:
            problems->push_back({path, 0, "cannot be read (" + kel::fs::error_text(error) + ")"});
            return std::nullopt;
    }
    *doc = ini::Document::parse(text);
    return parse_document(*doc, path, problems);
}

std::shared_ptr<const Config> load_config(const std::string &path, std::vector<ConfigProblem> *problems) {
    ini::Document doc;
    const size_t before = problems->size();
    auto settings = read_config_file(path, &doc, problems);
    if (!settings) return nullptr;
    // The files it names are read even after a bad value: every problem is
    // reported at once.
    auto config = build_snapshot(std::move(*settings), doc, problems);
    return problems->size() == before ? config : nullptr;
}

std::shared_ptr<const Config> build_snapshot(Config settings, const ini::Document &doc,
                                             std::vector<ConfigProblem> *problems) {
    const std::string path = settings.path;
    const size_t before = problems->size();
    auto config = std::make_shared<Config>(std::move(settings));
    int error = 0;
    if (!config->main.access_log.empty() && !kel::fs::could_append(config->main.access_log.c_str(), &error)) {
        problems->push_back({path, doc.line_of("Main", "AccessLog"),
                             "AccessLog '" + config->main.access_log + "' in section Main cannot be written (" +
                                 kel::fs::error_text(error) + ")"});
    }
    Limits &limits = config->http.limits;
    limits.max_waiting = waiting_within_descriptors(limits.max_waiting, limits.max_clients,
                                                    kel::process::descriptor_limit());
    config->blocked = build_block_list(*config, doc, problems);
    const std::string image = replacement_image_path();
    config->image = read_replacement_image(image.c_str());
    if (config->image == nullptr) problems->push_back({image, 0, "the image sent for blocked hosts cannot be read"});
    if (problems->size() != before) return nullptr;
    // Names in the allow-list resolve now, once everything else is known good.
    config->allowed = build_allow_list(config->main.allowed_hosts);
    config->generation = g_generations.fetch_add(1) + 1;
    return config;
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
    const size_t length = std::fread(image->bytes, 1, kMaxImageBytes, file.get());
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

void set_folders(const char *files, const char *data) {
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    if (files != nullptr) g_folders.files = files;
    if (data != nullptr) g_folders.data = data;
}

Folders folders() {
    std::lock_guard<std::mutex> hold(g_folders_mutex);
    return g_folders;
}

std::string replacement_image_path() {
    constexpr const char *kName = "valdrin.sys";
    const std::string data = folders().data;
    std::error_code ignored;
    if (data.empty() || std::filesystem::exists(kName, ignored)) return kName;
    return data + "/" + kName;
}

std::shared_ptr<const Config> current_config() {
    std::lock_guard lock(g_current.mutex);
    return g_current.config;
}

void publish_config(std::shared_ptr<const Config> config) {
    // The old snapshot goes when its last holder lets it go, outside the lock.
    std::lock_guard lock(g_current.mutex);
    g_current.config.swap(config);
}

}  // namespace kel::server
