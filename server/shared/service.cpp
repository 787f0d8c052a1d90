#include "service.h"

#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>

#include "access_log.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/net.h"

namespace kel::server {
namespace {

// Never destroyed: detached threads may read them at exit.
struct Registry {
    std::mutex mutex;
    std::vector<std::pair<std::string, std::vector<std::string>>> listening;
    std::string http_listening;
    std::vector<ReloadHook> hooks;
    bool running = false;
};
Registry &registry() {
    static Registry *const r = new Registry;
    return *r;
}

}  // namespace

bool open_listening(const std::vector<std::string> &wanted, uint16_t port, Listening *out, std::string *why) {
    std::vector<std::string> addresses = wanted;
    if (addresses.empty()) addresses = {net::ipv6_available() ? "::" : "0.0.0.0"};
    Listening opened;
    opened.port = port;
    for (const std::string &text : addresses) {
        net::IpAddress a;
        if (!net::parse_ip(text, &a)) {
            *why = "'" + text + "' is no IPv4 or IPv6 address";
            close_listening(&opened);
            return false;
        }
        const uint32_t sd = net::listen_on(a, net::host_to_net16(opened.port));
        if (sd == net::kInvalidSocket) {
            *why = "bind() to " + net::host_text(a) + ":" + std::to_string(opened.port) + " failed (" +
                   kelnet_msg_err(net::last_error()) + ")";
            close_listening(&opened);
            return false;
        }
        if (opened.port == 0) opened.port = net::local_port(sd);
        opened.sockets.push_back(sd);
        if (!opened.text.empty()) opened.text += ", ";
        opened.text += net::host_text(a) + ":" + std::to_string(opened.port);
    }
    *out = std::move(opened);
    return true;
}

void close_listening(Listening *listening) {
    for (uint32_t sd : listening->sockets) net::close(sd);
    listening->sockets.clear();
}

net::IpAddress current_client() {
    kelnet_adresse_ip pair{};
    net::IpAddress a;
    if (kelnet_pair_courant(&pair) == 0 && (pair.famille == 4 || pair.famille == 6)) {
        a.family = pair.famille;
        std::memcpy(a.bytes, pair.octets, sizeof a.bytes);
        a.scope_id = pair.zone;
    }
    return a;
}

bool admit_client(Service service, const char *label) {
    const net::IpAddress client = current_client();
    const auto config = current_config();
    if (config != nullptr && allows(config->allowed, client)) return true;
    const std::string address = net::ip_text(client);
    service_counters(service).refuse(Refusal::Client);
    Stats::instance().refused(address);
    kellog_log("Connection from %s refused (%s)", address.c_str(), label);
    AccessEntry e;
    e.client = address;
    e.started = std::time(nullptr);
    e.status = 403;
    e.verdict = Verdict::Refused;
    AccessLog::instance().submit(e);
    return false;
}

void refuse_busy(Service service) {
    service_counters(service).refuse(Refusal::Busy);
    const auto config = current_config();
    kellog_log("Connection from %s refused: too many connections (HTTPMaxClients %d)",
               net::ip_text(current_client()).c_str(), config != nullptr ? config->http.limits.max_clients : 0);
}

void set_listening(const std::string &service, const std::vector<std::string> &texts) {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    for (auto &[name, lines] : r.listening) {
        if (name == service) {
            lines = texts;
            return;
        }
    }
    r.listening.emplace_back(service, texts);
}

void set_http_listening(const std::string &text) {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.http_listening = text;
}

namespace {

// Each address of a listener's text: "a:1, b:1" holds two.
template <class Each>
void each_address(const std::string &text, Each each) {
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = text.find(", ", at);
        const std::string entry = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        if (!entry.empty()) each(entry);
        if (comma == std::string::npos) break;
        at = comma + 2;
    }
}

}  // namespace

std::vector<std::pair<std::string, std::string>> listeners() {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    std::vector<std::pair<std::string, std::string>> out;
    each_address(r.http_listening, [&](const std::string &a) { out.emplace_back("http", a); });
    for (const auto &service : r.listening)
        for (const std::string &text : service.second)
            each_address(text, [&](const std::string &a) { out.emplace_back(service.first, a); });
    return out;
}

std::string listening_lines() {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    std::string out;
    for (const auto &service : r.listening)
        for (const std::string &text : service.second)
            each_address(text, [&](const std::string &a) { out += service.first + " " + a + "\n"; });
    return out;
}

void add_reload_hook(ReloadHook hook) {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    for (ReloadHook h : r.hooks)
        if (h == hook) return;
    r.hooks.push_back(hook);
}

void run_reload_hooks(const std::shared_ptr<const Config> &config) {
    std::vector<ReloadHook> hooks;
    {
        Registry &r = registry();
        std::lock_guard<std::mutex> hold(r.mutex);
        hooks = r.hooks;
    }
    for (ReloadHook hook : hooks) hook(config);
}

bool services_running() {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    return r.running;
}

void note_service_started() {
    Registry &r = registry();
    std::lock_guard<std::mutex> hold(r.mutex);
    r.running = true;
}

void log_session(const Session &s) {
    ServiceCounters &c = service_counters(s.service);
    c.relayed(s.bytes_to_client, s.bytes_from_client);
    AccessEntry e;
    e.client = s.client;
    e.started = s.started_wall;
    e.request_line = s.request;
    e.status = s.status;
    e.bytes = s.bytes_to_client;
    e.duration_ms = s.duration_ms;
    e.verdict = s.verdict;
    e.user = s.user;
    e.bytes_from_client = static_cast<int64_t>(s.bytes_from_client);
    AccessLog::instance().submit(e);
}

}  // namespace kel::server
