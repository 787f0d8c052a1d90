#include "stats.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "kelconfig.h"
#include "kelnet.h"
#include "config.h"

#ifndef VALDRIN_VERSION
#define VALDRIN_VERSION "unknown"
#endif

namespace kel::server {
namespace {

uint64_t hash_of(std::string_view name) noexcept {
    uint64_t h = 0xcbf29ce484222325u;
    for (unsigned char c : name) {
        h ^= c;
        h *= 0x100000001b3u;
    }
    h ^= h >> 29;
    return h == 0 ? 1 : h;  // 0 marks a free slot
}

// The slots a name may use, from its home slot on; a table this full
// counts further names as others.
constexpr size_t kProbes = 64;

std::string html_escaped(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            default: out += c;
        }
    }
    return out;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A label value: backslash, quote and line feed escaped.
std::string label(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string number(uint64_t v) { return std::to_string(v); }

}  // namespace

void TopCounter::add(std::string_view name) noexcept {
    if (name.empty() || name.size() >= kNameBytes) {
        others_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint64_t h = hash_of(name);
    for (size_t probe = 0; probe < kProbes; ++probe) {
        Slot &slot = slots_[(h + probe) % kSlots];
        uint64_t seen = slot.hash.load(std::memory_order_acquire);
        if (seen == 0) {
            if (slot.hash.compare_exchange_strong(seen, h, std::memory_order_acq_rel)) {
                std::memcpy(slot.name, name.data(), name.size());
                slot.name[name.size()] = '\0';
                slot.ready.store(true, std::memory_order_release);
                slot.count.fetch_add(1, std::memory_order_relaxed);
                return;
            }
            // Another thread claimed it first: look at what it claimed it for.
        }
        if (seen != h) continue;
        // The claimer writes the name within a few instructions.
        while (!slot.ready.load(std::memory_order_acquire)) std::this_thread::yield();
        if (std::strlen(slot.name) == name.size() && std::memcmp(slot.name, name.data(), name.size()) == 0) {
            slot.count.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    others_.fetch_add(1, std::memory_order_relaxed);
}

std::vector<std::pair<std::string, uint64_t>> TopCounter::top(size_t n) const {
    std::vector<std::pair<std::string, uint64_t>> all;
    for (const Slot &slot : slots_) {
        if (!slot.ready.load(std::memory_order_acquire)) continue;
        all.emplace_back(slot.name, slot.count.load(std::memory_order_relaxed));
    }
    std::sort(all.begin(), all.end(), [](const auto &a, const auto &b) {
        return a.second != b.second ? a.second > b.second : a.first < b.first;
    });
    if (all.size() > n) all.resize(n);
    return all;
}

size_t TopCounter::names() const noexcept {
    size_t n = 0;
    for (const Slot &slot : slots_) n += slot.ready.load(std::memory_order_acquire) ? 1 : 0;
    return n;
}

void TopCounter::clear_for_tests() noexcept {
    for (Slot &slot : slots_) {
        slot.ready.store(false);
        slot.count.store(0);
        slot.hash.store(0);
    }
    others_.store(0);
}

Stats &Stats::instance() {
    static Stats *const stats = new Stats;
    return *stats;
}

void Stats::started_now() noexcept { start_.store(std::time(nullptr), std::memory_order_relaxed); }

void Stats::count(Verdict v) noexcept {
    const auto i = static_cast<size_t>(v);
    if (i < kVerdicts) verdicts_[i].fetch_add(1, std::memory_order_relaxed);
}

void Stats::add_bytes(uint64_t to_clients, uint64_t to_origins) noexcept {
    if (to_clients != 0) to_clients_.fetch_add(to_clients, std::memory_order_relaxed);
    if (to_origins != 0) to_origins_.fetch_add(to_origins, std::memory_order_relaxed);
}

void Stats::opened(int32_t open) noexcept {
    int32_t peak = peak_.load(std::memory_order_relaxed);
    while (open > peak && !peak_.compare_exchange_weak(peak, open, std::memory_order_relaxed)) {
    }
}

uint64_t Stats::requests(Verdict v) const noexcept {
    const auto i = static_cast<size_t>(v);
    return i < kVerdicts ? verdicts_[i].load(std::memory_order_relaxed) : 0;
}

void Stats::clear_for_tests() noexcept {
    for (auto &v : verdicts_) v.store(0);
    to_clients_.store(0);
    to_origins_.store(0);
    peak_.store(0);
    blocked_.clear_for_tests();
    refused_.clear_for_tests();
}

const char *service_name(Service s) { return s == Service::Socks ? "socks" : "redirect"; }

const char *refusal_name(Refusal r) {
    static constexpr const char *kNames[kRefusals] = {"client", "blocked", "auth", "rule", "failed", "busy"};
    const auto i = static_cast<int>(r);
    return i >= 0 && i < kRefusals ? kNames[i] : "rule";
}

ServiceCounters &service_counters(Service s) {
    static ServiceCounters *const counters = new ServiceCounters[kServices];
    return counters[static_cast<int>(s) == 0 ? 0 : 1];
}

namespace {
struct DnsSource {
    std::mutex mutex;
    std::function<DnsFigures()> source;
};
DnsSource &dns_source() {
    static DnsSource *const s = new DnsSource;  // never destroyed: asked from detached threads
    return *s;
}
}  // namespace

void set_dns_figures_source(std::function<DnsFigures()> source) {
    DnsSource &d = dns_source();
    std::lock_guard lock(d.mutex);
    d.source = std::move(source);
}

StatusReport gather_status() {
    const Stats &s = Stats::instance();
    StatusReport r;
    r.version = VALDRIN_VERSION;
    const std::time_t start = s.start_time();
    r.uptime_s = start > 0 ? static_cast<int64_t>(std::time(nullptr) - start) : 0;
    char path[1024] = "";
    kelcfg_recup_chemin(path, sizeof path);
    r.config_file = path;
    r.open = kelnet_nb_clients();
    r.peak = std::max(s.peak(), r.open);
    for (int i = 0; i < kVerdicts; ++i) r.requests[i] = s.requests(static_cast<Verdict>(i));
    r.bytes_to_clients = s.bytes_to_clients();
    r.bytes_to_origins = s.bytes_to_origins();
    r.blocked = s.blocked_hosts().top(20);
    r.blocked_others = s.blocked_hosts().others();
    r.refused = s.refused_clients().top(20);
    r.refused_others = s.refused_clients().others();
    if (const auto config = current_config(); config != nullptr && config->blocked != nullptr) {
        r.exact_hosts = config->blocked->exact_count();
        r.domains = config->blocked->domain_count();
        r.exceptions = config->blocked->exception_count();
        r.list_bytes = config->blocked->memory_bytes();
    }
    r.access_log_written = AccessLog::instance().written();
    r.access_log_dropped = AccessLog::instance().dropped();
    for (int i = 0; i < kServices; ++i) {
        const ServiceCounters &c = service_counters(static_cast<Service>(i));
        ServiceFigures &f = r.services[i];
        f.sessions = c.sessions.load(std::memory_order_relaxed);
        for (int k = 0; k < kRefusals; ++k) f.refused[k] = c.refused[k].load(std::memory_order_relaxed);
        f.bytes_to_clients = c.bytes_to_clients.load(std::memory_order_relaxed);
        f.bytes_to_targets = c.bytes_to_targets.load(std::memory_order_relaxed);
    }
    // Asked outside the lock: the source takes the DNS proxy's own lock,
    // which its start holds while it sets the source.
    std::function<DnsFigures()> source;
    {
        DnsSource &d = dns_source();
        std::lock_guard lock(d.mutex);
        source = d.source;
    }
    if (source) r.dns = source();
    return r;
}

std::string status_html(const StatusReport &r) {
    std::string out =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Valdrin Proxy Server status</title>"
        "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse;margin-bottom:1.5em}"
        "td,th{border:1px solid #ccc;padding:.2em .6em;text-align:left}td.n{text-align:right}</style>"
        "</head><body>\n<h1>Valdrin Proxy Server</h1>\n<table>\n";
    auto row = [&](std::string_view key, const std::string &value, bool numeric = true) {
        out += "<tr><th>" + html_escaped(key) + "</th><td" + (numeric ? " class=\"n\"" : "") + ">" +
               html_escaped(value) + "</td></tr>\n";
    };
    row("Version", r.version, false);
    row("Uptime (s)", std::to_string(r.uptime_s));
    row("Configuration file", r.config_file, false);
    std::string listening;
    for (const auto &[service, address] : r.listening)
        listening += (listening.empty() ? "" : ", ") + service + " " + address;
    row("Listening on", listening, false);
    row("Connections open", std::to_string(r.open));
    row("Connections open at the peak", std::to_string(r.peak));
    row("Bytes relayed to clients", number(r.bytes_to_clients));
    row("Bytes relayed to origins", number(r.bytes_to_origins));
    row("Access log entries written", number(r.access_log_written));
    row("Access log entries dropped", number(r.access_log_dropped));
    out += "</table>\n<h2>Requests by verdict</h2>\n<table>\n";
    for (int i = 0; i < kVerdicts; ++i) row(verdict_name(static_cast<Verdict>(i)), number(r.requests[i]));
    out += "</table>\n<h2>Lists</h2>\n<table>\n";
    row("Exact hosts", number(r.exact_hosts));
    row("Domains", number(r.domains));
    row("Exceptions", number(r.exceptions));
    row("Memory (bytes)", number(r.list_bytes));
    auto top = [&](std::string_view title, const auto &entries, uint64_t others) {
        out += "</table>\n<h2>" + html_escaped(title) + "</h2>\n<table>\n";
        for (const auto &[name, count] : entries) row(name, number(count));
        if (others > 0) row("(others)", number(others));
    };
    for (int i = 0; i < kServices; ++i) {
        const ServiceFigures &f = r.services[i];
        out += std::string("</table>\n<h2>Service ") + service_name(static_cast<Service>(i)) + "</h2>\n<table>\n";
        row("Sessions relayed", number(f.sessions));
        for (int k = 0; k < kRefusals; ++k)
            row(std::string("Refused: ") + refusal_name(static_cast<Refusal>(k)), number(f.refused[k]));
        row("Bytes to clients", number(f.bytes_to_clients));
        row("Bytes to targets", number(f.bytes_to_targets));
    }
    if (r.dns.running) {
        const DnsFigures &d = r.dns;
        out += "</table>\n<h2>Service dns</h2>\n<table>\n";
        row("Listening on", d.listening, false);
        row("Queries over UDP", number(d.udp_queries));
        row("Queries over TCP", number(d.tcp_queries));
        row("Answered from the cache", number(d.cache_hits));
        row("Blocked", number(d.blocked));
        row("Answered from the hosts file, or ANY", number(d.local));
        row("Forwarded", number(d.forwarded));
        row("Answered SERVFAIL (no server answered)", number(d.servfail));
        row("Refused: client", number(d.refused));
        row("Dropped past the client's rate", number(d.limited));
        row("Malformed", number(d.malformed));
        row("Cache entries", number(d.cache_entries) + " of " + number(d.cache_capacity));
        for (const DnsUpstreamFigures &u : d.upstream) {
            out += "</table>\n<h2>Name server " + html_escaped(u.server) + "</h2>\n<table>\n";
            row("Queries sent", number(u.sent));
            row("Answers", number(u.answered));
            row("Failures", number(u.failures));
            row("Timeouts", number(u.timeouts));
            row("Average latency (ms)",
                u.answered ? std::to_string(u.latency_us / u.answered / 1000) + "." +
                                 std::to_string(u.latency_us / u.answered % 1000 / 100)
                           : std::string("-"));
        }
    }
    top("Blocked hosts (top 20)", r.blocked, r.blocked_others);
    top("Refused clients (top 20)", r.refused, r.refused_others);
    out += "</table>\n</body></html>\n";
    return out;
}

std::string status_metrics(const StatusReport &r) {
    std::string out;
    auto family = [&](const char *name, const char *type, const char *help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("valdrin_build_info", "gauge", "Version of the running proxy.");
    out += "valdrin_build_info{version=\"" + label(r.version) + "\"} 1\n";
    family("valdrin_uptime_seconds", "gauge", "Seconds since the proxy started.");
    out += "valdrin_uptime_seconds " + std::to_string(r.uptime_s) + "\n";
    family("valdrin_connections_open", "gauge", "Connections being served now.");
    out += "valdrin_connections_open " + std::to_string(r.open) + "\n";
    family("valdrin_connections_open_peak", "gauge", "Most connections served at once since the start.");
    out += "valdrin_connections_open_peak " + std::to_string(r.peak) + "\n";
    family("valdrin_requests_total", "counter", "Requests by what the proxy did with them.");
    for (int i = 0; i < kVerdicts; ++i)
        out += std::string("valdrin_requests_total{verdict=\"") + verdict_name(static_cast<Verdict>(i)) + "\"} " +
               number(r.requests[i]) + "\n";
    family("valdrin_relayed_bytes_total", "counter", "Bytes relayed, by direction.");
    out += "valdrin_relayed_bytes_total{direction=\"to_clients\"} " + number(r.bytes_to_clients) + "\n";
    out += "valdrin_relayed_bytes_total{direction=\"to_origins\"} " + number(r.bytes_to_origins) + "\n";
    family("valdrin_blocked_requests_total", "counter",
           "Requests for blocked hosts, for the 20 hosts asked for most and the others together.");
    for (const auto &[host, count] : r.blocked)
        out += "valdrin_blocked_requests_total{host=\"" + label(host) + "\"} " + number(count) + "\n";
    out += "valdrin_blocked_requests_total{host=\"(others)\"} " + number(r.blocked_others) + "\n";
    family("valdrin_refused_connections_total", "counter",
           "Connections refused by the allow-list, for the 20 clients refused most and the others together.");
    for (const auto &[client, count] : r.refused)
        out += "valdrin_refused_connections_total{client=\"" + label(client) + "\"} " + number(count) + "\n";
    out += "valdrin_refused_connections_total{client=\"(others)\"} " + number(r.refused_others) + "\n";
    family("valdrin_list_entries", "gauge", "Entries of the ad and tracker lists, by kind.");
    out += "valdrin_list_entries{kind=\"exact\"} " + number(r.exact_hosts) + "\n";
    out += "valdrin_list_entries{kind=\"domain\"} " + number(r.domains) + "\n";
    out += "valdrin_list_entries{kind=\"exception\"} " + number(r.exceptions) + "\n";
    family("valdrin_list_memory_bytes", "gauge", "Memory the ad and tracker lists hold.");
    out += "valdrin_list_memory_bytes " + number(r.list_bytes) + "\n";
    family("valdrin_access_log_entries_total", "counter", "Access log entries, written or dropped.");
    out += "valdrin_access_log_entries_total{outcome=\"written\"} " + number(r.access_log_written) + "\n";
    out += "valdrin_access_log_entries_total{outcome=\"dropped\"} " + number(r.access_log_dropped) + "\n";
    family("valdrin_service_sessions_total", "counter", "Sessions of the SOCKS server and the port redirector that were relayed.");
    for (int i = 0; i < kServices; ++i)
        out += std::string("valdrin_service_sessions_total{service=\"") + service_name(static_cast<Service>(i)) +
               "\"} " + number(r.services[i].sessions) + "\n";
    family("valdrin_service_refusals_total", "counter", "Sessions refused, by service and reason.");
    for (int i = 0; i < kServices; ++i)
        for (int k = 0; k < kRefusals; ++k)
            out += std::string("valdrin_service_refusals_total{service=\"") + service_name(static_cast<Service>(i)) +
                   "\",reason=\"" + refusal_name(static_cast<Refusal>(k)) + "\"} " + number(r.services[i].refused[k]) +
                   "\n";
    family("valdrin_service_relayed_bytes_total", "counter", "Bytes the services relayed, by direction.");
    for (int i = 0; i < kServices; ++i) {
        const std::string s = service_name(static_cast<Service>(i));
        out += "valdrin_service_relayed_bytes_total{service=\"" + s + "\",direction=\"to_clients\"} " +
               number(r.services[i].bytes_to_clients) + "\n";
        out += "valdrin_service_relayed_bytes_total{service=\"" + s + "\",direction=\"to_targets\"} " +
               number(r.services[i].bytes_to_targets) + "\n";
    }
    if (r.dns.running) {
        const DnsFigures &d = r.dns;
        family("valdrin_dns_queries_total", "counter", "Messages the DNS proxy read, by transport.");
        out += "valdrin_dns_queries_total{transport=\"udp\"} " + number(d.udp_queries) + "\n";
        out += "valdrin_dns_queries_total{transport=\"tcp\"} " + number(d.tcp_queries) + "\n";
        family("valdrin_dns_answers_total", "counter", "What the DNS proxy did with the queries, by outcome.");
        const std::pair<const char *, uint64_t> outcomes[] = {
            {"cache", d.cache_hits},  {"blocked", d.blocked},   {"local", d.local},      {"forwarded", d.forwarded},
            {"servfail", d.servfail}, {"refused", d.refused},   {"limited", d.limited},  {"malformed", d.malformed}};
        for (const auto &[name, count] : outcomes)
            out += std::string("valdrin_dns_answers_total{outcome=\"") + name + "\"} " + number(count) + "\n";
        family("valdrin_dns_cache_entries", "gauge", "Answers the DNS proxy keeps now.");
        out += "valdrin_dns_cache_entries " + number(d.cache_entries) + "\n";
        family("valdrin_dns_cache_capacity", "gauge", "Answers the DNS proxy may keep (DNSCacheSize).");
        out += "valdrin_dns_cache_capacity " + number(d.cache_capacity) + "\n";
        family("valdrin_dns_upstream_queries_total", "counter", "Queries sent to each name server.");
        for (const DnsUpstreamFigures &u : d.upstream)
            out += "valdrin_dns_upstream_queries_total{server=\"" + label(u.server) + "\"} " + number(u.sent) + "\n";
        family("valdrin_dns_upstream_failures_total", "counter", "Name servers' failures, by kind.");
        for (const DnsUpstreamFigures &u : d.upstream) {
            out += "valdrin_dns_upstream_failures_total{server=\"" + label(u.server) + "\",kind=\"error\"} " +
                   number(u.failures) + "\n";
            out += "valdrin_dns_upstream_failures_total{server=\"" + label(u.server) + "\",kind=\"timeout\"} " +
                   number(u.timeouts) + "\n";
        }
        family("valdrin_dns_upstream_latency_seconds", "histogram", "Time each name server took to answer.");
        for (const DnsUpstreamFigures &u : d.upstream) {
            const std::string server = label(u.server);
            uint64_t cumulative = 0;
            for (int b = 0; b <= kDnsLatencyBounds; ++b) {
                cumulative += u.latency[b];
                char le[16];
                if (b < kDnsLatencyBounds) std::snprintf(le, sizeof le, "%g", kDnsLatencyBoundsMs[b] / 1000.0);
                else std::snprintf(le, sizeof le, "+Inf");
                out += "valdrin_dns_upstream_latency_seconds_bucket{server=\"" + server + "\",le=\"" + le + "\"} " +
                       number(cumulative) + "\n";
            }
            char sum[32];
            std::snprintf(sum, sizeof sum, "%.6f", static_cast<double>(u.latency_us) / 1e6);
            out += "valdrin_dns_upstream_latency_seconds_sum{server=\"" + server + "\"} " + sum + "\n";
            out += "valdrin_dns_upstream_latency_seconds_count{server=\"" + server + "\"} " + number(u.answered) + "\n";
        }
    }
    return out;
}

std::string status_json(const StatusReport &r) {
    std::string out = "{";
    out += "\"version\":" + json_string(r.version);
    out += ",\"uptime_seconds\":" + std::to_string(r.uptime_s);
    out += ",\"configuration_file\":" + json_string(r.config_file);
    out += ",\"connections\":{\"open\":" + std::to_string(r.open) + ",\"peak\":" + std::to_string(r.peak) + "}";
    out += ",\"requests\":{";
    for (int i = 0; i < kVerdicts; ++i) {
        if (i > 0) out += ',';
        out += json_string(verdict_name(static_cast<Verdict>(i))) + ":" + number(r.requests[i]);
    }
    out += "},\"bytes\":{\"to_clients\":" + number(r.bytes_to_clients) +
           ",\"to_origins\":" + number(r.bytes_to_origins) + "}";
    auto top = [&](const char *key, const auto &entries, uint64_t others) {
        out += std::string(",\"") + key + "\":{\"top\":[";
        bool first = true;
        for (const auto &[name, count] : entries) {
            if (!first) out += ',';
            first = false;
            out += "{\"name\":" + json_string(name) + ",\"count\":" + number(count) + "}";
        }
        out += "],\"others\":" + number(others) + "}";
    };
    top("blocked_hosts", r.blocked, r.blocked_others);
    top("refused_clients", r.refused, r.refused_others);
    out += ",\"lists\":{\"exact_hosts\":" + number(r.exact_hosts) + ",\"domains\":" + number(r.domains) +
           ",\"exceptions\":" + number(r.exceptions) + ",\"memory_bytes\":" + number(r.list_bytes) + "}";
    out += ",\"access_log\":{\"written\":" + number(r.access_log_written) +
           ",\"dropped\":" + number(r.access_log_dropped) + "}";
    out += ",\"services\":{";
    for (int i = 0; i < kServices; ++i) {
        const ServiceFigures &f = r.services[i];
        if (i > 0) out += ',';
        out += json_string(service_name(static_cast<Service>(i))) + ":{\"sessions\":" + number(f.sessions) +
               ",\"refused\":{";
        for (int k = 0; k < kRefusals; ++k) {
            if (k > 0) out += ',';
            out += json_string(refusal_name(static_cast<Refusal>(k))) + ":" + number(f.refused[k]);
        }
        out += "},\"bytes\":{\"to_clients\":" + number(f.bytes_to_clients) +
               ",\"to_targets\":" + number(f.bytes_to_targets) + "}}";
    }
    if (r.dns.running) {
        const DnsFigures &d = r.dns;
        out += ",\"dns\":{\"listening\":" + json_string(d.listening) + ",\"queries\":{\"udp\":" +
               number(d.udp_queries) + ",\"tcp\":" + number(d.tcp_queries) + "},\"answers\":{\"cache\":" +
               number(d.cache_hits) + ",\"blocked\":" + number(d.blocked) + ",\"local\":" + number(d.local) +
               ",\"forwarded\":" + number(d.forwarded) + ",\"servfail\":" + number(d.servfail) +
               ",\"refused\":" + number(d.refused) + ",\"limited\":" + number(d.limited) +
               ",\"malformed\":" + number(d.malformed) + "},\"cache\":{\"entries\":" + number(d.cache_entries) +
               ",\"capacity\":" + number(d.cache_capacity) + "},\"upstream\":[";
        for (std::size_t i = 0; i < d.upstream.size(); ++i) {
            const DnsUpstreamFigures &u = d.upstream[i];
            if (i > 0) out += ',';
            out += "{\"server\":" + json_string(u.server) + ",\"sent\":" + number(u.sent) +
                   ",\"answered\":" + number(u.answered) + ",\"failures\":" + number(u.failures) +
                   ",\"timeouts\":" + number(u.timeouts) + ",\"latency_ms_average\":" +
                   (u.answered ? std::to_string(static_cast<double>(u.latency_us) / static_cast<double>(u.answered) / 1000.0)
                               : std::string("null")) +
                   "}";
        }
        out += "]}";
    }
    out += "}";
    out += ",\"listening\":[";
    for (std::size_t i = 0; i < r.listening.size(); ++i) {
        if (i > 0) out += ',';
        out += "{\"service\":" + json_string(r.listening[i].first) +
               ",\"address\":" + json_string(r.listening[i].second) + "}";
    }
    out += "]}\n";
    return out;
}

}  // namespace kel::server
