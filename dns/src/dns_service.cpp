#include "dns_service.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "cache.h"
#include "hosts.h"
#include "kelplat/diag.h"
#include "kelplat/net.h"
#include "kelplat/poller.h"
#include "rate_limit.h"
#include "service.h"

namespace kel::dns {
namespace {

constexpr std::uint64_t kStopTag = ~std::uint64_t{0};
// A TCP connection that sends nothing for this long is closed (RFC 7766
// section 6.2.3 asks for seconds, not minutes).
constexpr int kTcpIdleMs = 10000;
constexpr std::size_t kMaxTcpConnections = 2000;
// Questions of one TCP connection answered concurrently (RFC 7766 section
// 6.2.1.1); past them its bytes wait in the socket.
constexpr int kMaxPipelined = 64;
// Answers a TCP client leaves unread past this are its end: it does not read.
constexpr std::size_t kMaxUnsent = 256 * 1024;
// REFUSED answers sent each second at most: beyond, refused clients get
// nothing, so that a spoofed source cannot turn the proxy on a victim.
constexpr int kRefusedPerSecond = 100;
// Datagrams per system call, and the room of each, way in and way out:
// a query is far smaller, an answer over UDP at most kOwnPayload.
constexpr int kUdpBatch = 32;
constexpr std::size_t kUdpRoom = 4096;
// Asked for each UDP socket, so that a burst of clients is queued, not
// dropped, while the reader answers the one before.
constexpr int kUdpReceiveBuffer = 4 << 20;

using Send = std::function<void(std::span<const std::uint8_t>)>;

bool is_unset(const std::string &text) { return text.empty() || text == "0.0.0.0"; }

std::string quoted_text(std::string_view text) { return std::string(1, static_cast<char>(text.size())) + std::string(text); }

}  // namespace

std::vector<Server> servers_of_resolv_conf(const std::string &path) {
    std::vector<Server> out;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        net::IpAddress a;
        if (words >> keyword >> address && keyword == "nameserver" && net::parse_ip(address, &a))
            out.push_back({net::unmapped(a), 53});
    }
    return out;
}

std::vector<Server> upstream_servers(const server::DnsSettings &dns, const std::string &resolv_conf,
                                     const std::vector<net::IpAddress> &own, std::uint16_t own_port) {
    std::vector<Server> wanted;
    for (const std::string *text : {&dns.server1, &dns.server2}) {
        if (is_unset(*text)) continue;
        if (const auto server = server::parse_name_server(*text)) wanted.push_back({server->first, server->second});
    }
    if (wanted.empty()) wanted = servers_of_resolv_conf(resolv_conf);
    std::vector<Server> out;
    for (const Server &s : wanted) {
        const bool ours = s.port == own_port && std::any_of(own.begin(), own.end(), [&](const net::IpAddress &a) {
                              // A wildcard listener answers on every address of the machine,
                              // loopback ones included.
                              const bool any = std::all_of(std::begin(a.bytes), std::end(a.bytes),
                                                           [](std::uint8_t b) { return b == 0; });
                              // "::" takes IPv4 too; "0.0.0.0" IPv4 alone.
                              const bool loop = (s.address.is_v4() && s.address.bytes[0] == 127) ||
                                                (a.is_v6() && s.address.is_v6() && s.address.bytes[15] == 1 &&
                                                 std::all_of(s.address.bytes, s.address.bytes + 15,
                                                             [](std::uint8_t b) { return b == 0; }));
                              return net::unmapped(a) == s.address || (any && loop);
                          });
        if (!ours && std::find(out.begin(), out.end(), s) == out.end()) out.push_back(s);
    }
    return out;
}

struct Service::Impl {
    // Reset by stop() once no connection can ask, while the sockets its
    // last answers go out on are still open.
    std::unique_ptr<Forwarder> forwarder;
    Cache cache{10000};
    RateLimit rate;

    std::mutex mu;
    std::shared_ptr<const HostsTable> hosts;
    std::vector<net::IpAddress> own;  // the addresses listened on
    std::uint16_t port = 0;
    std::string text;

    std::vector<net::Socket> udp, tcp;
    net::Socket stop[2] = {net::kInvalidSocket, net::kInvalidSocket};
    std::vector<std::thread> threads;

    // The TCP connections, all served by one thread: each holds only its
    // unread and unsent bytes, so a thousand idle ones cost little.
    struct TcpConn {
        net::Socket sd = net::kInvalidSocket;
        net::IpAddress client;
        std::vector<std::uint8_t> in;   // read, not yet a whole message
        std::vector<std::uint8_t> out;  // framed answers not yet sent
        int pending = 0;                // answers the forwarder still owes
        bool eof = false;
        bool reading = true, writing = false;  // as watched now
        std::chrono::steady_clock::time_point active;
    };
    std::unordered_map<std::uint64_t, TcpConn> conns;  // the TCP thread's own, by tag
    std::uint64_t next_conn = 0;
    // From the forwarder's thread to the TCP thread: answers, and the
    // questions settled (answered or not).
    std::mutex tcp_mu;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> tcp_answers;
    std::vector<std::uint64_t> tcp_settled;
    net::Socket tcp_wake[2] = {net::kInvalidSocket, net::kInvalidSocket};

    std::atomic<std::uint64_t> queries{0}, tcp_queries{0}, limited{0}, cache_hits{0}, forwarded{0}, blocked{0}, local{0}, refused{0},
        malformed{0}, servfail{0};
    std::atomic<std::int64_t> refused_second{0};
    std::atomic<int> refused_in_second{0};

    explicit Impl(Forwarder::Options o) : forwarder(std::make_unique<Forwarder>(o)) {}

    std::shared_ptr<const HostsTable> hosts_now() {
        std::lock_guard lock(mu);
        return hosts;
    }

    bool may_refuse() {
        const auto second = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::steady_clock::now().time_since_epoch()).count();
        if (refused_second.exchange(second) != second) refused_in_second = 0;
        return ++refused_in_second <= kRefusedPerSecond;
    }

    // Per thread: what one message needs, kept from message to message so
    // that a query of the common shape is read and answered without
    // allocating.
    struct Scratch {
        ParsedQuery parsed;
        std::string key;
    };

    static std::size_t copy_out(const std::vector<std::uint8_t> &reply, std::span<std::uint8_t> out) {
        if (reply.size() > out.size()) return 0;
        std::copy(reply.begin(), reply.end(), out.begin());
        return reply.size();
    }

    static std::size_t own_answer(const Query &q, bool over_tcp, std::uint8_t rcode, std::span<const Record> records,
                                  std::uint32_t negative_ttl, std::span<std::uint8_t> out) {
        const std::vector<std::uint8_t> stored = make_answer(q, rcode, records, negative_ttl);
        return finish_reply(q, stored, ttl_fields(stored), 0, over_tcp, out);
    }

    // Answers from the hosts file or the block lists into out; false when
    // neither speaks for the name.
    bool answer_locally(const Query &q, const server::Config &config, bool over_tcp, std::span<std::uint8_t> out,
                        std::size_t *n) {
        const Question &question = q.question;
        if (question.klass != kClassIN) return false;
        if (question.type == kTypeANY) {
            // RFC 8482 section 4.2: one synthesised HINFO instead of everything.
            const std::string hinfo = quoted_text("RFC8482") + quoted_text("");
            const Record r{kTypeHINFO, 3600, {hinfo.begin(), hinfo.end()}};
            ++local;
            *n = own_answer(q, over_tcp, kNoError, std::span(&r, 1), 0, out);
            return true;
        }
        if (const auto table = hosts_now()) {
            if (const auto *addresses = table->find(question.name)) {
                std::vector<Record> records;
                for (const net::IpAddress &a : *addresses) {
                    if (question.type == kTypeA && a.is_v4())
                        records.push_back({kTypeA, kLocalTtl, {a.bytes, a.bytes + 4}});
                    if (question.type == kTypeAAAA && a.is_v6())
                        records.push_back({kTypeAAAA, kLocalTtl, {a.bytes, a.bytes + 16}});
                }
                ++local;
                *n = own_answer(q, over_tcp, kNoError, records, kLocalTtl, out);
                return true;
            }
        }
        if (config.dns.block && config.http.ad_hosts_enabled && config.blocked && config.blocked->blocks(question.name)) {
            ++blocked;
            static constexpr std::uint8_t kNowhere[16] = {};
            if (question.type == kTypeA || question.type == kTypeAAAA) {
                // The common case, without allocating: as fast as a cache hit.
                *n = reply_with_record(q, question.type, std::span(kNowhere, question.type == kTypeA ? 4 : 16),
                                       kBlockedTtl, over_tcp, out);
            } else {
                *n = own_answer(q, over_tcp, kNoError, {}, kBlockedTtl, out);
            }
            return true;
        }
        return false;
    }

    // One message from a client. Returns the size of the reply written to
    // out, or 0 when there is none now: the message was dropped, or it went
    // to the forwarder, and then later() was called for the Send that
    // answers once the forwarder is done.
    template <class Later>
    std::size_t handle(std::span<const std::uint8_t> message, const net::IpAddress &client, bool over_tcp,
                       const server::Config *config, Scratch &scratch, std::span<std::uint8_t> out,
                       RateLimit::Clock::time_point now, Later &&later) {
        ++queries;
        if (over_tcp) ++tcp_queries;
        // Before anything else, so that a flood costs no more than this.
        if (!rate.admit(client, now)) {
            ++limited;
            return 0;
        }
        ParsedQuery &pq = scratch.parsed;
        parse_query_into(message, pq);
        if (config == nullptr || !server::allows(config->allowed, client)) {
            ++refused;
            if (pq.verdict != QueryVerdict::Drop && may_refuse()) return copy_out(make_header_reply(pq, kRefused), out);
            return 0;
        }
        switch (pq.verdict) {
            case QueryVerdict::Drop: ++malformed; return 0;
            case QueryVerdict::FormErr: ++malformed; return copy_out(make_header_reply(pq, kFormErr), out);
            case QueryVerdict::NotImp: ++malformed; return copy_out(make_header_reply(pq, kNotImp), out);
            case QueryVerdict::BadVers: ++malformed; return copy_out(make_header_reply(pq, kNoError, 16), out);
            case QueryVerdict::Ok: break;
        }
        const Query &q = pq.query;
        if (std::size_t n = 0; answer_locally(q, *config, over_tcp, out, &n)) return n;

        Cache::make_key(q, scratch.key);
        if (const std::size_t n = cache.reply(scratch.key, q, over_tcp, out, Cache::Clock::now())) {
            ++cache_hits;
            return n;
        }
        ++forwarded;
        Send send = later();
        auto done = [this, q, key = scratch.key, over_tcp, send](const Answer *answer) {
            if (answer == nullptr || answer->wire.empty()) {
                ++servfail;
                ParsedQuery failed;
                failed.query = q;
                send(make_header_reply(failed, answer ? answer->rcode : kServFail));
                return;
            }
            cache.store(key, answer->wire, answer->ttl, Cache::Clock::now());
            std::uint8_t reply[kMaxMessage];
            const std::size_t n = finish_reply(q, answer->wire, ttl_fields(answer->wire), 0, over_tcp, reply);
            if (n) send(std::span(reply, n));
        };
        if (!forwarder->resolve(q, scratch.key, done)) done(nullptr);
        return 0;
    }

    void serve_udp() {
        net::Poller poller;
        for (std::size_t i = 0; i < udp.size(); ++i) poller.watch(udp[i], i, false);
        poller.watch(stop[0], kStopTag, false);
        // Datagrams are read and answered kUdpBatch at a time: a system
        // call each way per batch, not per query.
        std::vector<std::uint8_t> in(kUdpBatch * kUdpRoom), out(kUdpBatch * kUdpRoom);
        std::vector<net::Datagram> queries_in(kUdpBatch), replies(kUdpBatch);
        for (int k = 0; k < kUdpBatch; ++k) queries_in[k].data = &in[k * kUdpRoom];
        Scratch scratch;
        net::Readiness ready[16];
        for (;;) {
            const int n = poller.wait(ready, 16, -1);
            for (int i = 0; i < n; ++i) {
                if (ready[i].tag == kStopTag) return;
                const net::Socket sd = udp[ready[i].tag];
                for (int burst = 0; burst < 16; ++burst) {
                    for (net::Datagram &d : queries_in) d.size = kUdpRoom;
                    const int got = net::recv_datagrams(sd, queries_in.data(), kUdpBatch);
                    if (got <= 0) break;
                    // One snapshot for the batch; a reload shows from the next.
                    const auto config = server::current_config();
                    const auto now = RateLimit::Clock::now();
                    int answers = 0;
                    for (int k = 0; k < got; ++k) {
                        const net::Datagram &d = queries_in[k];
                        const std::span<std::uint8_t> room(&out[answers * kUdpRoom], kUdpRoom);
                        const std::size_t len = handle(std::span(d.data, d.size), d.from, false, config.get(), scratch,
                                                       room, now, [sd, &d] {
                                                           net::Datagram to = d;
                                                           to.data = nullptr;
                                                           return Send([sd, to](std::span<const std::uint8_t> reply) {
                                                               net::Datagram one = to;
                                                               one.data = const_cast<std::uint8_t *>(reply.data());
                                                               one.size = reply.size();
                                                               net::send_datagrams(sd, &one, 1);
                                                           });
                                                       });
                        if (len == 0) continue;
                        replies[answers] = d;
                        replies[answers].data = room.data();
                        replies[answers].size = len;
                        ++answers;
                    }
                    if (answers) net::send_datagrams(sd, replies.data(), answers);
                    if (got < kUdpBatch) break;
                }
            }
        }
    }

    // Settles one forwarded question of a TCP connection when the last copy
    // of its Send goes, whether it answered or not.
    struct Ticket {
        Ticket(Impl *i, std::uint64_t c) : impl(i), conn(c) {}
        // One settling per question: a copy would settle it twice.
        Ticket(const Ticket &) = delete;
        Ticket &operator=(const Ticket &) = delete;
        Impl *impl;
        std::uint64_t conn;
        ~Ticket() {
            {
                std::lock_guard lock(impl->tcp_mu);
                impl->tcp_settled.push_back(conn);
            }
            const char byte = 0;
            (void)net::send(impl->tcp_wake[1], &byte, 1);  // a full pipe already wakes it
        }
    };

    static constexpr std::uint64_t kWakeTag = kStopTag - 1;
    static constexpr std::uint64_t kConnTag = std::uint64_t{1} << 32;  // listeners below

    void watch(net::Poller &poller, std::uint64_t tag, TcpConn &c) {
        const bool read = !c.eof && c.pending < kMaxPipelined;
        const bool write = !c.out.empty();
        if (read != c.reading || write != c.writing) {
            poller.rewatch(c.sd, tag, read, write);
            c.reading = read;
            c.writing = write;
        }
    }

    // Sends what it can without waiting; false when the connection failed.
    static bool flush(TcpConn &c) {
        std::size_t sent = 0;
        while (sent < c.out.size()) {
            const long n = net::send(c.sd, c.out.data() + sent, c.out.size() - sent);
            if (n < 0) {
                if (net::last_error() != net::kErrWouldBlock) return false;
                break;
            }
            sent += static_cast<std::size_t>(n);
        }
        c.out.erase(c.out.begin(), c.out.begin() + static_cast<std::ptrdiff_t>(sent));
        return c.out.size() <= kMaxUnsent;
    }

    static void append_framed(TcpConn &c, std::span<const std::uint8_t> reply) {
        c.out.push_back(static_cast<std::uint8_t>(reply.size() >> 8));
        c.out.push_back(static_cast<std::uint8_t>(reply.size()));
        c.out.insert(c.out.end(), reply.begin(), reply.end());
    }

    // Answers the whole messages read so far, up to the pipelining bound;
    // false when the client sent an empty one.
    bool answer_messages(std::uint64_t tag, TcpConn &c, Scratch &scratch, std::vector<std::uint8_t> &reply) {
        std::size_t at = 0;
        // Taken at the first whole message: most calls only flush.
        std::shared_ptr<const server::Config> config;
        RateLimit::Clock::time_point now;
        bool ok = true;
        while (c.pending < kMaxPipelined && c.in.size() - at >= 2) {
            const std::size_t len = static_cast<std::size_t>(c.in[at] << 8 | c.in[at + 1]);
            if (len == 0) {
                ok = false;
                break;
            }
            if (c.in.size() - at - 2 < len) break;
            const std::span<const std::uint8_t> message(&c.in[at + 2], len);
            at += 2 + len;
            if (!config) {
                config = server::current_config();
                now = RateLimit::Clock::now();
            }
            const std::size_t n = handle(message, c.client, true, config.get(), scratch, reply, now, [&] {
                ++c.pending;
                auto ticket = std::make_shared<Ticket>(this, tag);
                return Send([this, tag, ticket](std::span<const std::uint8_t> answer) {
                    std::lock_guard lock(tcp_mu);
                    tcp_answers.emplace_back(tag, std::vector<std::uint8_t>(answer.begin(), answer.end()));
                });
            });
            if (n) append_framed(c, std::span(reply.data(), n));
        }
        c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
        return ok;
    }

    void close_conn(net::Poller &poller, std::uint64_t tag) {
        const auto found = conns.find(tag);
        if (found == conns.end()) return;
        poller.forget(found->second.sd);
        net::close(found->second.sd);
        conns.erase(found);
    }

    // A connection is done when it can say no more: closed by the client or
    // idle, with nothing owed or unsent.
    bool finished(const TcpConn &c, std::chrono::steady_clock::time_point now) const {
        if (c.pending > 0 || !c.out.empty()) return false;
        return c.eof || now - c.active >= std::chrono::milliseconds(kTcpIdleMs);
    }

    void serve_tcp() {
        net::Poller poller;
        for (std::size_t i = 0; i < tcp.size(); ++i) poller.watch(tcp[i], i, false);
        poller.watch(stop[0], kStopTag, false);
        poller.watch(tcp_wake[0], kWakeTag, false);
        Scratch scratch;
        std::vector<std::uint8_t> reply(kMaxMessage), chunk(16 * 1024);
        std::vector<net::Readiness> ready(64);
        auto sweep_at = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        std::vector<std::uint64_t> touched;
        for (;;) {
            const auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(
                                     sweep_at - std::chrono::steady_clock::now()).count();
            const int n = poller.wait(ready.data(), static_cast<int>(ready.size()),
                                      static_cast<int>(std::max<long long>(wait_ms, 0)));
            touched.clear();
            for (int i = 0; i < n; ++i) {
                const std::uint64_t tag = ready[i].tag;
                if (tag == kStopTag) {
                    for (auto &[t, c] : conns) net::close(c.sd);
                    conns.clear();
                    return;
                }
                if (tag == kWakeTag) {
                    char drain[256];
                    while (net::recv_nowait(tcp_wake[0], drain, sizeof drain) > 0) {
                    }
                    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> answers;
                    std::vector<std::uint64_t> settled;
                    {
                        std::lock_guard lock(tcp_mu);
                        answers.swap(tcp_answers);
                        settled.swap(tcp_settled);
                    }
                    for (auto &[t, answer] : answers)
                        if (const auto c = conns.find(t); c != conns.end()) append_framed(c->second, answer);
                    for (const std::uint64_t t : settled)
                        if (const auto c = conns.find(t); c != conns.end()) {
                            --c->second.pending;
                            touched.push_back(t);
                        }
                    for (auto &[t, answer] : answers) touched.push_back(t);
                    continue;
                }
                if (tag < kConnTag) {
                    accept_one(poller, tcp[tag]);
                    continue;
                }
                const auto found = conns.find(tag);
                if (found == conns.end()) continue;
                TcpConn &c = found->second;
                // A reset is reported even while reading is paused: read to learn of it.
                if ((ready[i].readable && !c.eof) || ready[i].closed) {
                    const long got = net::recv_nowait(c.sd, chunk.data(), chunk.size());
                    if (got > 0 && !c.eof) {
                        c.in.insert(c.in.end(), chunk.begin(), chunk.begin() + got);
                        c.active = std::chrono::steady_clock::now();
                    } else if (got == 0) {
                        c.eof = true;
                    } else if (got < 0 && net::last_error() != net::kErrWouldBlock) {
                        // Reset: nothing owed can reach the client any more.
                        close_conn(poller, tag);
                        continue;
                    }
                }
                touched.push_back(tag);
            }
            const auto now = std::chrono::steady_clock::now();
            for (const std::uint64_t tag : touched) {
                const auto found = conns.find(tag);
                if (found == conns.end()) continue;
                TcpConn &c = found->second;
                // An empty message, a client that does not read, or a send that failed: the end.
                if (!answer_messages(tag, c, scratch, reply) || !flush(c)) {
                    close_conn(poller, tag);
                    continue;
                }
                if (finished(c, now) && c.in.size() < 2) {
                    close_conn(poller, tag);
                    continue;
                }
                watch(poller, tag, c);
            }
            if (now >= sweep_at) {
                std::vector<std::uint64_t> idle;
                for (const auto &[tag, c] : conns)
                    if (finished(c, now)) idle.push_back(tag);
                for (const std::uint64_t tag : idle) close_conn(poller, tag);
                sweep_at = now + std::chrono::seconds(1);
            }
        }
    }

    void accept_one(net::Poller &poller, net::Socket listener) {
        net::IpAddress peer;
        const net::Socket c = net::accept_ip(listener, &peer, nullptr);
        if (c == net::kInvalidSocket) return;
        if (conns.size() >= kMaxTcpConnections || !net::set_nonblocking(c, true)) {
            net::close(c);
            return;
        }
        const std::uint64_t tag = kConnTag + next_conn++;
        TcpConn &conn = conns[tag];
        conn.sd = c;
        conn.client = net::unmapped(peer);
        conn.active = std::chrono::steady_clock::now();
        if (!poller.watch(c, tag, false)) close_conn(poller, tag);
    }

    void close_all() {
        for (net::Socket s : udp) net::close(s);
        for (net::Socket s : tcp) net::close(s);
        udp.clear();
        tcp.clear();
        for (net::Socket *pair : {stop, tcp_wake}) {
            net::close(pair[0]);
            net::close(pair[1]);
            pair[0] = pair[1] = net::kInvalidSocket;
        }
    }
};

Service::Service() = default;

Service::~Service() { stop(); }

bool Service::start(const server::Config &config, std::string *why) {
    if (impl_) {
        *why = "the DNS proxy is already started";
        return false;
    }
    auto impl = std::make_shared<Impl>(Forwarder::Options{});
    std::vector<std::string> addresses = config.dns.listen;
    if (addresses.empty()) addresses = {net::ipv6_available() ? "::" : "0.0.0.0"};
    std::uint16_t port = config.dns.port;
    for (const std::string &text : addresses) {
        net::IpAddress a;
        if (!net::parse_ip(text, &a)) {
            *why = "'" + text + "' is no IPv4 or IPv6 address";
            impl->close_all();
            return false;
        }
        // TCP first: with port 0 the system picks one that UDP then takes too.
        const net::Socket t = net::listen_on(a, net::host_to_net16(port));
        if (t != net::kInvalidSocket && port == 0) port = net::local_port(t);
        const net::Socket u = t == net::kInvalidSocket ? net::kInvalidSocket : net::udp_bind(a, net::host_to_net16(port));
        if (t == net::kInvalidSocket || u == net::kInvalidSocket) {
            const int error = net::last_error();
            if (t != net::kInvalidSocket) net::close(t);
            *why = "DNSPort " + std::to_string(port) + " in section DNS cannot listen on " + net::host_text(a) +
                   ":" + std::to_string(port) + " over " + (t == net::kInvalidSocket ? "TCP" : "UDP") + " (error " +
                   std::to_string(error) +
                   (error == 10048 ? ": another name server holds it; set DNSListen to the LAN's address, or DNSPort"
                                   : error == 10013 ? ": a port below 1024 needs the right to bind it"
                                                    : "") +
                   ")";
            impl->close_all();
            return false;
        }
        (void)net::set_receive_buffer(u, kUdpReceiveBuffer);
        // A wildcard socket answers from the address each query came to.
        if (std::all_of(std::begin(a.bytes), std::end(a.bytes), [](std::uint8_t b) { return b == 0; }))
            (void)net::want_destination(u);
        impl->tcp.push_back(t);
        impl->udp.push_back(u);
        impl->own.push_back(a);
        if (!impl->text.empty()) impl->text += ", ";
        impl->text += net::host_text(a) + ":" + std::to_string(port);
    }
    impl->port = port;
    if (!net::stream_pair(impl->stop) || !net::stream_pair(impl->tcp_wake) ||
        !net::set_nonblocking(impl->tcp_wake[0], true) || !net::set_nonblocking(impl->tcp_wake[1], true)) {
        *why = "no socket pair to stop the DNS proxy with";
        impl->close_all();
        return false;
    }
    impl_ = impl;
    apply(config);
    // One reader of the datagrams: a second one on the same sockets woke
    // for every datagram too and lost a fifth of the queries per second.
    impl->threads.emplace_back([impl] { impl->serve_udp(); });
    impl->threads.emplace_back([impl] { impl->serve_tcp(); });
    return true;
}

void Service::apply(const server::Config &config) {
    if (!impl_) return;
    Impl &impl = *impl_;
    impl.cache.set_capacity(static_cast<std::size_t>(std::max(config.dns.cache_size, 0)));
    impl.rate.set_rate(static_cast<std::uint32_t>(std::max(config.dns.client_rate, 0)));
    impl.forwarder->set_servers(upstream_servers(config.dns, "/etc/resolv.conf", impl.own, impl.port));
    std::shared_ptr<HostsTable> table;
    if (!config.dns.hosts_file.empty()) {
        table = std::make_shared<HostsTable>();
        std::string why;
        if (!table->load(config.dns.hosts_file, &why)) {
            // The proxy still answers; say why these names now go upstream.
            const std::string text = "DNSHostsFile in section DNS: " + why + "; no name is answered from it";
            kel::diag::message(text.c_str(), "dns", __LINE__);
            table.reset();
        }
    }
    std::lock_guard lock(impl.mu);
    impl.hosts = std::move(table);
}

void Service::stop() {
    if (!impl_) return;
    const std::shared_ptr<Impl> impl = std::move(impl_);
    const char byte = 0;
    net::send(impl->stop[1], &byte, 1);
    for (std::thread &t : impl->threads) t.join();
    impl->forwarder.reset();
    impl->close_all();
}

std::uint16_t Service::port() const { return impl_ ? impl_->port : 0; }

std::string Service::listening_text() const { return impl_ ? impl_->text : std::string(); }

Service::Counts Service::counts() const {
    Counts c;
    if (!impl_) return c;
    const Impl &i = *impl_;
    c.queries = i.queries;
    c.tcp_queries = i.tcp_queries;
    c.limited = i.limited;
    c.cache_hits = i.cache_hits;
    c.forwarded = i.forwarded;
    c.blocked = i.blocked;
    c.local = i.local;
    c.refused = i.refused;
    c.malformed = i.malformed;
    c.servfail = i.servfail;
    return c;
}

std::size_t Service::cache_entries() const { return impl_ ? impl_->cache.size() : 0; }

server::DnsFigures Service::figures() const {
    server::DnsFigures f;
    if (!impl_) return f;
    const Counts c = counts();
    f.running = true;
    f.listening = impl_->text;
    f.udp_queries = c.queries - c.tcp_queries;
    f.tcp_queries = c.tcp_queries;
    f.cache_hits = c.cache_hits;
    f.forwarded = c.forwarded;
    f.blocked = c.blocked;
    f.local = c.local;
    f.refused = c.refused;
    f.limited = c.limited;
    f.malformed = c.malformed;
    f.servfail = c.servfail;
    f.cache_entries = impl_->cache.size();
    f.cache_capacity = impl_->cache.capacity();
    const auto servers = impl_->forwarder ? impl_->forwarder->server_counts() : std::vector<Forwarder::ServerCounts>{};
    for (const Forwarder::ServerCounts &s : servers) {
        server::DnsUpstreamFigures u;
        u.server = server_text(s.server);
        u.sent = s.sent;
        u.answered = s.answered;
        u.failures = s.failures;
        u.timeouts = s.timeouts;
        u.latency_us = s.latency_us;
        std::copy(std::begin(s.latency), std::end(s.latency), std::begin(u.latency));
        f.upstream.push_back(std::move(u));
    }
    return f;
}

Forwarder::Counts Service::forwarder_counts() const {
    return impl_ && impl_->forwarder ? impl_->forwarder->counts() : Forwarder::Counts{};
}

}  // namespace kel::dns
