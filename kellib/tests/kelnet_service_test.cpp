// Listeners of services with routines of their own: their admission and
// refusals instead of the process-wide ones, their own test of when the
// first bytes are enough, a thread at accept for a protocol whose server
// speaks first, and a stop that leaves the connections at work alone.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "kelnet.h"
#include "net_helpers.h"

namespace kel::test {
namespace {

using namespace std::chrono_literals;

std::atomic<int> g_threads{0};
std::atomic<int> g_admitted{0};
std::atomic<int> g_refused{0};

// Answers with what it finds waiting in the socket (at most 15 bytes),
// prefixed by '>'; then echoes until the client closes.
void echo_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    std::free(params);
    ++g_threads;
    char buf[16] = ">";
    const long n = net::recv_nowait(sd, buf + 1, sizeof buf - 1);
    net::send(sd, buf, static_cast<std::size_t>(n > 0 ? n + 1 : 1));
    for (;;) {
        char c[64];
        const long got = net::recv(sd, c, sizeof c);
        if (got <= 0) break;
        net::send(sd, c, static_cast<std::size_t>(got));
    }
    net::close(sd);
}

// Enough once five bytes have come.
int32_t five_bytes(const char *, int32_t length) { return length >= 5 ? 1 : 0; }

int32_t admit_none(uint32_t, kelnet_sockaddr) {
    ++g_refused;
    return 0;
}
int32_t admit_all(uint32_t, kelnet_sockaddr) {
    ++g_admitted;
    return 1;
}
// The process-wide admission, which a service's listener must not ask.
int32_t global_admission(uint32_t, kelnet_sockaddr) { return 0; }

// A service listener on loopback, run on a thread, stopped through its
// stop descriptor at the end of the scope.
class ServiceListener {
public:
    explicit ServiceListener(kelnet_service service) : listener_(listen_loopback()) {
        EXPECT_TRUE(net::stream_pair(stop_));
        service.arret = stop_[0];
        const uint32_t sd = listener_.sock.get();
        runner_ = std::thread([this, service, sd] { result_ = kelnet_ecouteurs_service(&sd, 1, &service); });
    }
    ~ServiceListener() { stop(); }
    int32_t stop() {
        if (runner_.joinable()) {
            const char b = 0;
            net::send(stop_[1], &b, 1);
            runner_.join();
            net::close(stop_[0]);
            net::close(stop_[1]);
        }
        return result_;
    }
    Sock connect() { return Sock(kelnet_connecter(loopback(), listener_.port_net())); }

private:
    Listener listener_;
    uint32_t stop_[2] = {net::kInvalidSocket, net::kInvalidSocket};
    std::thread runner_;
    int32_t result_ = 99;
};

std::string read_some(const Sock &c) {
    char buf[64];
    const long n = net::recv(c.get(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

class Services : public ::testing::Test {
protected:
    void SetUp() override {
        g_threads = 0;
        g_admitted = 0;
        g_refused = 0;
        kelnet_fixe_max_attente(-1, nullptr);
        kelnet_fixe_admission(global_admission);
    }
    void TearDown() override {
        kelnet_fixe_max_attente(0, nullptr);
        kelnet_fixe_admission(nullptr);
    }
};

TEST_F(Services, AskTheirOwnAdmissionNotTheProcessWideOne) {
    kelnet_service service{};
    service.routine = echo_routine;
    service.admission = admit_all;
    ServiceListener l(service);
    Sock c = l.connect();
    ASSERT_TRUE(c.valid());
    EXPECT_EQ(read_some(c), ">") << "the process-wide admission refused a service's client";
    EXPECT_EQ(g_admitted.load(), 1);
}

TEST_F(Services, RefusedClientsGetNoThreadAndNoByte) {
    kelnet_service service{};
    service.routine = echo_routine;
    service.admission = admit_none;
    ServiceListener l(service);
    Sock c = l.connect();
    ASSERT_TRUE(c.valid());
    EXPECT_EQ(read_some(c), "");
    EXPECT_EQ(g_refused.load(), 1);
    EXPECT_EQ(g_threads.load(), 0);
}

TEST_F(Services, WithoutATestOfTheFirstBytesTheServerSpeaksFirst) {
    kelnet_service service{};
    service.routine = echo_routine;
    ServiceListener l(service);
    Sock c = l.connect();
    ASSERT_TRUE(c.valid());
    // Nothing sent: the thread starts at accept and speaks.
    EXPECT_EQ(read_some(c), ">");
}

TEST_F(Services, WaitWithoutAThreadUntilTheirTestIsMet) {
    kelnet_service service{};
    service.routine = echo_routine;
    service.complet = five_bytes;
    ServiceListener l(service);
    Sock c = l.connect();
    ASSERT_TRUE(c.valid());
    ASSERT_TRUE(send_all(c.get(), "abcd"));
    // The fourth byte is in; wait until the listener has seen it and holds
    // the connection in its waiting room.
    for (int i = 0; i < 5000 && kelnet_nb_attente() == 0; ++i) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(kelnet_nb_attente(), 1);
    EXPECT_EQ(g_threads.load(), 0) << "a thread started before the first message was whole";
    ASSERT_TRUE(send_all(c.get(), "e"));
    // The thread finds every byte the test saw, still in the socket.
    EXPECT_EQ(read_some(c), ">abcde");
    EXPECT_EQ(kelnet_nb_attente(), 0);
}

TEST_F(Services, StopEndsTheListenerAndLeavesConnectionsAtWork) {
    kelnet_service service{};
    service.routine = echo_routine;
    auto l = std::make_unique<ServiceListener>(service);
    Sock working = l->connect();
    ASSERT_TRUE(working.valid());
    ASSERT_EQ(read_some(working), ">");
    EXPECT_EQ(l->stop(), 0);
    // The listener is gone; the connection it handed off still echoes.
    ASSERT_TRUE(send_all(working.get(), "ping"));
    EXPECT_EQ(read_some(working), "ping");
}

TEST_F(Services, RefuseBadArguments) {
    const uint32_t sd = 0;
    kelnet_service service{};
    EXPECT_EQ(kelnet_ecouteurs_service(&sd, 1, &service), -1);  // no routine
    service.routine = echo_routine;
    EXPECT_EQ(kelnet_ecouteurs_service(nullptr, 1, &service), -1);
    EXPECT_EQ(kelnet_ecouteurs_service(&sd, 0, &service), -1);
    EXPECT_EQ(kelnet_ecouteurs_service(&sd, 1, nullptr), -1);
}

}  // namespace
}  // namespace kel::test

namespace kel::test {
namespace {

// The relay for protocols whose clients end their sending first.
TEST(HalfCloseRelay, PassesTheEndOnAndCarriesTheAnswerBack) {
    TcpPair client = tcp_pair();  // a: the client; b: the proxy's side
    TcpPair target = tcp_pair();  // a: the proxy's side; b: the target
    std::atomic<int32_t> result{99};
    const uint32_t near = client.b.release(), far = target.a.release();
    std::thread relay([&, near, far] { result = kelnet_redir2_demi(near, far); });
    ASSERT_TRUE(send_all(client.a.get(), "question"));
    ASSERT_TRUE(net::shutdown_send(client.a.get()));
    // The target reads the question, then the end of it.
    std::string got;
    char buf[64];
    for (long n; (n = net::recv(target.b.get(), buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, "question");
    // Its answer still reaches the client, and its close ends the relay.
    ASSERT_TRUE(send_all(target.b.get(), "answer"));
    target.b.reset();
    std::string answer;
    for (long n; (n = net::recv(client.a.get(), buf, sizeof buf)) > 0;) answer.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(answer, "answer");
    relay.join();
    EXPECT_EQ(result.load(), -2);
}

TEST(HalfCloseRelay, AnEndFromEitherSideWhileTheOtherIsDoneEndsIt) {
    TcpPair client = tcp_pair();
    TcpPair target = tcp_pair();
    std::atomic<int32_t> result{99};
    const uint32_t near = client.b.release(), far = target.a.release();
    std::thread relay([&, near, far] { result = kelnet_redir2_demi(near, far); });
    // The target speaks first and ends; then the client ends.
    ASSERT_TRUE(send_all(target.b.get(), "banner"));
    ASSERT_TRUE(net::shutdown_send(target.b.get()));
    char buf[64];
    std::string got;
    for (long n; (n = net::recv(client.a.get(), buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
    EXPECT_EQ(got, "banner");
    client.a.reset();
    relay.join();
    EXPECT_EQ(result.load(), -2);
}

TEST(LastError, IsTheSupportLibrarysOwnRecord) {
    // A connect to a port nobody listens on fails with "connection refused".
    Listener l = listen_loopback();
    const uint16_t port = l.port_net();
    l.sock.reset();
    int32_t failure = 0;
    const uint32_t s = kelnet_connecter_nom("127.0.0.1", port, &failure);
    ASSERT_EQ(s, KELNET_INVALIDE);
    EXPECT_EQ(failure, -3);
    EXPECT_EQ(kelnet_derniere_erreur(), 10061);
}

}  // namespace
}  // namespace kel::test
