// Deadlines of the connection path and the cap on connection threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "net_helpers.h"

namespace kel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t) {
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// Every test leaves the process-wide limits as it found them: none.
class Limits : public ::testing::Test {
protected:
    void TearDown() override {
        kelnet_fixe_delais(0, 0, 0);
        kelnet_fixe_max_clients(0, nullptr);
    }
};

// ---- header deadline

std::atomic<int32_t> g_header_result{0};
std::atomic<double> g_header_seconds{0};
std::promise<void> *g_header_done = nullptr;

void read_header_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    std::free(params);
    const auto start = Clock::now();
    char *head = nullptr;
    g_header_result = kelnet_recup_entete(sd, &head);
    g_header_seconds = seconds_since(start);
    std::free(head);
    const char reply = g_header_result > 0 ? 'Y' : 'N';
    net::send(sd, &reply, 1);
    net::close(sd);
    g_header_done->set_value();
}

TEST_F(Limits, HeaderTricklingPastTheDeadlineIsCutOffThere) {
    kelnet_fixe_delais(1, 0, 0);
    std::promise<void> done;
    g_header_done = &done;
    ThreadedListener listener(read_header_routine);
    Sock c = listener.connect();
    ASSERT_TRUE(c.valid());
    const auto start = Clock::now();
    // One byte every 100 ms: the header would be whole only after 3 s.
    const std::string head = "GET http://a/ HTTP/1.0\r\n\r\n";
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (char ch : head) {
            if (stop || net::send(c.get(), &ch, 1) != 1) return;
            std::this_thread::sleep_for(120ms);
        }
    });
    testing::internal::CaptureStderr();
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    const std::string err = testing::internal::GetCapturedStderr();
    stop = true;
    trickle.join();
    // Cut off before the header was whole, which the trickle makes it only
    // after 3 s at the earliest.
    EXPECT_LT(g_header_result.load(), 0);
    EXPECT_GE(seconds_since(start), 0.9);
    EXPECT_NE(err.find("délai de réception de l'en-tête dépassé"), std::string::npos) << err;
    char reply = 0;
    EXPECT_EQ(net::recv(c.get(), &reply, 1), 1);
    EXPECT_EQ(reply, 'N');
}

TEST_F(Limits, HeaderWithinTheDeadlineArrivesWhole) {
    // Far longer than the pause between the two parts, however slow the machine.
    kelnet_fixe_delais(30, 0, 0);
    std::promise<void> done;
    g_header_done = &done;
    ThreadedListener listener(read_header_routine);
    Sock c = listener.connect();
    ASSERT_TRUE(c.valid());
    ASSERT_TRUE(send_all(c.get(), "GET http://a/ HTTP/1.0\r\n"));
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(send_all(c.get(), "Host: a\r\n\r\n"));
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
    EXPECT_EQ(g_header_result.load(), 36);  // the text and its NUL
    char reply = 0;
    EXPECT_EQ(net::recv(c.get(), &reply, 1), 1);
    EXPECT_EQ(reply, 'Y');
}

TEST_F(Limits, HeaderOutsideAConnectionThreadHasNoDeadline) {
    kelnet_fixe_delais(1, 0, 0);
    TcpPair p = tcp_pair();
    std::thread late([&] {
        std::this_thread::sleep_for(1500ms);
        send_all(p.a.get(), "GET / HTTP/1.0\r\n\r\n");
    });
    char *head = nullptr;
    EXPECT_GT(kelnet_recup_entete(p.b.get(), &head), 0);
    std::free(head);
    late.join();
}

// ---- relay idle time-out, bounded sends, drain and writability wait

TEST_F(Limits, QuietRelayEndsAfterTheIdleTimeAndClosesBothSides) {
    kelnet_fixe_delais(0, 1, 0);
    TcpPair left = tcp_pair();
    TcpPair right = tcp_pair();
    const auto start = Clock::now();
    testing::internal::CaptureStderr();
    std::future<int32_t> relay = std::async(std::launch::async, [&] {
        return kelnet_redir2(left.b.release(), right.a.release());
    });
    // Traffic for longer than the idle time keeps it open. Pings come far
    // more often than the idle time, so that no pause of a busy machine
    // makes a gap as long.
    for (int i = 0; i < 1000 && seconds_since(start) < 1.8; ++i) {
        std::this_thread::sleep_for(50ms);
        ASSERT_TRUE(send_all(left.a.get(), "ping"));
        char got[4];
        ASSERT_EQ(kelnet_recv(right.b.get(), got, 4, 0), 4);
    }
    EXPECT_EQ(relay.wait_for(0ms), std::future_status::timeout);
    ASSERT_EQ(relay.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(relay.get(), -5);
    testing::internal::GetCapturedStderr();
    EXPECT_GE(seconds_since(start), 2.6);
    EXPECT_EQ(read_to_end(left.a.get()), "");
    EXPECT_EQ(read_to_end(right.b.get()), "");
}

TEST_F(Limits, RelayToAPeerThatNeverReadsEndsAtTheIdleBound) {
    kelnet_fixe_delais(0, 1, 0);
    Listener origin = listen_loopback();
    // Sockets that kelnet_connecter opens carry the send bound.
    Sock to_origin(kelnet_connecter(loopback(), origin.port_net()));
    ASSERT_TRUE(to_origin.valid());
    Sock origin_side(net::accept(origin.sock.get(), nullptr));
    TcpPair client = tcp_pair();
    testing::internal::CaptureStderr();
    std::future<int32_t> relay = std::async(std::launch::async, [&] {
        return kelnet_redir2(client.b.release(), to_origin.release());
    });
    // The client writes far more than the buffers hold; the origin reads none.
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        const std::string block = pattern(65536);
        while (!stop && send_all(client.a.get(), block)) {
        }
    });
    const auto status = relay.wait_for(30s);  // liveness: without the bound it never ends
    stop = true;
    // Unblocks the writer without touching the socket it sends on: it is
    // closed only once the writer is done with it.
    net::shutdown_both(client.a.get());
    writer.join();
    client.a.reset();
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(status, std::future_status::ready);
    EXPECT_EQ(relay.get(), -3);
}

TEST_F(Limits, CloseDrainsAtMostTheIdleTimeFromAPeerThatKeepsSending) {
    kelnet_fixe_delais(0, 1, 0);
    Listener l = listen_loopback();
    Sock ours(kelnet_connecter(loopback(), l.port_net()));
    Sock theirs(net::accept(l.sock.get(), nullptr));
    std::atomic<bool> stop{false};
    std::atomic<bool> talked_out{false};
    std::thread talker([&] {
        // A minute of talk at most, then an end the drain would see.
        for (int i = 0; i < 1200; ++i) {
            if (stop || net::send(theirs.get(), "x", 1) != 1) return;
            std::this_thread::sleep_for(50ms);
        }
        talked_out = true;
        net::shutdown_send(theirs.get());
    });
    const auto start = Clock::now();
    kelnet_fermer(ours.release());
    const double took = seconds_since(start);
    stop = true;
    talker.join();
    EXPECT_GE(took, 0.9);
    EXPECT_FALSE(talked_out.load()) << "the close waited until the peer stopped, after " << took << " s";
}

TEST_F(Limits, WritabilityWaitGivesUpAtTheIdleTime) {
    kelnet_fixe_delais(0, 1, 0);
    Listener l = listen_loopback();
    Sock ours(kelnet_connecter(loopback(), l.port_net()));
    Sock theirs(net::accept(l.sock.get(), nullptr));
    // Fill every buffer between the two ends without reading.
    const std::string block = pattern(65536);
    while (net::recv_nowait(ours.get(), nullptr, 0) < 0 &&
           net::send(ours.get(), block.data(), block.size()) > 0) {
    }
    const auto start = Clock::now();
    EXPECT_EQ(kelnet_est_connecte(ours.get()), 0);
    EXPECT_GE(seconds_since(start), 0.9);
    EXPECT_EQ(kelnet_msg_err(0), std::string("Connection timed out (WSAETIMEDOUT)"));
}

// ---- connect time-out

TEST_F(Limits, ConnectToAPeerThatNeverAnswersGivesUpAtTheConnectTime) {
    kelnet_fixe_delais(0, 0, 1);
    // A listener whose accept queue is full drops further handshakes.
    Sock l(net::open(net::Kind::Stream));
    ASSERT_TRUE(net::bind(l.get(), loopback(), 0));
    ASSERT_TRUE(net::listen(l.get(), 0));
    const uint16_t port = net::host_to_net16(net::local_port(l.get()));
    std::vector<Sock> fillers;
    for (int i = 0; i < 4; ++i) {
        Sock s(net::open(net::Kind::Stream));
        net::set_io_timeouts(s.get(), 200, 0);
        net::connect(s.get(), loopback(), port);
        fillers.push_back(std::move(s));
    }
    const auto start = Clock::now();
    const uint32_t s = kelnet_connecter(loopback(), port);
    const double took = seconds_since(start);
    if (s != KELNET_INVALIDE) net::close(s);
    ASSERT_EQ(s, KELNET_INVALIDE) << "the full queue took the connection";
    EXPECT_EQ(kelnet_msg_err(0), std::string("Connection timed out (WSAETIMEDOUT)"));
    EXPECT_GE(took, 0.9);
    // Without the bound the kernel's SYN retries go on for minutes; this
    // only tells the two apart.
    EXPECT_LT(took, 30.0);
}

TEST_F(Limits, ConnectedSocketsCarryTheIdleBound) {
    kelnet_fixe_delais(0, 1, 1);
    TcpPair p = tcp_pair();  // a: kelnet_connecter
    char c;
    const auto start = Clock::now();
    EXPECT_EQ(net::recv(p.a.get(), &c, 1), -1);
    EXPECT_EQ(net::last_error(), net::kErrWouldBlock);
    EXPECT_GE(seconds_since(start), 0.9);
}

// Waits for one byte on each accepted connection and answers with what the
// wait gave: '1' a byte, 'E' the idle bound (or another failure). Counts
// the waits that ended.
std::atomic<double> g_wait_seconds{0};
std::atomic<int> g_waits_started{0};
std::atomic<int> g_waits_ended{0};

void wait_byte_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    std::free(params);
    const auto start = Clock::now();
    ++g_waits_started;
    char c = 0;
    const long n = net::recv(sd, &c, 1);
    g_wait_seconds = seconds_since(start);
    const char reply = n == 1 ? '1' : 'E';
    net::send(sd, &reply, 1);
    net::close(sd);
    ++g_waits_ended;
}

bool wait_for(const std::atomic<int> &value, int wanted);

TEST_F(Limits, IdleBoundChangedWhileListeningReachesLaterConnections) {
    g_waits_started = 0;
    g_waits_ended = 0;
    ThreadedListener listener(wait_byte_routine);
    // Accepted without a bound: only its byte, sent well after the wait
    // began, ends the wait.
    Sock first = listener.connect();
    ASSERT_TRUE(first.valid());
    ASSERT_TRUE(wait_for(g_waits_started, 1));
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(net::send(first.get(), "x", 1), 1);
    ASSERT_TRUE(wait_for(g_waits_ended, 1));
    EXPECT_GE(g_wait_seconds.load(), 0.25);
    char reply = 0;
    EXPECT_EQ(net::recv(first.get(), &reply, 1), 1);
    EXPECT_EQ(reply, '1');

    kelnet_fixe_delais(0, 1, 0);
    Sock silent = listener.connect();
    ASSERT_TRUE(silent.valid());
    // Without the bound the silent connection's wait never ends.
    ASSERT_TRUE(wait_for(g_waits_ended, 2)) << "the new bound did not apply";
    EXPECT_GE(g_wait_seconds.load(), 0.9);
    EXPECT_EQ(net::recv(silent.get(), &reply, 1), 1);
    EXPECT_EQ(reply, 'E');
}

// ---- connection cap

std::atomic<int> g_holding{0};
std::atomic<bool> g_release{false};

void hold_routine(void *arg) {
    auto *params = static_cast<kelnet_params *>(arg);
    const uint32_t sd = params->sd;
    std::free(params);
    ++g_holding;
    const auto until = Clock::now() + 20s;
    while (!g_release && Clock::now() < until) std::this_thread::sleep_for(5ms);
    net::send(sd, "served", 6);
    net::close(sd);
    --g_holding;
}

std::atomic<int> g_refused{0};
void refuse_routine(uint32_t sd, kelnet_sockaddr peer) {
    if (peer.famille == 2) net::send(sd, "busy", 4);
    ++g_refused;
}

bool wait_for(const std::atomic<int> &value, int wanted) {
    const auto until = Clock::now() + 10s;
    while (value.load() != wanted) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

TEST_F(Limits, ConnectionsPastTheCapAreRefusedAtOnceAndServedAgainLater) {
    g_holding = 0;
    g_release = false;
    g_refused = 0;
    kelnet_fixe_max_clients(3, refuse_routine);
    ThreadedListener listener(hold_routine);
    std::vector<Sock> held;
    for (int i = 0; i < 3; ++i) {
        held.push_back(listener.connect());
        ASSERT_TRUE(held.back().valid());
    }
    ASSERT_TRUE(wait_for(g_holding, 3));
    EXPECT_EQ(kelnet_nb_clients(), 3);

    // The request already sent must not turn the close into a reset.
    Sock extra = listener.connect();
    ASSERT_TRUE(extra.valid());
    ASSERT_TRUE(send_all(extra.get(), "GET http://a/ HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(read_to_end(extra.get()), "busy");
    EXPECT_EQ(g_refused.load(), 1);
    EXPECT_EQ(g_holding.load(), 3);

    g_release = true;
    for (Sock &s : held) EXPECT_EQ(read_to_end(s.get()), "served");
    ASSERT_TRUE(wait_for(g_holding, 0));
    const auto until = Clock::now() + 5s;
    while (kelnet_nb_clients() != 0 && Clock::now() < until) std::this_thread::sleep_for(2ms);
    EXPECT_EQ(kelnet_nb_clients(), 0);

    Sock later = listener.connect();
    ASSERT_TRUE(later.valid());
    EXPECT_EQ(read_to_end(later.get()), "served");
    EXPECT_EQ(g_refused.load(), 1);
}

}  // namespace
}  // namespace kel::test
