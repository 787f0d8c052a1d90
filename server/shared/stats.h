// What the status page reports: counters the connection threads bump
// without a lock, and the proxy's own description of itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access_log.h"

namespace kel::server {

// Counts per name (a host, a client address) in a fixed table that threads
// fill without a lock: a name claims a slot by compare-and-swap on its
// hash, then writes itself and publishes the slot. Names past the table's
// room, or longer than a slot holds, are counted as others.
class TopCounter {
public:
    static constexpr size_t kSlots = 1024;
    static constexpr size_t kNameBytes = 96;

    void add(std::string_view name) noexcept;
    // The n names with the highest counts, highest first (ties by name).
    std::vector<std::pair<std::string, uint64_t>> top(size_t n) const;
    uint64_t others() const noexcept { return others_.load(std::memory_order_relaxed); }
    size_t names() const noexcept;
    void clear_for_tests() noexcept;

private:
    struct Slot {
        std::atomic<uint64_t> hash{0};  // 0: free
        std::atomic<bool> ready{false};
        char name[kNameBytes] = {};
        std::atomic<uint64_t> count{0};
    };
    Slot slots_[kSlots];
    std::atomic<uint64_t> others_{0};
};

class Stats {
public:
    static Stats &instance();  // never destroyed

    void started_now() noexcept;  // the server's start, for the uptime
    void count(Verdict v) noexcept;
    void add_bytes(uint64_t to_clients, uint64_t to_origins) noexcept;
    // A connection thread began; open is the count running now.
    void opened(int32_t open) noexcept;
    void blocked(std::string_view host) noexcept { blocked_.add(host); }
    void refused(std::string_view client) noexcept { refused_.add(client); }

    uint64_t requests(Verdict v) const noexcept;
    uint64_t bytes_to_clients() const noexcept { return to_clients_.load(std::memory_order_relaxed); }
    uint64_t bytes_to_origins() const noexcept { return to_origins_.load(std::memory_order_relaxed); }
    int32_t peak() const noexcept { return peak_.load(std::memory_order_relaxed); }
    std::time_t start_time() const noexcept { return start_.load(std::memory_order_relaxed); }
    const TopCounter &blocked_hosts() const noexcept { return blocked_; }
    const TopCounter &refused_clients() const noexcept { return refused_; }
    void clear_for_tests() noexcept;

private:
    Stats() = default;
    std::atomic<uint64_t> verdicts_[kVerdicts] = {};
    std::atomic<uint64_t> to_clients_{0};
    std::atomic<uint64_t> to_origins_{0};
    std::atomic<int32_t> peak_{0};
    std::atomic<std::time_t> start_{0};
    TopCounter blocked_;
    TopCounter refused_;
};

// The services beside the HTTP proxy, each with its own counters.
enum class Service { Socks, Redirect };
inline constexpr int kServices = 2;
const char *service_name(Service s);  // "socks", "redirect"

// Why a service refused a session.
enum class Refusal {
    Client,   // outside the allow-list
    Blocked,  // a target of the block lists
    Auth,     // wrong user or password
    Rule,     // a version, command or address the service does not take
    Failed,   // the target could not be resolved or reached
    Busy,     // past the cap on connections
};
inline constexpr int kRefusals = 6;
const char *refusal_name(Refusal r);  // "client", "blocked", ...

// Bumped by the service's threads without a lock.
struct ServiceCounters {
    std::atomic<uint64_t> sessions{0};  // sessions that were granted their relay
    std::atomic<uint64_t> refused[kRefusals] = {};
    std::atomic<uint64_t> bytes_to_clients{0};
    std::atomic<uint64_t> bytes_to_targets{0};
    void refuse(Refusal r) noexcept { refused[static_cast<int>(r)].fetch_add(1, std::memory_order_relaxed); }
    void relayed(uint64_t to_client, uint64_t to_target) noexcept {
        bytes_to_clients.fetch_add(to_client, std::memory_order_relaxed);
        bytes_to_targets.fetch_add(to_target, std::memory_order_relaxed);
    }
};
// Never destroyed.
ServiceCounters &service_counters(Service s);

struct ServiceFigures {
    uint64_t sessions = 0;
    uint64_t refused[kRefusals] = {};
    uint64_t bytes_to_clients = 0;
    uint64_t bytes_to_targets = 0;
};

// The DNS proxy's figures, asked of it while it runs. Its name servers'
// latency histogram has these upper bounds, and a last bucket for the rest.
inline constexpr int kDnsLatencyBounds = 7;
inline constexpr int kDnsLatencyBoundsMs[kDnsLatencyBounds] = {1, 5, 10, 50, 100, 500, 1000};
struct DnsUpstreamFigures {
    std::string server;  // "192.0.2.1:53"
    uint64_t sent = 0;
    uint64_t answered = 0;
    uint64_t failures = 0;  // SERVFAIL, REFUSED, unreadable answers, failed TCP exchanges
    uint64_t timeouts = 0;
    uint64_t latency_us = 0;                          // summed over the answered
    uint64_t latency[kDnsLatencyBounds + 1] = {};     // answered, by bucket
};
struct DnsFigures {
    bool running = false;
    std::string listening;  // "127.0.0.1:53, [::1]:53"
    uint64_t udp_queries = 0;
    uint64_t tcp_queries = 0;
    uint64_t cache_hits = 0;
    uint64_t forwarded = 0;
    uint64_t blocked = 0;
    uint64_t local = 0;      // the hosts file, ANY
    uint64_t refused = 0;    // clients outside the allow-list
    uint64_t limited = 0;    // dropped past a client's rate
    uint64_t malformed = 0;
    uint64_t servfail = 0;
    uint64_t cache_entries = 0;
    uint64_t cache_capacity = 0;
    std::vector<DnsUpstreamFigures> upstream;
};
// Set by the DNS proxy while it runs; empty: it does not run.
void set_dns_figures_source(std::function<DnsFigures()> source);

// The figures of one status page, gathered at once.
struct StatusReport {
    std::string version;
    int64_t uptime_s = 0;
    std::string config_file;
    int32_t open = 0;
    int32_t peak = 0;
    uint64_t requests[kVerdicts] = {};
    uint64_t bytes_to_clients = 0;
    uint64_t bytes_to_origins = 0;
    std::vector<std::pair<std::string, uint64_t>> blocked;  // top 20
    uint64_t blocked_others = 0;
    std::vector<std::pair<std::string, uint64_t>> refused;  // top 20
    uint64_t refused_others = 0;
    // Entries of the ad and tracker lists.
    uint64_t exact_hosts = 0;
    uint64_t domains = 0;
    uint64_t exceptions = 0;
    uint64_t list_bytes = 0;
    uint64_t access_log_written = 0;
    uint64_t access_log_dropped = 0;
    ServiceFigures services[kServices];
    DnsFigures dns;
    // Where each service listens, one address a pair: {"socks", "[::]:1080"};
    // filled by the page, which knows the listeners.
    std::vector<std::pair<std::string, std::string>> listening;
};

StatusReport gather_status();
// The page for an allowed client, the same figures three ways.
std::string status_html(const StatusReport &r);
// Prometheus text exposition format, version 0.0.4.
std::string status_metrics(const StatusReport &r);
std::string status_json(const StatusReport &r);

}  // namespace kel::server
