// A name server of the tests' own on 127.0.0.1, and the queries they
// send it, for the forwarder's and the service's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "message.h"

namespace kel::dns::test {

inline constexpr auto kPatience = std::chrono::seconds(30);  // only ever reached by a fault

inline net::IpAddress loopback() { return net::ipv4_address(net::addr_from_octets(127, 0, 0, 1)); }

inline Query query(std::string_view name, std::uint16_t type = kTypeA) {
    std::vector<std::uint8_t> w = {0x12, 0x34, 0x01, 0, 0, 1, 0, 0, 0, 0, 0, 0};
    const std::string qname = name_to_wire(name);
    w.insert(w.end(), qname.begin(), qname.end());
    w.insert(w.end(), {static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type), 0, 1});
    return parse_query(w).query;
}

// A name server on 127.0.0.1, UDP and TCP on one port. Its answers hold
// one A record 192.0.2.<tag>, so that a test can tell who answered.
class FakeServer {
public:
    enum class Mode {
        Answer,
        Big,          // 40 records: more than a client without EDNS takes over UDP
        Silent,       // reads and never answers
        ServFail,
        Truncate,     // TC over UDP, the whole answer over TCP
        SpoofFirst,   // an answer with another id, and one from another port, before the true one
    };
    FakeServer(Mode mode, std::uint8_t tag) : mode_(mode), tag_(tag) {
        tcp_ = net::listen_on(loopback(), 0);
        EXPECT_NE(tcp_, net::kInvalidSocket);
        port_ = net::local_port(tcp_);
        udp_ = net::udp_bind(loopback(), net::host_to_net16(port_));
        EXPECT_NE(udp_, net::kInvalidSocket);
        spoofer_ = net::udp_bind(loopback(), 0);
        EXPECT_TRUE(net::stream_pair(stop_));
        thread_ = std::thread([this] { run(); });
    }
    ~FakeServer() {
        const char byte = 0;
        net::send(stop_[1], &byte, 1);
        thread_.join();
        for (net::Socket s : {tcp_, udp_, spoofer_, stop_[0], stop_[1]}) net::close(s);
    }
    Server server() const { return Server{loopback(), port_}; }
    int udp_queries() const {
        std::lock_guard lock(mu_);
        return udp_queries_;
    }
    int tcp_queries() const { return tcp_queries_; }
    // Waits until n queries have come over UDP.
    bool await_udp(int n) {
        std::unique_lock lock(mu_);
        return seen_.wait_for(lock, kPatience, [&] { return udp_queries_ >= n; });
    }
    std::vector<std::uint16_t> ids() const {
        std::lock_guard lock(mu_);
        return ids_;
    }
    std::vector<std::uint16_t> source_ports() const {
        std::lock_guard lock(mu_);
        return ports_;
    }
    // When each UDP query came, counted across every server of the test.
    std::vector<int> arrivals() const {
        std::lock_guard lock(mu_);
        return arrivals_;
    }

private:
    std::vector<std::uint8_t> answer_to(const Query &q, std::uint8_t rcode, int records) {
        std::vector<Record> rs;
        for (int i = 0; i < records; ++i) rs.push_back({kTypeA, 300, {192, 0, 2, tag_}});
        std::vector<std::uint8_t> out = make_answer(q, rcode, rs);
        out[0] = static_cast<std::uint8_t>(q.id >> 8);
        out[1] = static_cast<std::uint8_t>(q.id);
        return out;
    }

    void on_udp() {
        std::uint8_t buf[kMaxMessage];
        net::IpAddress from;
        std::uint16_t port_net = 0;
        const long n = net::recv_from_ip(udp_, buf, sizeof buf, &from, &port_net);
        if (n < 0) return;
        const ParsedQuery pq = parse_query(std::span(buf, static_cast<std::size_t>(n)));
        {
            std::lock_guard lock(mu_);
            ++udp_queries_;
            arrivals_.push_back(sequence_++);
            ids_.push_back(pq.query.id);
            ports_.push_back(net::net_to_host16(port_net));
        }
        seen_.notify_all();
        if (pq.verdict != QueryVerdict::Ok) return;
        const auto send = [&](net::Socket s, const std::vector<std::uint8_t> &b) { net::send_to_ip(s, from, port_net, b.data(), b.size()); };
        switch (mode_) {
            case Mode::Silent: return;
            case Mode::ServFail: send(udp_, answer_to(pq.query, kServFail, 0)); return;
            case Mode::Answer: send(udp_, answer_to(pq.query, kNoError, 1)); return;
            case Mode::Big: send(udp_, answer_to(pq.query, kNoError, 40)); return;
            case Mode::Truncate: {
                std::vector<std::uint8_t> cut = make_header_reply(pq, kNoError);
                cut[2] |= 0x02;
                send(udp_, cut);
                return;
            }
            case Mode::SpoofFirst: {
                Query other_id = pq.query;
                other_id.id = static_cast<std::uint16_t>(pq.query.id + 1);
                std::vector<std::uint8_t> forged = answer_to(other_id, kNoError, 1);
                forged.back() = 66;
                send(udp_, forged);
                forged = answer_to(pq.query, kNoError, 1);
                forged.back() = 77;
                send(spoofer_, forged);  // the right id, from the wrong port
                send(udp_, answer_to(pq.query, kNoError, 1));
                return;
            }
        }
    }

    void on_tcp() {
        const net::Socket c = net::accept_ip(tcp_, nullptr, nullptr);
        if (c == net::kInvalidSocket) return;
        std::uint8_t len[2];
        std::vector<std::uint8_t> q;
        if (net::recv(c, len, 2) == 2) {
            q.resize(static_cast<std::size_t>(len[0] << 8 | len[1]));
            std::size_t got = 0;
            while (got < q.size()) {
                const long n = net::recv(c, q.data() + got, q.size() - got);
                if (n <= 0) break;
                got += static_cast<std::size_t>(n);
            }
            ++tcp_queries_;
            const ParsedQuery pq = parse_query(q);
            if (pq.verdict == QueryVerdict::Ok) {
                const std::vector<std::uint8_t> a = answer_to(pq.query, kNoError, 3);
                std::vector<std::uint8_t> framed = {static_cast<std::uint8_t>(a.size() >> 8), static_cast<std::uint8_t>(a.size())};
                framed.insert(framed.end(), a.begin(), a.end());
                net::send(c, framed.data(), framed.size());
            }
        }
        net::close(c);
    }

    void run() {
        for (;;) {
            const net::Socket socks[3] = {udp_, tcp_, stop_[0]};
            bool ready[3] = {};
            if (!net::wait_readable(socks, ready, 3) || ready[2]) return;
            if (ready[0]) on_udp();
            if (ready[1]) on_tcp();
        }
    }

    const Mode mode_;
    const std::uint8_t tag_;
    net::Socket tcp_ = net::kInvalidSocket, udp_ = net::kInvalidSocket, spoofer_ = net::kInvalidSocket;
    net::Socket stop_[2] = {net::kInvalidSocket, net::kInvalidSocket};
    std::uint16_t port_ = 0;
    mutable std::mutex mu_;
    std::condition_variable seen_;
    int udp_queries_ = 0;
    std::atomic<int> tcp_queries_{0};
    std::vector<std::uint16_t> ids_, ports_;
    std::vector<int> arrivals_;
    static inline std::atomic<int> sequence_{0};
    std::thread thread_;
};

}  // namespace kel::dns::test
