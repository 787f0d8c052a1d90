// The SOCKS server: SOCKS 5 with CONNECT, BIND and UDP ASSOCIATE, and
// SOCKS 4 and 4a while Socks4Allowed is true, on the frame every service
// shares. A connection waits without a thread until its first message is
// whole; its thread then negotiates under the header deadline, connects
// under the connect deadline and relays under the idle one.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "accounts.h"
#include "kellog.h"
#include "kelnet.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "messages.h"
#include "service.h"
#include "socks_server.h"
#include "valdrin_http.h"

namespace {
constexpr const char *kModule = "socks";
}

namespace kel::socks {
namespace {

constexpr const char *kLabel = "SOCKS";
// Bytes held while negotiating: the longest SOCKS 4a request and more.
constexpr std::size_t kMaxNegotiationBytes = 1024;
constexpr std::size_t kMaxDatagramBytes = 65535;

using Clock = std::chrono::steady_clock;

FailureThrottle &throttle() {
    static FailureThrottle *const t = new FailureThrottle;
    return *t;
}

server::ServiceCounters &counters() { return server::service_counters(server::Service::Socks); }

int ms_left(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

std::string address_text(const Address &a) {
    if (a.kind == Address::Kind::Domain) return a.host;
    net::IpAddress ip;
    if (a.kind == Address::Kind::IPv4) {
        ip = net::ipv4_address(0);
        std::memcpy(ip.bytes, a.ip.data(), 4);
    } else {
        std::uint8_t bytes[16];
        std::memcpy(bytes, a.ip.data(), 16);
        ip = net::ipv6_address(bytes);
    }
    return net::ip_text(ip);
}

Address to_address(const net::IpAddress &ip, std::uint16_t port_net) {
    Address a;
    const net::IpAddress u = net::unmapped(ip);
    if (u.is_v4()) {
        a.kind = Address::Kind::IPv4;
        std::memcpy(a.ip.data(), u.bytes, 4);
    } else {
        a.kind = Address::Kind::IPv6;
        std::memcpy(a.ip.data(), u.bytes, 16);
    }
    a.port = net::net_to_host16(port_net);
    return a;
}

bool send_bytes(std::uint32_t sd, std::span<const std::uint8_t> bytes) {
    return kelnet_envoie(sd, bytes.data(), static_cast<int32_t>(bytes.size())) == 0;
}

// One session: the client socket, what has arrived and not been used, and
// what the access log says of it.
class Session {
public:
    Session(std::uint32_t sd, std::shared_ptr<const server::Config> config)
        : sd_(sd), config_(std::move(config)), started_(Clock::now()) {
        log_.service = server::Service::Socks;
        log_.client = net::ip_text(server::current_client());
        log_.started_wall = std::time(nullptr);
        const int header_s = config_->http.limits.header_timeout;
        deadline_ = header_s > 0 ? started_ + std::chrono::seconds(header_s) : Clock::time_point::max();
    }
    ~Session() {
        if (sd_ != net::kInvalidSocket) kelnet_fermer(sd_);
        log_.duration_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started_).count();
        server::log_session(log_);
    }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    void run() {
        if (!fill(1)) return;
        if (buffer_[0] == kVersion5) {
            serve5();
        } else if (buffer_[0] == kVersion4) {
            serve4();
        } else {
            refuse(server::Refusal::Rule, 400, "SOCKS-UNKNOWN");
        }
    }

private:
    // Reads until the parser has a whole message or can never have one.
    template <class T, class Parse>
    Parsed<T> read(Parse parse) {
        for (;;) {
            Parsed<T> p = parse(std::span<const std::uint8_t>(buffer_));
            if (p.status != Status::NeedMore) return p;
            if (buffer_.size() >= kMaxNegotiationBytes || !fill(buffer_.size() + 1)) return p;
        }
    }

    // Waits for the buffer to hold at least want bytes; false at the
    // negotiation deadline, or when the client closed or failed.
    bool fill(std::size_t want) {
        while (buffer_.size() < want) {
            bool ready = false;
            const int left = deadline_ == Clock::time_point::max() ? -1 : ms_left(deadline_);
            if (left == 0 || net::wait_readable_for(&sd_, &ready, 1, left) != 1) {
                timed_out_ = left == 0 || net::last_error() == net::kErrTimedOut;
                return false;
            }
            std::uint8_t chunk[512];
            const long n = net::recv_nowait(sd_, chunk, std::min(sizeof chunk, kMaxNegotiationBytes - buffer_.size()));
            if (n < 0 && net::last_error() == net::kErrWouldBlock) continue;
            if (n <= 0) return false;
            buffer_.insert(buffer_.end(), chunk, chunk + n);
        }
        return true;
    }

    void consume(std::size_t used) { buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(used)); }

    void refuse(server::Refusal why, int status, const std::string &request = {}) {
        counters().refuse(why);
        log_.status = status;
        log_.verdict = why == server::Refusal::Blocked ? server::Verdict::Blocked
                       : why == server::Refusal::Auth  ? server::Verdict::AuthFailed
                                                       : server::Verdict::Error;
        if (!request.empty()) log_.request = request;
    }

    const std::vector<server::SocksAccount> &accounts() const { return config_->socks.accounts; }

    // ---- SOCKS 5 ----

    void serve5() {
        const auto greeting = read<Greeting>(parse_greeting);
        if (greeting.status != Status::Complete) return refuse(server::Refusal::Rule, 400, "SOCKS5-GREETING");
        consume(greeting.used);
        const std::uint8_t method = accounts().empty() ? kMethodNoAuth : kMethodUserPassword;
        if (!greeting.value.offers(method)) {
            send_bytes(sd_, method_reply(kMethodNoneAcceptable));
            return refuse(server::Refusal::Auth, 407, "SOCKS5-GREETING");
        }
        if (!send_bytes(sd_, method_reply(method))) return;
        if (method == kMethodUserPassword && !authenticate5()) return;
        const auto request = read<Request5>(parse_request5);
        if (request.status != Status::Complete) {
            if (request.reply_code) reply5(*request.reply_code, Address{});
            return refuse(server::Refusal::Rule, 400, "SOCKS5-REQUEST");
        }
        consume(request.used);
        const Request5 &r = request.value;
        static constexpr const char *kNames[] = {"SOCKS5-?", "SOCKS5-CONNECT", "SOCKS5-BIND", "SOCKS5-UDP"};
        const char *name = r.command <= kCommandUdpAssociate ? kNames[r.command] : kNames[0];
        log_.request = std::string(name) + " " + target_text(r.target);
        if (r.command != kCommandConnect && r.command != kCommandBind && r.command != kCommandUdpAssociate) {
            reply5(kReplyCommandNotSupported, Address{});
            return refuse(server::Refusal::Rule, 405);
        }
        // A UDP association names where the client sends from, not a target.
        if (r.command != kCommandUdpAssociate && is_blocked(r.target)) {
            reply5(kReplyNotAllowed, Address{});
            return;
        }
        if (r.command == kCommandConnect) return connect(r.target, /*version=*/5);
        if (r.command == kCommandBind) return bind(r.target, /*version=*/5);
        associate(r.target);
    }

    bool authenticate5() {
        const auto creds = read<Credentials>(parse_credentials);
        if (creds.status != Status::Complete) {
            if (creds.reply_code) send_bytes(sd_, auth_reply(*creds.reply_code));
            refuse(server::Refusal::Auth, 407, "SOCKS5-AUTH");
            return false;
        }
        consume(creds.used);
        log_.user = creds.value.user;
        if (password_accepted(accounts(), creds.value.user, creds.value.password)) {
            throttle().succeeded(log_.client);
            return send_bytes(sd_, auth_reply(kAuthSuccess));
        }
        const auto wait = throttle().failed(log_.client);
        kellog_log("SOCKS authentication failed for user '%s' from %s", creds.value.user.c_str(), log_.client.c_str());
        if (wait.count() > 0) std::this_thread::sleep_for(wait);
        // RFC 1929: a failure status, then the server closes.
        send_bytes(sd_, auth_reply(kAuthFailure));
        refuse(server::Refusal::Auth, 407, "SOCKS5-AUTH");
        return false;
    }

    void reply5(std::uint8_t code, const Address &bound) {
        Address a = bound;
        if (a.kind == Address::Kind::Domain) a = Address{};
        std::uint8_t out[kMaxReply5Bytes];
        const std::size_t n = write_reply5(code, a, out);
        if (n > 0) send_bytes(sd_, std::span<const std::uint8_t>(out, n));
    }

    // ---- SOCKS 4 and 4a ----

    void serve4() {
        if (!config_->socks.socks4_allowed) {
            send_bytes(sd_, reply4(kReply4Rejected, 0, {}));
            kellog_log("SOCKS 4 request from %s refused: Socks4Allowed is not true", log_.client.c_str());
            return refuse(server::Refusal::Rule, 403, "SOCKS4");
        }
        const auto request = read<Request4>(parse_request4);
        if (request.status != Status::Complete) {
            if (request.reply_code) send_bytes(sd_, reply4(*request.reply_code, 0, {}));
            return refuse(server::Refusal::Rule, 400, "SOCKS4");
        }
        consume(request.used);
        const Request4 &r = request.value;
        const std::string version = r.is_4a() ? "SOCKS4A" : "SOCKS4";
        log_.request = version + (r.command == kCommandConnect ? "-CONNECT " : r.command == kCommandBind ? "-BIND " : "-? ") +
                       target_text(r.target);
        log_.user = r.user_id;
        if (!accounts().empty() && !user_id_accepted(accounts(), r.user_id)) {
            send_bytes(sd_, reply4(kReply4Rejected, 0, {}));
            kellog_log("SOCKS 4 user id '%s' from %s is not an account", r.user_id.c_str(), log_.client.c_str());
            return refuse(server::Refusal::Auth, 407);
        }
        if (r.command != kCommandConnect && r.command != kCommandBind) {
            send_bytes(sd_, reply4(kReply4Rejected, 0, {}));
            return refuse(server::Refusal::Rule, 405);
        }
        if (is_blocked(r.target)) {
            send_bytes(sd_, reply4(kReply4Rejected, 0, {}));
            return;
        }
        if (r.command == kCommandConnect) return connect(r.target, /*version=*/4);
        bind(r.target, /*version=*/4);
    }

    // ---- what both versions do ----

    static std::string target_text(const Address &a) {
        const std::string host = address_text(a);
        const bool v6 = a.kind == Address::Kind::IPv6;
        return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(a.port);
    }

    // A listed target is refused before any look-up or connection.
    bool is_blocked(const Address &target) {
        const auto &blocked = config_->blocked;
        const std::string host = address_text(target);
        if (blocked == nullptr || !blocked->blocks(host)) return false;
        server::Stats::instance().blocked(host);
        kellog_log("SOCKS request for %s:%u from %s blocked: listed advertising or tracking host", host.c_str(),
                   static_cast<unsigned>(target.port), log_.client.c_str());
        refuse(server::Refusal::Blocked, 403);
        return true;
    }

    void granted(std::uint8_t version, const Address &bound) {
        if (version == 5) {
            reply5(kReplySucceeded, bound);
        } else {
            std::array<std::uint8_t, 4> ip{};
            if (bound.kind == Address::Kind::IPv4) std::copy_n(bound.ip.begin(), 4, ip.begin());
            send_bytes(sd_, reply4(kReply4Granted, bound.port, ip));
        }
    }

    void failed(std::uint8_t version, std::uint8_t code5, int status) {
        if (version == 5) {
            reply5(code5, Address{});
        } else {
            send_bytes(sd_, reply4(kReply4Rejected, 0, {}));
        }
        refuse(server::Refusal::Failed, status);
    }

    static std::uint8_t reply_for_connect_error(int error) {
        switch (error) {
            case 10061: return kReplyConnectionRefused;   // refused
            case 10051: return kReplyNetworkUnreachable;  // network unreachable
            case 10060: return kReplyTtlExpired;          // timed out
            default: return kReplyHostUnreachable;
        }
    }

    void connect(const Address &target, std::uint8_t version) {
        const std::string host = address_text(target);
        int32_t failure = 0;
        const std::uint32_t out = kelnet_connecter_nom(host.c_str(), net::host_to_net16(target.port), &failure);
        if (out == KELNET_INVALIDE) {
            // The support library's own record of the failure.
            const int error = kelnet_derniere_erreur();
            if (failure == -2) return failed(version, kReplyHostUnreachable, 502);
            return failed(version, reply_for_connect_error(error), 504);
        }
        net::IpAddress local;
        std::uint16_t local_port = 0;
        (void)net::local_address(out, &local, &local_port);
        granted(version, to_address(local, local_port));
        relay(out);
    }

    // Bytes the client sent behind its request reach the target first;
    // then the two sockets are relayed as the HTTP tunnels are.
    void relay(std::uint32_t target) {
        counters().sessions.fetch_add(1, std::memory_order_relaxed);
        log_.status = 200;
        log_.verdict = server::Verdict::Tunnel;
        if (!buffer_.empty()) {
            if (!send_bytes(target, buffer_)) {
                kelnet_fermer(target);
                return;
            }
            log_.bytes_from_client += buffer_.size();
        }
        // A tunnel may idle for hours: it keeps nothing of the negotiation.
        std::vector<std::uint8_t>().swap(buffer_);
        const std::uint32_t client = sd_;
        const int32_t result = kelnet_redir2_demi(client, target);
        kelnet_bilan tally{};
        kelnet_bilan_redir(&tally);
        log_.bytes_from_client += tally.octets_1_vers_2;
        log_.bytes_to_client += tally.octets_2_vers_1;
        if (result == -1) {
            // The relay could not start and left both sockets open.
            kelnet_fermer(target);
            return;
        }
        sd_ = net::kInvalidSocket;
    }

    // BIND: one connection from the application server the client names,
    // on a port of the address the client reached us at.
    void bind(const Address &expected, std::uint8_t version) {
        net::IpAddress local;
        std::uint16_t ignored = 0;
        if (!net::local_address(sd_, &local, &ignored)) return failed(version, kReplyGeneralFailure, 500);
        local = net::unmapped(local);
        if (version == 4 && !local.is_v4()) return failed(version, kReplyGeneralFailure, 500);
        const std::uint32_t listener = net::listen_on(local, 0);
        if (listener == net::kInvalidSocket) return failed(version, kReplyGeneralFailure, 500);
        net::IpAddress bound;
        std::uint16_t bound_port = 0;
        (void)net::local_address(listener, &bound, &bound_port);
        granted(version, to_address(bound, bound_port));
        // The client may give up: its close ends the wait too.
        const int connect_s = config_->http.limits.connect_timeout;
        const Clock::time_point until =
            connect_s > 0 ? Clock::now() + std::chrono::seconds(connect_s) : Clock::time_point::max();
        std::uint32_t peer_sd = net::kInvalidSocket;
        net::IpAddress peer;
        std::uint16_t peer_port = 0;
        for (;;) {
            const net::Socket both[2] = {listener, sd_};
            bool ready[2] = {false, false};
            const int left = until == Clock::time_point::max() ? -1 : ms_left(until);
            if (left == 0 || net::wait_readable_for(both, ready, 2, left) != 1 || ready[1]) break;
            peer_sd = net::accept_ip(listener, &peer, &peer_port);
            if (peer_sd == net::kInvalidSocket) break;
            // An address the client named is the only one let in.
            const bool any = expected.kind != Address::Kind::Domain &&
                             std::all_of(expected.ip.begin(), expected.ip.end(), [](std::uint8_t b) { return b == 0; });
            bool match = any;
            if (!match && expected.kind != Address::Kind::Domain)
                match = net::ip_text(net::unmapped(peer)) == address_text(expected);
            if (!match && expected.kind == Address::Kind::Domain) {
                std::vector<net::IpAddress> names;
                if (net::resolve_all(expected.host.c_str(), &names))
                    for (const net::IpAddress &a : names) match = match || net::ip_text(net::unmapped(a)) == net::ip_text(net::unmapped(peer));
            }
            if (match) break;
            net::close(peer_sd);
            peer_sd = net::kInvalidSocket;
        }
        net::close(listener);
        if (peer_sd == net::kInvalidSocket) return failed(version, kReplyTtlExpired, 504);
        granted(version, to_address(peer, peer_port));
        const int idle = config_->http.limits.idle_timeout;
        if (idle > 0) (void)net::set_io_timeouts(peer_sd, idle * 1000, idle * 1000);
        relay(peer_sd);
    }

    // UDP ASSOCIATE: datagrams from the client's own address go out to
    // their targets, and the answers of those targets come back wrapped;
    // the association ends with its TCP connection or when idle.
    void associate(const Address &client_says) {
        net::IpAddress local, client;
        std::uint16_t ignored = 0, client_tcp_port = 0;
        if (!net::local_address(sd_, &local, &ignored) || !net::peer_address(sd_, &client, &client_tcp_port))
            return failed(5, kReplyGeneralFailure, 500);
        local = net::unmapped(local);
        client = net::unmapped(client);
        const std::uint32_t near = net::udp_bind(local, 0);
        const std::uint32_t far4 = net::udp_bind(net::ipv4_address(0), 0);
        const std::uint8_t any6[16] = {};
        const std::uint32_t far6 = net::ipv6_available() ? net::udp_bind(net::ipv6_address(any6), 0) : net::kInvalidSocket;
        auto close_all = [&] {
            for (std::uint32_t s : {near, far4, far6})
                if (s != net::kInvalidSocket) net::close(s);
        };
        if (near == net::kInvalidSocket || (far4 == net::kInvalidSocket && far6 == net::kInvalidSocket)) {
            close_all();
            return failed(5, kReplyGeneralFailure, 500);
        }
        net::IpAddress bound;
        std::uint16_t bound_port = 0;
        (void)net::local_address(near, &bound, &bound_port);
        counters().sessions.fetch_add(1, std::memory_order_relaxed);
        reply5(kReplySucceeded, to_address(bound, bound_port));
        log_.status = 200;
        log_.verdict = server::Verdict::Tunnel;
        // A port the client named is the only one taken; 0 learns it.
        std::uint16_t client_port_net = client_says.kind != Address::Kind::Domain ? net::host_to_net16(client_says.port) : 0;
        std::set<std::pair<std::string, std::uint16_t>> asked;  // targets the client has written to
        std::vector<std::uint8_t> packet(kMaxDatagramBytes + kMaxUdpHeaderBytes);
        const int idle_s = config_->http.limits.idle_timeout;
        for (;;) {
            const net::Socket socks[4] = {sd_, near, far4 != net::kInvalidSocket ? far4 : near,
                                          far6 != net::kInvalidSocket ? far6 : near};
            bool ready[4] = {false, false, false, false};
            const int got = net::wait_readable_for(socks, ready, 4, idle_s > 0 ? idle_s * 1000 : -1);
            if (got != 1) break;  // idle, or failed
            if (ready[0]) {
                char sink[256];
                const long n = net::recv_nowait(sd_, sink, sizeof sink);
                if (n == 0 || (n < 0 && net::last_error() != net::kErrWouldBlock)) break;
            }
            if (ready[1]) from_client(near, far4, far6, client, client_port_net, asked, packet);
            for (int i : {2, 3})
                if (ready[i] && socks[i] != near) to_client(socks[i], near, client, client_port_net, asked, packet);
        }
        close_all();
    }

    void from_client(std::uint32_t near, std::uint32_t far4, std::uint32_t far6, const net::IpAddress &client,
                     std::uint16_t &client_port_net, std::set<std::pair<std::string, std::uint16_t>> &asked,
                     std::vector<std::uint8_t> &packet) {
        for (int burst = 0; burst < 64; ++burst) {
            net::IpAddress from;
            std::uint16_t from_port = 0;
            const long n = net::recv_from_ip(near, packet.data(), kMaxDatagramBytes, &from, &from_port);
            if (n < 0) return;
            // Only the client's own address speaks for the association.
            if (net::ip_text(net::unmapped(from)) != net::ip_text(client)) continue;
            if (client_port_net != 0 && from_port != client_port_net) continue;
            client_port_net = from_port;
            const auto header = parse_udp_header(std::span<const std::uint8_t>(packet.data(), static_cast<std::size_t>(n)));
            if (header.status != Status::Complete || header.value.frag != 0) continue;
            const Address &target = header.value.target;
            const auto &blocked = config_->blocked;
            const std::string host = address_text(target);
            if (blocked != nullptr && blocked->blocks(host)) {
                counters().refuse(server::Refusal::Blocked);
                continue;
            }
            std::vector<net::IpAddress> addresses;
            if (target.kind == Address::Kind::Domain) {
                if (!net::resolve_all(host.c_str(), &addresses) || addresses.empty()) continue;
            } else {
                net::IpAddress a;
                if (!net::parse_ip(host, &a)) continue;
                addresses.push_back(a);
            }
            const net::IpAddress to = net::unmapped(addresses.front());
            const std::uint32_t out = to.is_v4() && far4 != net::kInvalidSocket ? far4 : far6;
            if (out == net::kInvalidSocket) continue;
            const std::size_t data = header.used;
            const std::uint16_t port_net = net::host_to_net16(target.port);
            if (net::send_to_ip(out, to, port_net, packet.data() + data, static_cast<std::size_t>(n) - data) >= 0) {
                asked.insert({net::ip_text(to), port_net});
                log_.bytes_from_client += static_cast<std::uint64_t>(n) - data;
            }
        }
    }

    void to_client(std::uint32_t far, std::uint32_t near, const net::IpAddress &client, std::uint16_t client_port_net,
                   const std::set<std::pair<std::string, std::uint16_t>> &asked, std::vector<std::uint8_t> &packet) {
        for (int burst = 0; burst < 64; ++burst) {
            net::IpAddress from;
            std::uint16_t from_port = 0;
            const long n = net::recv_from_ip(far, packet.data() + kMaxUdpHeaderBytes, kMaxDatagramBytes, &from, &from_port);
            if (n < 0) return;
            from = net::unmapped(from);
            // Answers come only from targets the client wrote to.
            if (client_port_net == 0 || asked.count({net::ip_text(from), from_port}) == 0) continue;
            std::uint8_t header[kMaxUdpHeaderBytes];
            const std::size_t h = write_udp_header(to_address(from, from_port), header);
            if (h == 0) continue;
            std::uint8_t *start = packet.data() + kMaxUdpHeaderBytes - h;
            std::memcpy(start, header, h);
            if (net::send_to_ip(near, client, client_port_net, start, h + static_cast<std::size_t>(n)) >= 0)
                log_.bytes_to_client += static_cast<std::uint64_t>(n);
        }
    }

    std::uint32_t sd_;
    std::shared_ptr<const server::Config> config_;
    Clock::time_point started_;
    Clock::time_point deadline_;
    std::vector<std::uint8_t> buffer_;
    server::Session log_;
    bool timed_out_ = false;
};

// ---- the listener's routines ----

int32_t first_message_complete(const char *bytes, int32_t length) {
    const auto status =
        first_message(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t *>(bytes), static_cast<std::size_t>(length)));
    return status == Status::NeedMore ? 0 : 1;
}

int32_t admit(std::uint32_t, kelnet_sockaddr) {
    return guard(__func__, int32_t{0}, [] { return server::admit_client(server::Service::Socks, kLabel) ? 1 : 0; });
}

void too_many(std::uint32_t, kelnet_sockaddr) {
    guard_void(__func__, [] { server::refuse_busy(server::Service::Socks); });
}

void serve(void *arg) {
    const kelnet_params params = *static_cast<kelnet_params *>(arg);
    std::free(arg);
    guard_void(__func__, [&] {
        auto config = server::current_config();
        if (config == nullptr) {
            kelnet_fermer(params.sd);
            return;
        }
        Session session(params.sd, std::move(config));
        session.run();
    });
}

struct Running {
    server::Listening listening;
};

}  // namespace

bool start(const server::Config &config, std::string *why) {
    static Running *running = nullptr;
    if (running != nullptr) {
        *why = "the SOCKS server is already started";
        return false;
    }
    prepare_digests();
    auto r = std::make_unique<Running>();
    if (!server::open_listening(config.socks.listen, config.socks.port, &r->listening, why)) {
        *why = "SocksPort " + std::to_string(config.socks.port) + " in section Socks cannot listen: " + *why;
        return false;
    }
    running = r.release();
    server::set_listening("socks", {running->listening.text});
    kel::diag::out_printf("SOCKS server listening on %s%s\n", running->listening.text.c_str(),
                          config.socks.accounts.empty() ? " (no authentication: the allow-list decides)" : "");
    std::thread([] {
        kelnet_service service{};
        service.routine = serve;
        service.admission = admit;
        service.refus = too_many;
        service.refus_attente = too_many;
        service.complet = first_message_complete;
        service.arret = KELNET_INVALIDE;
        const int32_t result = kelnet_ecouteurs_service(running->listening.sockets.data(),
                                                        static_cast<int32_t>(running->listening.sockets.size()), &service);
        kel::diag::out_printf("SOCKS server exits (%d)\n", result);
    }).detach();
    return true;
}

}  // namespace kel::socks

extern "C" VALDRIN_API int32_t valdrin_socks_demarre(void) {
    return kel::guard(__func__, int32_t{-1}, []() -> int32_t {
        using namespace kel;
        const auto config = server::current_config();
        if (config == nullptr) {
            KEL_DIAG_MSG("the configuration is not loaded (valdrin_config_charge)");
            return -1;
        }
        if (!config->socks.enabled) return 0;
        std::string why;
        if (!socks::start(*config, &why)) {
            kel::diag::message(why.c_str(), kModule, __LINE__);
            return -1;
        }
        server::note_service_started();
        return 1;
    });
}
