// Loopback sockets and peers for the tests of the kelnet module.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

#include "kelnet.h"
#include "kelplat/net.h"
#include "test_support.h"

namespace kel::test {

// The shared library starts the socket layer when it loads; the tests link
// the static archive, so they do it themselves.
class KelnetEnvironment : public ::testing::Environment {
public:
    void SetUp() override { ASSERT_EQ(kelnet_init(), 0); }
    void TearDown() override { kelnet_term(); }
};
inline ::testing::Environment *const kKelnetEnvironment =
    ::testing::AddGlobalTestEnvironment(new KelnetEnvironment);

// Listening socket on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    Sock sock;
    uint16_t port_host = 0;
    uint16_t port_net() const { return net::host_to_net16(port_host); }
};

inline Listener listen_loopback() {
    Listener l;
    uint32_t s = net::kInvalidSocket;
    EXPECT_EQ(kelnet_cree_ecouteur(0, loopback(), &s), 0);
    l.sock = Sock(s);
    l.port_host = net::local_port(s);
    return l;
}

// Two ends of one TCP connection over loopback.
struct TcpPair {
    Sock a;  // the connecting end
    Sock b;  // the accepted end
};

inline TcpPair tcp_pair() {
    Listener l = listen_loopback();
    TcpPair p;
    p.a = Sock(kelnet_connecter(loopback(), l.port_net()));
    p.b = Sock(net::accept(l.sock.get(), nullptr));
    EXPECT_TRUE(p.a.valid());
    EXPECT_TRUE(p.b.valid());
    return p;
}

// A thread joined at the end of the scope.
using Peer = std::jthread;

inline std::string pattern(std::size_t n, unsigned seed = 7) {
    std::string s(n, '\0');
    unsigned x = seed;
    for (auto &c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// Everything the socket delivers until the peer closes (or an error), at
// most limit bytes.
inline std::string read_to_end(uint32_t s, std::size_t limit = 64u << 20) {
    std::string out;
    char buf[65536];
    while (out.size() < limit) {
        const long n = net::recv(s, buf, sizeof buf);
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

// Waits, bounded, until the reading end has taken every byte that arrived:
// lets a writer hand over data in separate arrivals.
inline bool wait_until_drained(uint32_t reader, std::chrono::milliseconds limit =
                                                    std::chrono::seconds(10)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (net::unread_bytes(reader) > 0) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::yield();
    }
    return true;
}

// A threaded listener on a loopback port of its own, stopped (by shutting
// its socket) at the end of the scope. connect() retries until it listens.
class ThreadedListener {
public:
    explicit ThreadedListener(kelnet_routine_thread routine) {
        port_net_ = Listener(listen_loopback()).port_net();
        runner_ = std::thread([this, routine] {
            kelnet_gen_ecouteur_thread(&listening_, loopback(), net::net_to_host16(port_net_),
                                       routine);
        });
    }
    ~ThreadedListener() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        if (listened_) net::shutdown_both(listening_);
        runner_.join();
        testing::internal::GetCapturedStderr();
        testing::internal::GetCapturedStdout();
        if (listened_) net::close(listening_);
    }
    uint16_t port_net() const { return port_net_; }
    Sock connect() {
        Sock c;
        for (int i = 0; i < 5000 && !c.valid(); ++i) {
            c = Sock(kelnet_connecter(loopback(), port_net_));
            if (!c.valid()) std::this_thread::sleep_for(std::chrono::milliseconds(1));  // no readiness to wait on
        }
        // A connection proves the listener has stored its socket.
        listened_ = listened_ || c.valid();
        return c;
    }

private:
    std::thread runner_;
    uint32_t listening_ = net::kInvalidSocket;
    uint16_t port_net_ = 0;
    bool listened_ = false;
};

}  // namespace kel::test
