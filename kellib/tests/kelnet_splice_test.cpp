// The two-way relay's kernel-side path: bulk traffic moves through a pipe
// per direction, small exchanges are copied, and a refusal of the kernel
// path falls back to copying without losing a byte.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <string>
#include <thread>

#include "kelnet.h"
#include "kelplat/net.h"
#include "net_helpers.h"

using namespace kel;
using namespace kel::test;

namespace {

// What the relay's thread did, read on that thread when the relay returns.
struct RelayOutcome {
    int32_t result = 0;
    std::uint64_t recv_calls = 0;
    std::uint64_t splice_calls = 0;
    kelnet_bilan bilan{};
};

std::future<RelayOutcome> start_relay(uint32_t first, uint32_t second) {
    return std::async(std::launch::async, [first, second] {
        const std::uint64_t recv0 = net::recv_calls_on_this_thread();
        const std::uint64_t splice0 = net::splice_calls_on_this_thread();
        RelayOutcome o;
        o.result = kelnet_redir2(first, second);
        o.recv_calls = net::recv_calls_on_this_thread() - recv0;
        o.splice_calls = net::splice_calls_on_this_thread() - splice0;
        kelnet_bilan_redir(&o.bilan);
        return o;
    });
}

// client <-> (first | second) <-> server over two loopback connections.
struct Tunnel {
    TcpPair left = tcp_pair();
    TcpPair right = tcp_pair();
    uint32_t client() const { return left.a.get(); }
    uint32_t server() const { return right.b.get(); }
    std::future<RelayOutcome> start() { return start_relay(left.b.release(), right.a.release()); }
};

// Makes the kernel path refuse as a system without it would, for one scope.
class RefuseSplice {
public:
    explicit RefuseSplice(unsigned which) : previous_(net::set_splice_refusal(which)) {}
    ~RefuseSplice() { net::set_splice_refusal(previous_); }
    RefuseSplice(const RefuseSplice &) = delete;
    RefuseSplice &operator=(const RefuseSplice &) = delete;

private:
    unsigned previous_;
};

// One question and one answer through the tunnel, each read back whole
// while it is being sent.
void exchange(Tunnel &t, const std::string &ask, const std::string &answer) {
    std::string got;
    {
        Peer client_sends([&] { send_all(t.client(), ask); });
        got = read_to_end(t.server(), ask.size());
    }
    EXPECT_TRUE(got == ask) << "question of " << ask.size() << " bytes differs";
    {
        Peer server_sends([&] { send_all(t.server(), answer); });
        got = read_to_end(t.client(), answer.size());
    }
    EXPECT_TRUE(got == answer) << "answer of " << answer.size() << " bytes differs";
}

// Sends up and down at once and checks both arrive byte for byte.
void both_ways_at_once(Tunnel &t, const std::string &up, const std::string &down) {
    std::string at_server, at_client;
    {
        Peer client_sends([&] { send_all(t.client(), up); });
        Peer server_sends([&] { send_all(t.server(), down); });
        Peer server_reads([&] { at_server = read_to_end(t.server(), up.size()); });
        at_client = read_to_end(t.client(), down.size());
    }
    EXPECT_EQ(at_server.size(), up.size());
    EXPECT_TRUE(at_server == up);
    EXPECT_EQ(at_client.size(), down.size());
    EXPECT_TRUE(at_client == down);
}

// Ends the exchange from the client's side and returns the relay's outcome.
RelayOutcome close_from_client(Tunnel &t, std::future<RelayOutcome> &relay) {
    t.left.a.reset();
    EXPECT_EQ(read_to_end(t.server()), "");
    t.right.b.reset();
    return relay.get();
}

// The relay's tally: every byte each way, the first ones kept.
::testing::AssertionResult Tallied(const kelnet_bilan &b, const std::string &up, const std::string &down) {
    const auto first = [](const std::string &s) { return s.substr(0, KELNET_BILAN_DEBUT); };
    const std::string kept_up(b.debut_1_vers_2, static_cast<size_t>(b.debut_lng_1_vers_2));
    const std::string kept_down(b.debut_2_vers_1, static_cast<size_t>(b.debut_lng_2_vers_1));
    if (b.octets_1_vers_2 == up.size() && b.octets_2_vers_1 == down.size() && kept_up == first(up) &&
        kept_down == first(down))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << b.octets_1_vers_2 << " bytes up (" << up.size() << " sent), "
                                         << b.octets_2_vers_1 << " down (" << down.size() << " sent), first "
                                         << b.debut_lng_1_vers_2 << " and " << b.debut_lng_2_vers_1 << " kept";
}

constexpr std::size_t kTenMiB = 10u << 20;
// Receives of the copy path for one MiB: one per 16,382 bytes at best.
constexpr std::uint64_t kCopyReceivesPerMiB = (1u << 20) / 16382;

}  // namespace

TEST(SplicedRelay, CarriesTenMebibytesBothWaysAtOnceByteForByte) {
    Tunnel t;
    std::future<RelayOutcome> relay = t.start();
    both_ways_at_once(t, pattern(kTenMiB, 11), pattern(kTenMiB, 12));
    const RelayOutcome o = close_from_client(t, relay);
    EXPECT_EQ(o.result, -2);
    EXPECT_TRUE(Tallied(o.bilan, pattern(kTenMiB, 11), pattern(kTenMiB, 12)));
    EXPECT_GT(o.splice_calls, 0u);
    // Copying 20 MiB would take over 1,280 receives; the kernel path needs
    // only the few that detect bulk traffic and the final end.
    EXPECT_LT(o.recv_calls, 2 * kCopyReceivesPerMiB) << o.recv_calls;
}

TEST(SplicedRelay, SwitchesOverMidStreamAndKeepsOrderAndSmallExchangesPrompt) {
    Tunnel t;
    std::future<RelayOutcome> relay = t.start();
    int small_turns = 0;
    for (int i = 0; i < 10; ++i, small_turns += 2)
        exchange(t, "ask " + std::to_string(i), "answer " + std::to_string(i) + pattern(50 * i));
    // A large answer: its first receive fills the block, the rest of it
    // and everything after goes through the pipe.
    exchange(t, "big", pattern(3u << 20, 5));
    // Small answers still arrive on their own once the direction splices.
    // A held-back last segment would wait for the kernel's 200 ms timer in
    // every exchange; a busy machine slows some of them, never all, so the
    // fastest one tells the two apart.
    auto fastest = std::chrono::steady_clock::duration::max();
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        exchange(t, "again " + std::to_string(i), "small " + std::to_string(i));
        fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    }
    EXPECT_LT(fastest, std::chrono::milliseconds(100))
        << std::chrono::duration_cast<std::chrono::milliseconds>(fastest).count() << " ms";
    // Bulk the other way switches that direction too.
    exchange(t, pattern(2u << 20, 6), "done");
    const RelayOutcome o = close_from_client(t, relay);
    EXPECT_EQ(o.result, -2);
    EXPECT_GT(o.splice_calls, 0u);
    EXPECT_GE(o.recv_calls, static_cast<std::uint64_t>(small_turns));
    EXPECT_LT(o.recv_calls, 2 * kCopyReceivesPerMiB) << o.recv_calls;
}

TEST(SplicedRelay, CopiesEverythingWhenTheKernelRefusesToTakeFromTheSocket) {
    RefuseSplice refuse(net::kRefuseFill);
    Tunnel t;
    std::future<RelayOutcome> relay = t.start();
    exchange(t, "hello", "world");
    both_ways_at_once(t, pattern(3u << 20, 21), pattern(3u << 20, 22));
    exchange(t, "after", "bulk");
    const RelayOutcome o = close_from_client(t, relay);
    EXPECT_EQ(o.result, -2);
    EXPECT_TRUE(Tallied(o.bilan, "hello" + pattern(3u << 20, 21) + "after", "world" + pattern(3u << 20, 22) + "bulk"));
    EXPECT_EQ(o.splice_calls, 0u);
    EXPECT_GE(o.recv_calls, 6 * kCopyReceivesPerMiB);
}

TEST(SplicedRelay, CopiesOutWhatThePipeHoldsWhenTheDestinationRefuses) {
    RefuseSplice refuse(net::kRefuseDrain);
    Tunnel t;
    std::future<RelayOutcome> relay = t.start();
    both_ways_at_once(t, pattern(3u << 20, 31), pattern(3u << 20, 32));
    exchange(t, "after", "bulk");
    const RelayOutcome o = close_from_client(t, relay);
    EXPECT_EQ(o.result, -2);
    EXPECT_TRUE(Tallied(o.bilan, pattern(3u << 20, 31) + "after", pattern(3u << 20, 32) + "bulk"));
    // One fill per direction went into a pipe before the refusal; the
    // bytes it took still arrived, in order.
    EXPECT_GT(o.splice_calls, 0u);
    EXPECT_LE(o.splice_calls, 2u);
    EXPECT_GE(o.recv_calls, 4 * kCopyReceivesPerMiB);
}

TEST(SplicedRelay, DestinationGoneDuringBulkEndsWithMinusThreeAndNoSignal) {
    // The far side is a local stream pair: a write to it once its peer has
    // gone fails with a broken pipe, which would raise SIGPIPE and end the
    // test program if the relay let it through.
    TcpPair source = tcp_pair();  // a: the sender, b: the relay's first socket
    uint32_t local[2];
    ASSERT_TRUE(net::stream_pair(local));
    Sock reader(local[1]);
    const uint32_t relay_source = source.b.release();
    const uint32_t sender_side = source.a.get();
    std::future<RelayOutcome> relay = start_relay(relay_source, local[0]);

    // Enough to switch to the kernel path.
    const std::string first = pattern(1u << 20, 41);
    std::string got;
    {
        Peer sender([&] { send_all(sender_side, first); });
        got = read_to_end(reader.get(), first.size());
    }
    ASSERT_TRUE(got == first);

    // The reader stops reading while the sender goes on until the relay
    // ends, so the relay always has more to pass on.
    testing::internal::CaptureStderr();
    std::atomic<bool> stop{false};
    Peer sender([&] {
        const std::string chunk = pattern(65536, 42);
        for (int i = 0; i < 4096 && !stop; ++i)
            if (!send_all(sender_side, chunk)) break;
        // The relay discards what still comes once it ends, then waits for
        // this end. A shutdown, not a close: the socket stays the test's
        // until the sender is joined.
        net::shutdown_send(sender_side);
    });
    // Bulk is under way: bytes wait in the relay's own socket.
    bool waiting[1] = {false};
    const net::Socket relay_side[1] = {relay_source};
    const bool in_flight = net::wait_readable_for(relay_side, waiting, 1, 60000) == 1;
    // The destination goes by shutting its receiving side: the relay's next
    // write, or the one it is blocked in, fails with a broken pipe. A close
    // would also make the relay's second socket readable, and a relay that
    // had caught up with the sender would end on that side (-4 or -2)
    // before writing again.
    EXPECT_EQ(::shutdown(static_cast<int>(reader.get()), SHUT_RD), 0);
    // The relay's end of the exchange reaches the sender as a close. The
    // bound only guards against a hang.
    const net::Socket sender_sock[1] = {sender_side};
    bool ended[1] = {false};
    EXPECT_EQ(net::wait_readable_for(sender_sock, ended, 1, 60000), 1);
    stop = true;
    // Lets the relay's close of its second socket see the reader's end.
    reader.reset();
    const RelayOutcome o = relay.get();
    const std::string err = testing::internal::GetCapturedStderr();
    sender.join();
    ASSERT_TRUE(in_flight);
    EXPECT_EQ(o.result, -3);
    // The failed write was a splice, not a copy after a refusal.
    EXPECT_GT(o.splice_calls, 4u);
    const std::size_t send_line = err.find("ERROR: erreur a l'envoi : connexion fermee prematurement ?\n");
    const std::size_t relay_line =
        err.find("ERROR: Le client d'une redirection a ferme sa connexion\nkelnet line ");
    EXPECT_NE(send_line, std::string::npos) << err;
    EXPECT_NE(relay_line, std::string::npos) << err;
    EXPECT_LT(send_line, relay_line) << err;
}
