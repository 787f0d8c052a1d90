#include "connection.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "kelnet.h"
#include "stats.h"
#include "valdrin_internal.h"

namespace kel::server {
namespace {

// The codes the common web servers log where no status was sent.
constexpr int kNoValidReply = 502;
constexpr int kClientGone = 499;
// A longer request line or field is kept cut: the log line stays sane.
constexpr size_t kMaxLoggedLine = 8192;

// The factory settings, for a borrowed socket before anything is installed.
std::shared_ptr<const Config> factory_config() {
    static const auto *const factory = new std::shared_ptr<const Config>(std::make_shared<Config>());
    return *factory;
}

}  // namespace

void finish_exchange(const Exchange &e) {
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
    entry.duration_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - e.started).count();
    entry.verdict = e.verdict;
    AccessLog::instance().submit(entry);
}

Connection::Connection(uint32_t sd, const net::IpAddress &peer, std::shared_ptr<const Config> config, bool owned)
    : sd_(sd), peer_(peer), config_(config != nullptr ? std::move(config) : factory_config()), owned_(owned) {
    exchange_.client = net::ip_text(peer);
    exchange_.started_wall = std::time(nullptr);
    exchange_.started = std::chrono::steady_clock::now();
}

Connection::Connection(uint32_t sd, const net::IpAddress &peer, std::shared_ptr<const Config> config)
    : Connection(sd, peer, std::move(config), /*owned=*/true) {}

Connection Connection::borrowed(uint32_t sd) {
    return Connection(sd, client_address(kelnet_sockaddr{}), current_config(), /*owned=*/false);
}

Connection::~Connection() {
    if (!owned_) return;
    close();
    finish_exchange(exchange_);
}

void Connection::close() {
    if (closed_) return;
    closed_ = true;
    kelnet_fermer(sd_);
}

void Connection::note_head(const RequestHead &head) {
    exchange_.request_line = std::string(head.request_line.substr(0, kMaxLoggedLine));
    if (!head.target.empty() && head.target.front() == '/') exchange_.origin_target = std::string(head.target);
    exchange_.referer = std::string(head.field("Referer").substr(0, kMaxLoggedLine));
    exchange_.user_agent = std::string(head.field("User-Agent").substr(0, kMaxLoggedLine));
}

void Connection::note_reply(int status, uint64_t bytes) {
    exchange_.status = status;
    exchange_.bytes_to_client += bytes;
}

void Connection::note_relay(bool origin_first, Verdict v) {
    kelnet_bilan b{};
    kelnet_bilan_redir(&b);
    exchange_.bytes_to_client += origin_first ? b.octets_1_vers_2 : b.octets_2_vers_1;
    exchange_.bytes_to_origin += origin_first ? b.octets_2_vers_1 : b.octets_1_vers_2;
    if (origin_first) {
        // An origin that closed without a status line answered nothing valid.
        const int status = status_of_reply_start(
            std::string_view(b.debut_1_vers_2, static_cast<size_t>(b.debut_lng_1_vers_2)));
        exchange_.status = status != 0 ? status : kNoValidReply;
    }
    exchange_.verdict = v;
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

bool client_allowed(const net::IpAddress &client) {
    const auto config = current_config();
    return config != nullptr && allows(config->allowed, client);
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

}  // namespace kel::server
