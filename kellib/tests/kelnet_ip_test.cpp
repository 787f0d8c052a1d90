// Both address families through the C interface: listeners on IPv6 and
// dual-stack sockets, the peer each connection thread and admission routine
// is told, and connecting by name to every address.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "net_helpers.h"

namespace kel::test {
namespace {

using namespace std::chrono_literals;

// What a connection thread was told about its peer.
struct Seen {
    int32_t pair_result = -2;
    kelnet_adresse_ip pair{};
    kelnet_sockaddr record{};
    std::string text;
};
std::mutex g_mutex;
std::vector<Seen> g_seen;

std::string text_of(const kelnet_adresse_ip &a) {
    char buf[64];
    return kelnet_aff_adresse_ip(&a, buf, sizeof buf) > 0 ? std::string(buf) : std::string("?");
}

void peer_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    Seen seen;
    seen.record = params->sock_dist;
    std::free(params);
    seen.pair_result = kelnet_pair_courant(&seen.pair);
    seen.text = text_of(seen.pair);
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_seen.push_back(seen);
    }
    const char reply = 'Y';
    net::send(sd, &reply, 1);
    net::close(sd);
}

uint16_t bound_port(uint32_t sd) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(static_cast<int>(sd), reinterpret_cast<sockaddr *>(&ss), &len) != 0) return 0;
    if (ss.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6 &>(ss).sin6_port);
    return ntohs(reinterpret_cast<const sockaddr_in &>(ss).sin_port);
}

// A connection to address:port (host order) from the test's side, of the
// address's family; invalid when it fails.
Sock connect_to(const char *address, uint16_t port) {
    return Sock(kelnet_connecter_nom(address, net::host_to_net16(port), nullptr));
}

char reply_of(const Sock &c) {
    char reply = 0;
    return net::recv(c.get(), &reply, 1) == 1 ? reply : '?';
}

std::vector<Seen> seen_once(size_t count) {
    const auto until = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        {
            std::lock_guard<std::mutex> hold(g_mutex);
            if (g_seen.size() >= count || std::chrono::steady_clock::now() > until) return g_seen;
        }
        std::this_thread::sleep_for(2ms);
    }
}

// kelnet_ecouteurs_thread on sockets the test opened, stopped by shutting
// them at the end of the scope.
class Listeners {
public:
    explicit Listeners(std::vector<const char *> addresses) {
        for (const char *a : addresses) {
            uint32_t sd = net::kInvalidSocket;
            EXPECT_EQ(kelnet_cree_ecouteur_ip(a, 0, &sd), 0) << a;
            sockets_.push_back(sd);
            ports_.push_back(bound_port(sd));
        }
        runner_ = std::thread([this] {
            result_ = kelnet_ecouteurs_thread(sockets_.data(), static_cast<int32_t>(sockets_.size()), peer_routine);
        });
    }
    ~Listeners() {
        testing::internal::CaptureStderr();
        for (uint32_t s : sockets_) net::shutdown_both(s);
        runner_.join();
        testing::internal::GetCapturedStderr();
        for (uint32_t s : sockets_) net::close(s);
    }
    uint16_t port(size_t i) const { return ports_[i]; }

private:
    std::vector<uint32_t> sockets_;
    std::vector<uint16_t> ports_;
    std::thread runner_;
    int32_t result_ = 0;
};

class Families : public ::testing::Test {
protected:
    void SetUp() override {
        if (kelnet_ipv6_disponible() != 1) GTEST_SKIP() << "no IPv6 sockets on this machine";
        std::lock_guard<std::mutex> hold(g_mutex);
        g_seen.clear();
    }
    void TearDown() override { kelnet_fixe_admission(nullptr); }
};

TEST_F(Families, DualStackListenerTellsEachClientInItsOwnFamily) {
    Listeners l({"::"});
    Sock v4 = connect_to("127.0.0.1", l.port(0));
    ASSERT_TRUE(v4.valid());
    EXPECT_EQ(reply_of(v4), 'Y');
    Sock v6 = connect_to("::1", l.port(0));
    ASSERT_TRUE(v6.valid());
    EXPECT_EQ(reply_of(v6), 'Y');
    const std::vector<Seen> seen = seen_once(2);
    ASSERT_EQ(seen.size(), 2u);
    // The IPv4 client of the IPv6 socket is an IPv4 client, record and all.
    EXPECT_EQ(seen[0].pair_result, 0);
    EXPECT_EQ(seen[0].pair.famille, 4);
    EXPECT_EQ(seen[0].text, "127.0.0.1");
    EXPECT_EQ(seen[0].record.famille, 2);
    EXPECT_EQ(seen[0].record.adresse, loopback());
    EXPECT_EQ(seen[0].record.port, seen[0].pair.port);
    EXPECT_NE(seen[0].pair.port, 0);
    // An IPv6 client has no place in the IPv4 record: it says so.
    EXPECT_EQ(seen[1].pair_result, 0);
    EXPECT_EQ(seen[1].pair.famille, 6);
    EXPECT_EQ(seen[1].text, "::1");
    EXPECT_EQ(seen[1].record.famille, 0);
    EXPECT_EQ(seen[1].record.adresse, KELNET_AUCUNE_ADRESSE);
}

TEST_F(Families, OneListenerThreadServesSocketsOfBothFamilies) {
    Listeners l({"127.0.0.1", "::1"});
    for (int round = 0; round < 3; ++round) {
        Sock a = connect_to("127.0.0.1", l.port(0));
        Sock b = connect_to("[::1]", l.port(1));
        ASSERT_TRUE(a.valid() && b.valid()) << round;
        EXPECT_EQ(reply_of(a), 'Y');
        EXPECT_EQ(reply_of(b), 'Y');
    }
    // Each socket is where it was told to be, and no wider.
    EXPECT_FALSE(connect_to("::1", l.port(0)).valid());
    EXPECT_FALSE(connect_to("127.0.0.1", l.port(1)).valid());
    const std::vector<Seen> seen = seen_once(6);
    ASSERT_EQ(seen.size(), 6u);
    int v6 = 0;
    for (const Seen &s : seen) v6 += s.pair.famille == 6 ? 1 : 0;
    EXPECT_EQ(v6, 3);
}

std::atomic<int> g_asked{0};
std::atomic<int> g_asked_v6{0};

int32_t admit_ipv4_only(uint32_t, kelnet_sockaddr) {
    ++g_asked;
    kelnet_adresse_ip pair{};
    if (kelnet_pair_courant(&pair) != 0) return 1;
    if (pair.famille != 6) return 1;
    ++g_asked_v6;
    return 0;
}

TEST_F(Families, AdmissionIsToldTheIpv6PeerItIsAskedAbout) {
    g_asked = 0;
    g_asked_v6 = 0;
    kelnet_fixe_admission(admit_ipv4_only);
    Listeners l({"::"});
    Sock refused = connect_to("::1", l.port(0));
    ASSERT_TRUE(refused.valid());
    EXPECT_EQ(read_to_end(refused.get()), "") << "a refused client got a thread";
    Sock admitted = connect_to("127.0.0.1", l.port(0));
    ASSERT_TRUE(admitted.valid());
    EXPECT_EQ(reply_of(admitted), 'Y');
    EXPECT_EQ(g_asked.load(), 2);
    EXPECT_EQ(g_asked_v6.load(), 1);
    EXPECT_EQ(seen_once(1).size(), 1u);
}

TEST_F(Families, PeerOutsideAnyConnectionIsNone) {
    kelnet_adresse_ip pair;
    std::memset(&pair, 0x5A, sizeof pair);
    EXPECT_EQ(kelnet_pair_courant(&pair), -1);
    EXPECT_EQ(pair.famille, 0);
    EXPECT_EQ(pair.port, 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_pair_courant(nullptr), -1);
    EXPECT_NE(testing::internal::GetCapturedStderr().find("Parametre null"), std::string::npos);
}

TEST_F(Families, AddressTextFitsOrFails) {
    kelnet_adresse_ip a{};
    a.famille = 6;
    const uint8_t doc[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    std::memcpy(a.octets, doc, sizeof doc);
    char buf[64];
    EXPECT_EQ(kelnet_aff_adresse_ip(&a, buf, sizeof buf), 11);
    EXPECT_STREQ(buf, "2001:db8::1");
    EXPECT_EQ(kelnet_aff_adresse_ip(&a, buf, 11), -1) << "no room for the terminating zero";
    a = kelnet_adresse_ip{};
    a.famille = 4;
    a.octets[0] = 10;
    a.octets[3] = 7;
    EXPECT_EQ(kelnet_aff_adresse_ip(&a, buf, sizeof buf), 8);
    EXPECT_STREQ(buf, "10.0.0.7");
    a.famille = 0;
    EXPECT_EQ(kelnet_aff_adresse_ip(&a, buf, sizeof buf), -1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_aff_adresse_ip(nullptr, buf, sizeof buf), -1);
    testing::internal::GetCapturedStderr();
}

TEST_F(Families, ListenerAddressMustBeALiteral) {
    uint32_t sd = 12345;
    for (const char *bad : {"", "localhost", "300.1.1.1", "::1::2", "[::1", "fe80::1%no-such-interface"}) {
        EXPECT_EQ(kelnet_cree_ecouteur_ip(bad, 0, &sd), -1) << bad;
        EXPECT_EQ(sd, 12345u) << bad << ": the socket output was touched";
    }
    ASSERT_EQ(kelnet_cree_ecouteur_ip("[::1]", 0, &sd), 0);
    Sock first(sd);
    const uint16_t port = bound_port(sd);
    ASSERT_NE(port, 0);
    // The same port again cannot be bound: -2, and the output says no socket.
    testing::internal::CaptureStdout();
    EXPECT_EQ(kelnet_cree_ecouteur_ip("::1", port, &sd), -2);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(sd, KELNET_INVALIDE);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_cree_ecouteur_ip("::1", 0, nullptr), -2);
    EXPECT_EQ(kelnet_ecouteurs_thread(nullptr, 1, peer_routine), -3);
    testing::internal::GetCapturedStderr();
}

TEST_F(Families, ConnectByNameSaysWhetherTheNameOrTheConnectFailed) {
    Listener l4 = listen_loopback();
    uint32_t sd = net::kInvalidSocket;
    ASSERT_EQ(kelnet_cree_ecouteur_ip("::1", 0, &sd), 0);
    Sock l6(sd);
    const uint16_t port6 = bound_port(sd);
    int32_t why = 99;
    Sock a(kelnet_connecter_nom("[::1]", net::host_to_net16(port6), &why));
    EXPECT_TRUE(a.valid());
    EXPECT_EQ(why, 0);
    Sock b(kelnet_connecter_nom("localhost", l4.port_net(), &why));
    EXPECT_TRUE(b.valid()) << "localhost has 127.0.0.1 wherever it has ::1 too";
    EXPECT_EQ(why, 0);
    const std::string unresolvable = std::string(70, 'x') + ".invalid";
    EXPECT_EQ(kelnet_connecter_nom(unresolvable.c_str(), l4.port_net(), &why), KELNET_INVALIDE);
    EXPECT_EQ(why, -2);
    // A port nothing listens on: the address answers with a refusal.
    l6.reset();
    EXPECT_EQ(kelnet_connecter_nom("::1", net::host_to_net16(port6), &why), KELNET_INVALIDE);
    EXPECT_EQ(why, -3);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_connecter_nom(nullptr, l4.port_net(), &why), KELNET_INVALIDE);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(why, -2);
}

}  // namespace
}  // namespace kel::test
