// The waiting room of the threaded listener: a connection gets its thread
// only once its request header is whole, too long, past its deadline or
// closed, and the listener's own thread admits or refuses it on accept.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "net_helpers.h"

namespace kel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What each connection thread found when it read its header.
struct Served {
    int32_t result;           // kelnet_recup_entete's
    std::uint64_t receives;   // receive calls it took
    Clock::time_point start;  // when the thread began
};
// Never destroyed: a connection thread may still record its entry while the
// test's process exits, after its client read the reply.
std::mutex &g_mutex = *new std::mutex;
std::vector<Served> &g_served = *new std::vector<Served>;
std::atomic<int> g_started{0};

// Reads the header, answers 'Y' or 'N', closes.
void header_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    std::free(params);
    ++g_started;
    const auto start = Clock::now();
    const std::uint64_t before = net::recv_calls_on_this_thread();
    char *head = nullptr;
    const int32_t result = kelnet_recup_entete(sd, &head);
    const std::uint64_t receives = net::recv_calls_on_this_thread() - before;
    std::free(head);
    const char reply = result > 0 ? 'Y' : 'N';
    net::send(sd, &reply, 1);
    net::close(sd);
    std::lock_guard<std::mutex> hold(g_mutex);
    g_served.push_back({result, receives, start});
}

size_t served() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_served.size();
}

Served last_served() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_served.back();
}

bool eventually(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
    const auto until = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

char reply_of(const Sock &c) {
    char reply = 0;
    return net::recv(c.get(), &reply, 1) == 1 ? reply : '?';
}

class Waiting : public ::testing::Test {
protected:
    void SetUp() override {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_served.clear();
        g_started = 0;
        kelnet_fixe_max_attente(-1, nullptr);
    }
    void TearDown() override {
        kelnet_fixe_max_attente(0, nullptr);
        kelnet_fixe_admission(nullptr);
        kelnet_fixe_delais(0, 0, 0);
        kelnet_fixe_max_clients(0, nullptr);
    }
};

const std::string kHead = "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n";

TEST_F(Waiting, HeadInManyPiecesGetsItsThreadOnlyOnceWhole) {
    ThreadedListener listener(header_routine);
    Sock c = listener.connect();
    ASSERT_TRUE(c.valid());
    for (size_t i = 0; i + 1 < kHead.size(); i += 4) {
        ASSERT_TRUE(send_all(c.get(), kHead.substr(i, std::min<size_t>(4, kHead.size() - 1 - i))));
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_TRUE(eventually([] { return kelnet_nb_attente() == 1; }));
    EXPECT_EQ(g_started.load(), 0) << "a thread started before the header was whole";
    EXPECT_EQ(kelnet_nb_clients(), 0);
    ASSERT_TRUE(send_all(c.get(), kHead.substr(kHead.size() - 1)));
    EXPECT_EQ(reply_of(c), 'Y');
    ASSERT_TRUE(eventually([] { return served() == 1; }));
    const Served s = last_served();
    EXPECT_EQ(s.result, static_cast<int32_t>(kHead.size() + 1));
    // The header waits whole in the socket: a peek and a read, no more.
    EXPECT_EQ(s.receives, 2u);
    EXPECT_EQ(kelnet_nb_attente(), 0);
}

TEST_F(Waiting, HeadThereAtAcceptGoesToItsThreadWithoutWaiting) {
    Listener l = listen_loopback();
    Sock c(kelnet_connecter(loopback(), l.port_net()));
    ASSERT_TRUE(c.valid());
    ASSERT_TRUE(send_all(c.get(), kHead));
    const std::uint64_t waited_before = kelnet::connections_that_waited();
    const uint32_t listening = l.sock.get();
    std::thread runner([listening] {
        const uint32_t listeners[1] = {listening};
        kelnet::Routines routines;
        routines.routine = header_routine;
        kelnet::run_threaded_listener(listeners, routines);
    });
    EXPECT_EQ(reply_of(c), 'Y');
    EXPECT_EQ(kelnet::connections_that_waited(), waited_before);
    net::shutdown_both(listening);
    runner.join();
}

TEST_F(Waiting, ClientThatClosesWhileWaitingGetsItsThread) {
    ThreadedListener listener(header_routine);
    {
        Sock c = listener.connect();
        ASSERT_TRUE(c.valid());
        ASSERT_TRUE(send_all(c.get(), "GET http://a.test/ HTT"));
        ASSERT_TRUE(eventually([] { return kelnet_nb_attente() == 1; }));
    }
    ASSERT_TRUE(eventually([] { return served() == 1; }));
    EXPECT_LT(last_served().result, 0);
    EXPECT_EQ(kelnet_nb_attente(), 0);
}

TEST_F(Waiting, SilentClientGetsItsThreadAtTheDeadlineAndItsHeaderFailsThere) {
    kelnet_fixe_delais(1, 0, 0);
    ThreadedListener listener(header_routine);
    const auto connected = Clock::now();
    Sock c = listener.connect();
    ASSERT_TRUE(c.valid());
    // Without the deadline no reply ever comes; the bound only guards
    // against a hang.
    ASSERT_TRUE(net::set_io_timeouts(c.get(), 0, 30000));
    EXPECT_EQ(reply_of(c), 'N');
    const double waited = std::chrono::duration<double>(Clock::now() - connected).count();
    EXPECT_GE(waited, 0.9);
    ASSERT_TRUE(eventually([] { return served() == 1; }));
    const Served s = last_served();
    EXPECT_LT(s.result, 0);
    // The thread began at the deadline, not at accept.
    EXPECT_GE(std::chrono::duration<double>(s.start - connected).count(), 0.9);
}

TEST_F(Waiting, EndlessHeadGoesToItsThreadAndIsCutAtTheLimit) {
    ThreadedListener listener(header_routine);
    Sock c = listener.connect();
    ASSERT_TRUE(c.valid());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string block(4096, 'a');
        for (int i = 0; i < 200 && !stop; ++i)
            if (!send_all(c.get(), block)) return;  // 800 KiB, past the 512 KiB limit
    });
    // The thread starts once 16 KiB have come, well before the limit.
    ASSERT_TRUE(eventually([] { return g_started.load() == 1; }));
    ASSERT_TRUE(eventually([] { return served() == 1; }));
    stop = true;
    net::shutdown_both(c.get());
    writer.join();
    EXPECT_LT(last_served().result, 0);
}

TEST_F(Waiting, ThousandsWaitAtOnceWithoutAThreadEach) {
    rlimit rl{};
    ::getrlimit(RLIMIT_NOFILE, &rl);
    const size_t count = std::min<size_t>(2000, (rl.rlim_cur - 100) / 2);
    ASSERT_GE(count, 400u) << "the descriptor limit is too low for this test";
    ThreadedListener listener(header_routine);
    std::vector<Sock> clients;
    for (size_t i = 0; i < count; ++i) {
        clients.push_back(listener.connect());
        ASSERT_TRUE(clients.back().valid());
    }
    ASSERT_TRUE(eventually([&] { return kelnet_nb_attente() == static_cast<int32_t>(count); }))
        << kelnet_nb_attente() << " waiting of " << count;
    EXPECT_EQ(g_started.load(), 0);
    EXPECT_EQ(kelnet_nb_clients(), 0);
    for (auto &c : clients) ASSERT_TRUE(send_all(c.get(), kHead));
    for (auto &c : clients) EXPECT_EQ(reply_of(c), 'Y');
    ASSERT_TRUE(eventually([&] { return served() == count; }));
    EXPECT_EQ(kelnet_nb_attente(), 0);
}

std::atomic<int> g_refusals{0};

void refuse_busy(uint32_t sd, kelnet_sockaddr) {
    net::send(sd, "busy", 4);
    ++g_refusals;
}

TEST_F(Waiting, OneMoreThanTheCapIsRefusedAtOnce) {
    g_refusals = 0;
    kelnet_fixe_max_attente(3, refuse_busy);
    ThreadedListener listener(header_routine);
    std::vector<Sock> waiting;
    for (int i = 0; i < 3; ++i) waiting.push_back(listener.connect());
    ASSERT_TRUE(eventually([] { return kelnet_nb_attente() == 3; }));
    Sock extra = listener.connect();
    EXPECT_EQ(read_to_end(extra.get()), "busy");
    EXPECT_EQ(g_refusals.load(), 1);
    // A client whose header is there at once does not wait, so no cap stops it.
    for (auto &c : waiting) ASSERT_TRUE(send_all(c.get(), kHead));
    for (auto &c : waiting) EXPECT_EQ(reply_of(c), 'Y');
}

std::atomic<int> g_admitted{0};

// Admits the connections from 127.0.0.1; answers the others itself.
int32_t admit_only_loopback_one(uint32_t sd, kelnet_sockaddr peer) {
    if (peer.adresse == loopback()) {
        ++g_admitted;
        return 1;
    }
    net::send(sd, "refused", 7);
    return 0;
}

Sock connect_from(uint32_t source, uint16_t port_net) {
    Sock c(net::open(net::Kind::Stream));
    if (!c.valid() || !net::bind(c.get(), source, 0) || !net::connect(c.get(), loopback(), port_net)) return Sock();
    return c;
}

TEST_F(Waiting, AdmissionAnswersOnAcceptWithoutAThread) {
    g_admitted = 0;
    kelnet_fixe_admission(admit_only_loopback_one);
    ThreadedListener listener(header_routine);
    ASSERT_TRUE(listener.connect().valid());  // listening now; this one is admitted and closes
    const uint32_t other = net::addr_from_octets(127, 0, 0, 2);
    for (int i = 0; i < 20; ++i) {
        Sock refused = connect_from(other, listener.port_net());
        ASSERT_TRUE(refused.valid());
        // Nothing sent, and the page comes anyway.
        EXPECT_EQ(read_to_end(refused.get()), "refused") << i;
        Sock admitted = connect_from(loopback(), listener.port_net());
        ASSERT_TRUE(admitted.valid());
        ASSERT_TRUE(send_all(admitted.get(), kHead));
        EXPECT_EQ(reply_of(admitted), 'Y');
    }
    ASSERT_TRUE(eventually([] { return served() == 21; }));
    EXPECT_EQ(g_started.load(), 21) << "a refused connection got a thread";
    EXPECT_EQ(g_admitted.load(), 21);
}

}  // namespace
}  // namespace kel::test
