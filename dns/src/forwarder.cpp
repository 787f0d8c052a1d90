#include "forwarder.h"

#include <algorithm>
#include <span>
#include <utility>

#include "kelplat/net.h"
#include "kelplat/random.h"
#include "stream.h"

namespace kel::dns {
namespace {

constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

net::IpAddress any_of_family(const net::IpAddress &a) {
    if (a.is_v4()) return net::ipv4_address(0);
    const std::uint8_t zero[16] = {};
    return net::ipv6_address(zero);
}

// One query and its answer over a TCP connection of its own (RFC 7766:
// each message after its two-byte length). Empty on any failure.
std::vector<std::uint8_t> tcp_exchange(const Server &server, const std::vector<std::uint8_t> &query, int timeout_ms) {
    const net::Socket s =
        net::connect_happy_eyeballs(std::span(&server.address, 1), net::host_to_net16(server.port), timeout_ms);
    if (s == net::kInvalidSocket) return {};
    std::vector<std::uint8_t> out;
    net::set_io_timeouts(s, timeout_ms, timeout_ms);
    std::vector<std::uint8_t> framed(2 + query.size());
    framed[0] = static_cast<std::uint8_t>(query.size() >> 8);
    framed[1] = static_cast<std::uint8_t>(query.size());
    std::copy(query.begin(), query.end(), framed.begin() + 2);
    std::uint8_t length[2];
    if (net::send(s, framed.data(), framed.size()) == static_cast<long>(framed.size()) &&
        read_exactly(s, length, 2)) {
        out.resize(static_cast<std::size_t>(length[0] << 8 | length[1]));
        if (!read_exactly(s, out.data(), out.size())) out.clear();
    }
    net::close(s);
    return out;
}

}  // namespace

std::string server_text(const Server &s) { return net::host_text(s.address) + ":" + std::to_string(s.port); }

Forwarder::Forwarder() : Forwarder(Options{}) {}

Forwarder::Forwarder(Options options) : options_(options) {
    if (net::stream_pair(wake_)) {
        net::set_nonblocking(wake_[0], true);
        net::set_nonblocking(wake_[1], true);
        poller_.watch(wake_[0], kWakeTag, false);
    }
    thread_ = std::thread([this] { run(); });
}

Forwarder::~Forwarder() {
    {
        std::lock_guard lock(mu_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    // The exchanges over TCP end within their timeout.
    for (std::thread &t : tcp_threads_) t.join();
    net::close(wake_[0]);
    net::close(wake_[1]);
}

void Forwarder::set_servers(std::vector<Server> servers) {
    std::lock_guard lock(mu_);
    servers_ = std::move(servers);
    slow_.clear();
    std::erase_if(per_server_, [&](const ServerCounts &c) {
        return std::find(servers_.begin(), servers_.end(), c.server) == servers_.end();
    });
}

Forwarder::ServerCounts &Forwarder::counts_of(const Server &s) {
    for (ServerCounts &c : per_server_)
        if (c.server == s) return c;
    per_server_.push_back({});
    per_server_.back().server = s;
    return per_server_.back();
}

void Forwarder::note_failure(const Server &s) {
    std::lock_guard lock(mu_);
    ++counts_of(s).failures;
}

std::vector<Forwarder::ServerCounts> Forwarder::server_counts() const {
    std::lock_guard lock(mu_);
    std::vector<ServerCounts> out;
    for (const Server &s : servers_) {
        ServerCounts c;
        c.server = s;
        for (const ServerCounts &k : per_server_)
            if (k.server == s) c = k;
        out.push_back(c);
    }
    return out;
}

std::vector<Server> Forwarder::servers() const {
    std::lock_guard lock(mu_);
    return servers_;
}

Forwarder::Counts Forwarder::counts() const {
    std::lock_guard lock(mu_);
    return counts_;
}

std::size_t Forwarder::in_flight() const {
    std::lock_guard lock(mu_);
    return asks_.size();
}

bool Forwarder::resolve(const Query &q, const std::string &key, Done done) {
    {
        std::lock_guard lock(mu_);
        if (stopping_) return false;
        if (const auto found = asks_.find(key); found != asks_.end()) {
            found->second->waiting.push_back(std::move(done));
            ++counts_.shared;
            return true;
        }
        if (servers_.empty() || asks_.size() >= options_.max_in_flight) return false;
        auto ask = std::make_unique<Ask>();
        ask->query = q;
        ask->key = key;
        ask->waiting.push_back(std::move(done));
        ask->order = order_now();
        starting_.push_back(ask.get());
        asks_.emplace(key, std::move(ask));
    }
    wake();
    return true;
}

std::vector<Server> Forwarder::order_now() {
    const auto now = Clock::now();
    std::erase_if(slow_, [&](const auto &entry) { return entry.second <= now; });
    std::vector<Server> fast, slow;
    for (const Server &s : servers_) {
        const bool is_slow = std::any_of(slow_.begin(), slow_.end(), [&](const auto &e) { return e.first == s; });
        (is_slow ? slow : fast).push_back(s);
    }
    fast.insert(fast.end(), slow.begin(), slow.end());
    return fast;
}

void Forwarder::mark_slow(const Server &s) {
    std::lock_guard lock(mu_);
    ++counts_.timeouts;
    ++counts_of(s).timeouts;
    const auto until = Clock::now() + std::chrono::seconds(options_.slow_for_s);
    for (auto &entry : slow_) {
        if (entry.first == s) {
            entry.second = until;
            return;
        }
    }
    slow_.emplace_back(s, until);
}

void Forwarder::wake() {
    const char byte = 0;
    (void)net::send(wake_[1], &byte, 1);  // a full pipe already wakes the thread
}

void Forwarder::close_socket(Ask *ask) {
    if (ask->sd == net::kInvalidSocket) return;
    by_socket_.erase(ask->sd);
    net::close(ask->sd);  // closing it also stops the poller watching it
    ask->sd = net::kInvalidSocket;
}

void Forwarder::start(Ask *ask) {
    close_socket(ask);
    while (ask->next < ask->order.size()) {
        ask->server = ask->order[ask->next++];
        ask->id = rnd::random16();
        const std::vector<std::uint8_t> wire = make_upstream_query(ask->query, ask->id);
        // Port 0: the system draws the source port at random.
        const net::Socket sd = net::udp_bind(any_of_family(ask->server.address), 0);
        if (sd == net::kInvalidSocket) continue;
        net::set_nonblocking(sd, true);
        if (wire.empty() || net::send_to_ip(sd, ask->server.address, net::host_to_net16(ask->server.port),
                                            wire.data(), wire.size()) < 0) {
            net::close(sd);
            continue;
        }
        {
            std::lock_guard lock(mu_);
            ++counts_.sent;
            ++counts_of(ask->server).sent;
        }
        ask->sd = sd;
        ask->sent_at = Clock::now();
        ask->deadline = ask->sent_at + std::chrono::milliseconds(options_.timeout_ms);
        by_socket_[sd] = ask;
        poller_.watch(sd, sd, false);
        return;
    }
    finish(ask, ask->last.get());
}

void Forwarder::on_readable(Ask *ask) {
    std::uint8_t buffer[kMaxMessage];
    for (;;) {
        net::IpAddress from;
        std::uint16_t port_net = 0;
        const long n = net::recv_from_ip(ask->sd, buffer, sizeof buffer, &from, &port_net);
        if (n < 0) return;  // nothing more queued (or an ICMP error: the timeout moves on)
        if (!(net::unmapped(from) == net::unmapped(ask->server.address)) ||
            net::net_to_host16(port_net) != ask->server.port) {
            std::lock_guard lock(mu_);
            ++counts_.ignored;
            continue;
        }
        Answer answer;
        switch (parse_answer(std::span(buffer, static_cast<std::size_t>(n)), ask->id, ask->query.question, answer)) {
            case AnswerVerdict::NotOurs: {
                std::lock_guard lock(mu_);
                ++counts_.ignored;
                continue;
            }
            case AnswerVerdict::Broken:
                note_failure(ask->server);
                start(ask);
                return;
            case AnswerVerdict::Ok:
                on_answer(ask, std::move(answer));
                return;
        }
    }
}

void Forwarder::on_answer(Ask *ask, Answer answer) {
    if (answer.truncated && !ask->over_tcp) {
        close_socket(ask);
        ask_over_tcp(ask);
        return;
    }
    // A server that fails or refuses may not speak for the others.
    if (answer.rcode == kServFail || answer.rcode == kRefused || answer.rcode == kNotImp || answer.truncated) {
        note_failure(ask->server);
        if (!answer.truncated) ask->last = std::make_unique<Answer>(std::move(answer));
        ask->over_tcp = false;
        start(ask);
        return;
    }
    {
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - ask->sent_at).count();
        std::lock_guard lock(mu_);
        ServerCounts &c = counts_of(ask->server);
        ++c.answered;
        c.latency_us += static_cast<std::uint64_t>(us);
        int bucket = 0;
        while (bucket < server::kDnsLatencyBounds && us > server::kDnsLatencyBoundsMs[bucket] * 1000LL) ++bucket;
        ++c.latency[bucket];
    }
    finish(ask, &answer);
}

void Forwarder::ask_over_tcp(Ask *ask) {
    ask->over_tcp = true;
    ask->id = rnd::random16();
    std::vector<std::uint8_t> wire = make_upstream_query(ask->query, ask->id);
    const Server server = ask->server;
    const int timeout = options_.tcp_timeout_ms;
    ask->sent_at = Clock::now();
    std::lock_guard lock(mu_);
    ++counts_.sent;
    ++counts_.tcp_retries;
    ++counts_of(server).sent;
    tcp_threads_.emplace_back([this, ask, server, timeout, wire = std::move(wire)] {
        std::vector<std::uint8_t> reply = tcp_exchange(server, wire, timeout);
        {
            std::lock_guard hold(mu_);
            tcp_done_.push_back({ask, std::this_thread::get_id(), std::move(reply)});
        }
        wake();
    });
}

void Forwarder::on_tcp(TcpResult result) {
    {
        std::lock_guard lock(mu_);
        const auto t = std::find_if(tcp_threads_.begin(), tcp_threads_.end(),
                                    [&](const std::thread &th) { return th.get_id() == result.thread; });
        if (t != tcp_threads_.end()) {
            t->join();  // it has only its return left
            tcp_threads_.erase(t);
        }
    }
    Ask *ask = result.ask;
    Answer answer;
    if (!result.wire.empty() &&
        parse_answer(result.wire, ask->id, ask->query.question, answer) == AnswerVerdict::Ok) {
        on_answer(ask, std::move(answer));
        return;
    }
    note_failure(ask->server);
    ask->over_tcp = false;
    start(ask);
}

void Forwarder::finish(Ask *ask, const Answer *answer) {
    close_socket(ask);
    std::unique_ptr<Ask> owned;
    {
        std::lock_guard lock(mu_);
        const auto found = asks_.find(ask->key);
        owned = std::move(found->second);
        asks_.erase(found);
        ++(answer != nullptr ? counts_.answered : counts_.failed);
    }
    for (Done &done : owned->waiting) done(answer);
}

void Forwarder::run() {
    net::Readiness ready[64];
    for (;;) {
        std::vector<Ask *> starting;
        std::vector<TcpResult> tcp;
        bool stopping = false;
        {
            std::lock_guard lock(mu_);
            starting.swap(starting_);
            tcp.swap(tcp_done_);
            stopping = stopping_;
        }
        if (stopping) break;
        for (Ask *ask : starting) start(ask);
        for (TcpResult &r : tcp) on_tcp(std::move(r));

        const auto now = Clock::now();
        std::vector<Ask *> late;
        auto next = now + std::chrono::seconds(1);
        for (const auto &[sd, ask] : by_socket_) {
            if (ask->deadline <= now) late.push_back(ask);
            else next = std::min(next, ask->deadline);
        }
        for (Ask *ask : late) {
            mark_slow(ask->server);
            start(ask);
        }
        if (!late.empty()) continue;

        const auto wait_ms = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
        const int n = poller_.wait(ready, 64, static_cast<int>(std::max<long long>(wait_ms, 1)));
        for (int i = 0; i < n; ++i) {
            if (ready[i].tag == kWakeTag) {
                char drain[64];
                while (net::recv_nowait(wake_[0], drain, sizeof drain) > 0) {
                }
                continue;
            }
            const auto found = by_socket_.find(static_cast<net::Socket>(ready[i].tag));
            if (found != by_socket_.end()) on_readable(found->second);
        }
    }
    // Stopping: the TCP exchanges still running report to no one.
    std::vector<Ask *> all;
    {
        std::lock_guard lock(mu_);
        for (const auto &[key, ask] : asks_) all.push_back(ask.get());
        starting_.clear();
    }
    for (Ask *ask : all) finish(ask, nullptr);
}

}  // namespace kel::dns
