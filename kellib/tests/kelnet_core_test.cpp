#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "kelplat/net.h"
#include "kelplat/thread.h"
#include "net_helpers.h"

using namespace kel;
using namespace kel::test;
using namespace std::chrono_literals;

namespace {

// A port that nobody listens on: bound, then released.
uint16_t closed_port_net() {
    Listener l = listen_loopback();
    return l.port_net();
}

// Connects once the listener that another thread is setting up accepts.
Sock connect_when_listening(uint16_t port_net) {
    Sock c;
    for (int i = 0; i < 5000 && !c.valid(); ++i) {
        c = Sock(kelnet_connecter(loopback(), port_net));
        if (!c.valid()) std::this_thread::sleep_for(1ms);  // no readiness to wait on
    }
    return c;
}

}  // namespace

TEST(ErrorTexts, LooksUpKnownAndUnknownCodes) {
    EXPECT_STREQ(kelnet_msg_err(10061), "Connection refused (WSAECONNREFUSED)");
    EXPECT_STREQ(kelnet_msg_err(10004), "Interrupted system call (WSAEINTR)");
    EXPECT_STREQ(kelnet_msg_err(10101), "Graceful shutdown in progress (WSAEDISCON)");
    EXPECT_STREQ(kelnet_msg_err(11001), "Host not found (WSAHOST_NOT_FOUND)");
    EXPECT_STREQ(kelnet_msg_err(11004), "No host data of that type was found (WSANO_DATA)");
    EXPECT_STREQ(kelnet_msg_err(12345), "Erreur non trouvée");
    EXPECT_STREQ(kelnet_msg_err(-1), "Erreur non trouvée");
}

TEST(ErrorTexts, CodeZeroMeansTheThreadsLastSocketError) {
    EXPECT_EQ(kelnet_connecter(loopback(), closed_port_net()), KELNET_INVALIDE);
    EXPECT_STREQ(kelnet_msg_err(0), "Connection refused (WSAECONNREFUSED)");

    // Each thread keeps its own last error.
    std::string other;
    std::thread([&] { other = kelnet_msg_err(0); }).join();
    EXPECT_EQ(other, "No error");
}

TEST(ErrorTexts, ReportsBadDescriptorOnStandardOutput) {
    char buf[8];
    testing::internal::CaptureStdout();
    EXPECT_EQ(kelnet_recvfrom(KELNET_INVALIDE, nullptr, nullptr, 0, buf, sizeof buf), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WINSOCK recvfrom: Bad file number (WSAEBADF)\n");
}

TEST(Addresses, FormatsDottedQuadLowestByteFirst) {
    char buf[16];
    EXPECT_EQ(kelnet_aff_adresse(net::addr_from_octets(10, 1, 2, 3), buf), 8);
    EXPECT_STREQ(buf, "10.1.2.3");
    EXPECT_EQ(kelnet_aff_adresse(net::addr_from_octets(255, 255, 255, 255), buf), 15);
    EXPECT_STREQ(buf, "255.255.255.255");
}

TEST(Resolution, NamesResolveThroughTheSystemResolver) {
    EXPECT_EQ(kelnet_resoudre_adresse("127.0.0.1"), loopback());
    EXPECT_EQ(kelnet_resoudre_adresse("10.1.2.3"), net::addr_from_octets(10, 1, 2, 3));
    EXPECT_EQ(kelnet_resoudre_adresse("localhost"), loopback());
    const std::string unknown = std::string(70, 'x') + ".invalid";
    EXPECT_EQ(kelnet_resoudre_adresse(unknown.c_str()), KELNET_AUCUNE_ADRESSE);
}

namespace {

std::atomic<int> g_inside{0};
std::atomic<int> g_most_inside{0};
std::atomic<bool> g_release{false};
std::atomic<int> g_calls{0};

// Stays in the look-up until released, and records how many look-ups
// overlap.
bool slow_resolver(const char *name, uint32_t *addr) {
    const int now = ++g_inside;
    int most = g_most_inside.load();
    while (now > most && !g_most_inside.compare_exchange_weak(most, now)) {
    }
    ++g_calls;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (!g_release.load() && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    --g_inside;
    if (std::strcmp(name, "fails.test") == 0) {
        net::set_last_error(net::kErrHostNotFound);
        return false;
    }
    *addr = net::addr_from_octets(192, 0, 2, 7);
    return true;
}

struct ResolverOverride {
    explicit ResolverOverride(net::Resolver r) : previous(net::set_resolver(r)) {}
    ~ResolverOverride() { net::set_resolver(previous); }
    net::Resolver previous;
};

}  // namespace

TEST(Resolution, LookUpsOverlapAndDottedQuadsNeverWait) {
    g_inside = 0;
    g_most_inside = 0;
    g_release = false;
    g_calls = 0;
    ResolverOverride hook(slow_resolver);

    std::vector<std::future<uint32_t>> lookups;
    for (int i = 0; i < 4; ++i)
        lookups.push_back(std::async(std::launch::async, [] { return kelnet_resoudre_adresse("slow.test"); }));
    // No look-up waits for another; a dotted quad never reaches the resolver.
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (g_calls.load() < 4 && std::chrono::steady_clock::now() < end) std::this_thread::yield();
    EXPECT_EQ(g_calls.load(), 4);
    EXPECT_EQ(kelnet_resoudre_adresse("127.0.0.1"), loopback());
    EXPECT_EQ(g_calls.load(), 4);
    g_release = true;
    for (auto &f : lookups) EXPECT_EQ(f.get(), net::addr_from_octets(192, 0, 2, 7));
    EXPECT_EQ(g_most_inside.load(), 4);
}

TEST(Resolution, FailedLookUpGivesNoAddressAndReleasesTheLock) {
    g_release = true;
    ResolverOverride hook(slow_resolver);
    EXPECT_EQ(kelnet_resoudre_adresse("fails.test"), KELNET_AUCUNE_ADRESSE);
    EXPECT_STREQ(kelnet_msg_err(0), "Host not found (WSAHOST_NOT_FOUND)");
    EXPECT_EQ(kelnet_resoudre_adresse("ok.test"), net::addr_from_octets(192, 0, 2, 7));
}

TEST(Resolution, WithoutTheLockOnlyDottedQuadsResolve) {
    ASSERT_EQ(kelnet_term(), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_resoudre_adresse("localhost"), KELNET_AUCUNE_ADRESSE);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(kelnet_resoudre_adresse("127.0.0.1"), loopback());
    ASSERT_EQ(kelnet_init(), 0);
    EXPECT_EQ(err.rfind("ERROR: Mutex object cannot be obtained\nkelnet line ", 0), 0u) << err;
    EXPECT_EQ(kelnet_resoudre_adresse("localhost"), loopback());
}

TEST(Setup, SecondInitSharesTheLockAndSaysSo) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_init(), 0);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("ERROR: Mutex already exists\nkelnet line ", 0), 0u) << err;
    EXPECT_EQ(kelnet_term(), 0);
    // One set-up remains: names still resolve.
    EXPECT_EQ(kelnet_resoudre_adresse("localhost"), loopback());
}

TEST(Connections, RefusedConnectionGivesInvalidSocket) {
    EXPECT_EQ(kelnet_connecter(loopback(), closed_port_net()), KELNET_INVALIDE);
}

TEST(Connections, ConnectedSocketIsWritable) {
    TcpPair p = tcp_pair();
    EXPECT_EQ(kelnet_est_connecte(p.a.get()), 1);
    EXPECT_EQ(kelnet_est_connecte(KELNET_INVALIDE), 0);
}

TEST(Sending, ZeroLengthSendsNothing) {
    TcpPair p = tcp_pair();
    EXPECT_EQ(kelnet_envoie(p.a.get(), "abc", 0), 0);
    EXPECT_EQ(kelnet_envoie(p.a.get(), "abc", -5), 0);
    ASSERT_EQ(kelnet_envoie_str(p.a.get(), "Z"), 0);
    char c = 0;
    ASSERT_EQ(kelnet_recv(p.b.get(), &c, 1, 0), 1);
    EXPECT_EQ(c, 'Z');
}

TEST(Sending, SeveralMegabytesReachASlowReaderWhole) {
    TcpPair p = tcp_pair();
    const std::string data = pattern(6u << 20);
    std::string got;
    Peer reader([&] {
        char buf[1500];
        while (got.size() < data.size()) {
            const long n = net::recv(p.b.get(), buf, sizeof buf);
            if (n <= 0) break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(kelnet_envoie(p.a.get(), data.data(), static_cast<int32_t>(data.size())), 0);
    reader.join();
    EXPECT_TRUE(got == data) << "received " << got.size() << " of " << data.size();
}

TEST(Sending, PeerThatHasGoneGivesAnErrorNotASignal) {
    TcpPair p = tcp_pair();
    net::close_with_reset(p.b.release());
    const std::string data = pattern(1u << 20);
    testing::internal::CaptureStderr();
    int32_t r = 0;
    for (int i = 0; i < 20 && r == 0; ++i)
        r = kelnet_envoie(p.a.get(), data.data(), static_cast<int32_t>(data.size()));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -2);
    EXPECT_NE(err.find("ERROR: erreur a l'envoi : connexion fermee prematurement ?\nkelnet line "),
              std::string::npos)
        << err;
}

TEST(ExactReceive, WaitsUntilTheBufferIsFull) {
    TcpPair p = tcp_pair();
    Peer writer([&] {
        for (char c = 'a'; c <= 'j'; ++c) {
            send_all(p.a.get(), std::string(1, c));
            std::this_thread::yield();
        }
    });
    char buf[10];
    ASSERT_EQ(kelnet_recv(p.b.get(), buf, 10, 0), 10);
    EXPECT_EQ(std::string(buf, 10), "abcdefghij");
}

TEST(ExactReceive, PeerClosingEarlyIsReportedUnlessTolerated) {
    for (int tolerant : {1, 0}) {
        TcpPair p = tcp_pair();
        send_all(p.a.get(), "12345");
        p.a.reset();
        char buf[10] = {};
        testing::internal::CaptureStderr();
        EXPECT_EQ(kelnet_recv(p.b.get(), buf, 10, tolerant), -2);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(std::string(buf, 5), "12345");
        if (tolerant)
            EXPECT_EQ(err, "");
        else
            EXPECT_EQ(err.rfind("ERROR: Connexion fermée prématurément\nkelnet line ", 0), 0u)
                << err;
    }
}

TEST(ExactReceive, RejectsEmptyBufferAndReportsFailedReceive) {
    char buf[4];
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recv(KELNET_INVALIDE, buf, 0, 0), -1);
    EXPECT_EQ(kelnet_recv(KELNET_INVALIDE, buf, 4, 0), -3);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Buffer vide\nkelnet line "), std::string::npos) << err;
    EXPECT_NE(err.find("ERROR: Erreur de connexion\nkelnet line "), std::string::npos) << err;
}

TEST(Closing, DrainsAPeerThatKeepsSendingThenCloses) {
    TcpPair p = tcp_pair();
    const std::string data = pattern(300000);
    bool sent_all = false;
    bool saw_end = false;
    Peer peer([&] {
        sent_all = send_all(p.a.get(), data);
        char c;
        saw_end = net::recv(p.a.get(), &c, 1) == 0;
        p.a.reset();
    });
    EXPECT_EQ(kelnet_fermer(p.b.release()), 0);
    peer.join();
    // Nothing was reset under the peer: it sent everything and saw our end.
    EXPECT_TRUE(sent_all);
    EXPECT_TRUE(saw_end);
}

TEST(Closing, FailedShutdownStillReleasesTheDescriptor) {
    const uint32_t s = net::open(net::Kind::Stream);  // never connected
    ASSERT_NE(s, KELNET_INVALIDE);
    EXPECT_EQ(kelnet_fermer(s), -1);
    EXPECT_FALSE(net::close(s)) << "descriptor was left open";
}

TEST(Listeners, RefusesTheNoAddressValue) {
    uint32_t s = 123;
    EXPECT_EQ(kelnet_cree_ecouteur(0, KELNET_AUCUNE_ADRESSE, &s), -1);
    EXPECT_EQ(s, 123u);
}

TEST(Listeners, PortTakenGivesBindFailedThenConnexionImpossible) {
    Listener taken = listen_loopback();
    uint32_t s = net::kInvalidSocket;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int32_t r = kelnet_gen_ecouteur_thread(&s, loopback(), taken.port_host, nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    Sock owned(s);
    EXPECT_EQ(r, -2);
    EXPECT_EQ(out, "bind() failed\n");
    EXPECT_EQ(err.rfind("ERROR: connexion impossible\nkelnet line ", 0), 0u) << err;
    EXPECT_TRUE(owned.valid());  // stays open in the output, the caller's

    uint32_t s2 = net::kInvalidSocket;
    testing::internal::CaptureStdout();
    EXPECT_EQ(kelnet_cree_ecouteur(taken.port_host, loopback(), &s2), -3);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "bind() failed\n");
    Sock owned2(s2);
}

TEST(Listeners, AcceptQueueHoldsABurstOfHandshakes) {
    // Nothing accepts meanwhile: every handshake must find room in the
    // queue at once. One that finds it full is dropped, and its client
    // sends its SYN again a second later, which its retransmission count
    // shows whatever the time it took.
    Listener l = listen_loopback();
    const size_t count = std::min<size_t>(1000, static_cast<size_t>(net::max_backlog()));
    ASSERT_GE(count, 512u) << "the system grants an accept queue of " << net::max_backlog();
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = l.port_net();
    to.sin_addr.s_addr = loopback();
    std::vector<pollfd> clients;
    for (size_t i = 0; i < count; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        clients.push_back({fd, POLLOUT, 0});
        const int r = ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to);
        ASSERT_TRUE(r == 0 || errno == EINPROGRESS) << "connect " << i << ": " << std::strerror(errno);
    }
    const auto sent_again = [](int fd) {
        tcp_info info{};
        socklen_t len = sizeof info;
        return ::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) == 0 && info.tcpi_total_retrans > 0;
    };
    // Until every handshake has ended, or one was sent again: its retries
    // need not be waited for. The bound only guards against a hang.
    const auto until = std::chrono::steady_clock::now() + 60s;
    size_t connected = 0, ended = 0;
    std::vector<bool> done(count, false);
    while (ended < count && std::chrono::steady_clock::now() < until) {
        const int ready = ::poll(clients.data(), clients.size(), 100);
        if (ready < 0) break;
        if (ready == 0) {
            bool retried = false;
            for (size_t i = 0; i < count && !retried; ++i) retried = !done[i] && sent_again(clients[i].fd);
            if (retried) break;
            continue;
        }
        for (size_t i = 0; i < count; ++i) {
            if (done[i] || clients[i].revents == 0) continue;
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(clients[i].fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err == 0) ++connected;
            done[i] = true;
            ++ended;
            clients[i].events = 0;
        }
    }
    EXPECT_EQ(connected, count) << "handshakes completed without an accept";
    size_t retried = 0;
    for (const pollfd &c : clients)
        if (sent_again(c.fd)) ++retried;
    EXPECT_EQ(retried, 0u) << "handshakes dropped by a full queue and sent again";
    // Only as many as completed: an accept with nothing queued would block.
    size_t accepted = 0;
    for (size_t i = 0; i < connected; ++i) {
        Sock a(net::accept(l.sock.get(), nullptr));
        if (a.valid()) ++accepted;
    }
    EXPECT_EQ(accepted, connected);
    for (const pollfd &c : clients) ::close(c.fd);
}

TEST(Listeners, NullRoutineStoresTheListeningSocket) {
    for (int threaded : {0, 1}) {
        uint32_t s = net::kInvalidSocket;
        const int32_t r = threaded ? kelnet_gen_ecouteur_thread(&s, loopback(), 0, nullptr)
                                   : kelnet_gen_ecouteur(&s, loopback(), 0, nullptr);
        Sock listening(s);
        ASSERT_EQ(r, 0);
        ASSERT_TRUE(listening.valid());
        Sock c(kelnet_connecter(loopback(), net::host_to_net16(net::local_port(s))));
        EXPECT_TRUE(c.valid());
    }
}

namespace {

std::atomic<int> g_served{0};

// Echoes one byte; the third connection ends the loop.
int32_t echo_routine(uint32_t sd, kelnet_sockaddr peer) {
    char c;
    if (peer.famille != 2 || peer.adresse != loopback()) c = '?';
    else if (kelnet_recv(sd, &c, 1, 0) != 1) c = '!';
    kelnet_envoie(sd, &c, 1);
    net::close(sd);
    return ++g_served == 3 ? -1 : 0;
}

}  // namespace

TEST(Listeners, SynchronousListenerServesInTurnAndEndsOnNegativeRoutineResult) {
    g_served = 0;
    uint32_t s = net::kInvalidSocket;
    std::atomic<uint32_t> stored{net::kInvalidSocket};
    const uint16_t port = closed_port_net();
    std::promise<int32_t> result;
    Peer listener([&] {
        uint32_t local = net::kInvalidSocket;
        result.set_value(kelnet_gen_ecouteur(&local, loopback(), net::net_to_host16(port),
                                             echo_routine));
        stored = local;
    });
    for (char c : {'x', 'y', 'z'}) {
        Sock client = connect_when_listening(port);
        ASSERT_TRUE(client.valid());
        ASSERT_EQ(kelnet_envoie(client.get(), &c, 1), 0);
        char back = 0;
        ASSERT_EQ(kelnet_recv(client.get(), &back, 1, 0), 1);
        EXPECT_EQ(back, c);
    }
    EXPECT_EQ(result.get_future().get(), -3);
    listener.join();
    s = stored;
    Sock listening(s);
    // The listening socket is left open.
    Sock late(kelnet_connecter(loopback(), port));
    EXPECT_TRUE(late.valid());
}

namespace {

// Connection thread: echoes bytes until the client closes.
void echo_thread(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    const bool from_loopback = params->sock_dist.famille == 2 && params->sock_dist.adresse == loopback();
    std::free(params);
    char c;
    while (kelnet_recv(sd, &c, 1, 1) == 1) {
        if (!from_loopback) c = '?';
        kelnet_envoie(sd, &c, 1);
    }
    net::close(sd);
}

std::atomic<int> g_start_attempts{0};

int failing_start(thread::Routine, void *, std::size_t) {
    ++g_start_attempts;
    return EAGAIN;
}


}  // namespace

TEST(Listeners, ThreadedListenerServesManyConnectionsAtOnce) {
    uint32_t listening = net::kInvalidSocket;
    std::promise<int32_t> result;
    const uint16_t port = closed_port_net();
    Peer listener([&] {
        result.set_value(kelnet_gen_ecouteur_thread(&listening, loopback(), net::net_to_host16(port),
                                                    echo_thread));
    });
    std::vector<Sock> clients;
    for (int i = 0; i < 25; ++i) {  // within the backlog of 30
        Sock c = connect_when_listening(port);
        ASSERT_TRUE(c.valid());
        clients.push_back(std::move(c));
    }
    // All connections are open together, each served by its own thread.
    for (int round = 0; round < 3; ++round) {
        for (std::size_t i = 0; i < clients.size(); ++i) {
            const char c = static_cast<char>('A' + (i + round) % 26);
            ASSERT_EQ(kelnet_envoie(clients[i].get(), &c, 1), 0);
        }
        for (std::size_t i = 0; i < clients.size(); ++i) {
            char back = 0;
            ASSERT_EQ(kelnet_recv(clients[i].get(), &back, 1, 0), 1);
            EXPECT_EQ(back, static_cast<char>('A' + (i + round) % 26));
        }
    }
    // A listening socket shut down under the listener ends it.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    net::shutdown_both(listening);
    const int32_t r = result.get_future().get();
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    listener.join();
    net::close(listening);
    EXPECT_EQ(r, -3);
    EXPECT_EQ(out, "echec d'accept()");
    EXPECT_NE(err.find("listener stopped"), std::string::npos) << err;
}

TEST(Listeners, ConnectionWhoseThreadCannotStartIsClosedAndAcceptingGoesOn) {
    uint32_t listening = net::kInvalidSocket;
    std::promise<int32_t> result;
    const uint16_t port = closed_port_net();
    Peer listener([&] {
        result.set_value(kelnet_gen_ecouteur_thread(&listening, loopback(), net::net_to_host16(port),
                                                    echo_thread));
    });
    Sock first = connect_when_listening(port);
    ASSERT_TRUE(first.valid());
    char back = 0;
    ASSERT_EQ(kelnet_envoie(first.get(), "a", 1), 0);
    ASSERT_EQ(kelnet_recv(first.get(), &back, 1, 0), 1);

    g_start_attempts = 0;
    const thread::StartHook previous = thread::set_start_hook(failing_start);
    testing::internal::CaptureStderr();
    Sock refused(kelnet_connecter(loopback(), port));
    ASSERT_TRUE(refused.valid());
    // The listener closes the connection it can't serve: the client sees the end.
    char c;
    const long n = net::recv(refused.get(), &c, 1);
    thread::set_start_hook(previous);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(n, 0);
    EXPECT_EQ(g_start_attempts.load(), 1);
    EXPECT_NE(err.find("ERROR: echec du démarrage du thread de connexion (11: "), std::string::npos)
        << err;
    EXPECT_NE(err.find("client 127.0.0.1:"), std::string::npos) << err;

    // Still accepting, and serving again.
    Sock again(kelnet_connecter(loopback(), port));
    ASSERT_TRUE(again.valid());
    ASSERT_EQ(kelnet_envoie(again.get(), "b", 1), 0);
    ASSERT_EQ(kelnet_recv(again.get(), &back, 1, 0), 1);
    EXPECT_EQ(back, 'b');

    testing::internal::CaptureStdout();
    net::shutdown_both(listening);
    EXPECT_EQ(result.get_future().get(), -3);
    testing::internal::GetCapturedStdout();
    listener.join();
    net::close(listening);
}

TEST(Datagrams, SendToAndReceiveFromOverLoopback) {
    Sock receiver(net::open(net::Kind::Datagram));
    ASSERT_TRUE(net::bind(receiver.get(), loopback(), 0));
    const uint16_t port = net::host_to_net16(net::local_port(receiver.get()));
    Sock sender(net::open(net::Kind::Datagram));
    ASSERT_TRUE(net::bind(sender.get(), loopback(), 0));
    const uint16_t sender_port = net::host_to_net16(net::local_port(sender.get()));

    ASSERT_EQ(kelnet_sendto(sender.get(), loopback(), port, "hello", 5), 0);
    char buf[64];
    uint32_t from = 0;
    uint16_t from_port = 0;
    EXPECT_EQ(kelnet_recvfrom(receiver.get(), &from, &from_port, 9999, buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(from, loopback());
    EXPECT_EQ(from_port, sender_port);

    // A connected datagram socket sends to its fixed peer.
    Sock connected(kelnet_connecter_udp(loopback(), port));
    ASSERT_TRUE(connected.valid());
    ASSERT_EQ(kelnet_envoie_str(connected.get(), "second"), 0);
    EXPECT_EQ(kelnet_recvfrom(receiver.get(), nullptr, nullptr, 0, buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), "second");
}

TEST(Datagrams, FailedSendToIsReportedOnStandardOutput) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(kelnet_sendto(KELNET_INVALIDE, loopback(), net::host_to_net16(9), "x", 1), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "WINSOCK sendto: Bad file number (WSAEBADF)\n");
}
