#include <gtest/gtest.h>

#include <cstdlib>
#include <future>
#include <string>

#include "kelnet.h"
#include "kelplat/net.h"
#include "net_helpers.h"

using namespace kel;
using namespace kel::test;

namespace {

// client <-> (relay_client | relay_server) <-> server, two TCP connections.
struct Tunnel {
    TcpPair left = tcp_pair();   // a: the client, b: the relay's first socket
    TcpPair right = tcp_pair();  // a: the relay's second socket, b: the server
    uint32_t client() const { return left.a.get(); }
    uint32_t server() const { return right.b.get(); }
    // The relay owns and closes its two sockets.
    uint32_t relay_first() { return left.b.release(); }
    uint32_t relay_second() { return right.a.release(); }
};

kelnet_paire *heap_pair(uint32_t sd1, uint32_t sd2) {
    auto *p = static_cast<kelnet_paire *>(std::malloc(sizeof(kelnet_paire)));
    *p = kelnet_paire{sd1, sd2};
    return p;
}

}  // namespace

TEST(Relay, ForwardsMessagesBothWaysAndEndsWhenASideCloses) {
    Tunnel t;
    std::future<int32_t> relay = std::async(std::launch::async, [a = t.relay_first(),
                                                                 b = t.relay_second()] {
        return kelnet_redir2(a, b);
    });
    for (int i = 0; i < 5; ++i) {
        const std::string ask = "question " + std::to_string(i);
        const std::string answer = "answer " + std::to_string(i) + pattern(100 * i);
        ASSERT_EQ(kelnet_envoie_str(t.client(), ask.c_str()), 0);
        std::string got(ask.size(), '\0');
        ASSERT_EQ(kelnet_recv(t.server(), got.data(), static_cast<int32_t>(got.size()), 0),
                  static_cast<int32_t>(got.size()));
        EXPECT_EQ(got, ask);
        ASSERT_EQ(kelnet_envoie(t.server(), answer.data(), static_cast<int32_t>(answer.size())), 0);
        got.assign(answer.size(), '\0');
        ASSERT_EQ(kelnet_recv(t.client(), got.data(), static_cast<int32_t>(got.size()), 0),
                  static_cast<int32_t>(got.size()));
        EXPECT_EQ(got, answer);
    }
    t.left.a.reset();  // the client leaves
    // The relay ends its side toward the server, which then closes too.
    EXPECT_EQ(read_to_end(t.server()), "");
    t.right.b.reset();
    EXPECT_EQ(relay.get(), -2);
}

TEST(Relay, DeliversAWholeResponseBeforeClosing) {
    Tunnel t;
    const std::string body = pattern(100000);
    std::future<int32_t> relay = std::async(std::launch::async, [a = t.relay_first(),
                                                                 b = t.relay_second()] {
        return kelnet_redir2(a, b);
    });
    ASSERT_TRUE(send_all(t.server(), body));
    t.right.b.reset();
    const std::string got = read_to_end(t.client());
    EXPECT_EQ(got.size(), body.size());
    EXPECT_TRUE(got == body);
    t.left.a.reset();
    EXPECT_EQ(relay.get(), -2);
}

TEST(Relay, CarriesSimultaneousTrafficInBothDirections) {
    Tunnel t;
    const std::string up = pattern(3u << 20, 1);
    const std::string down = pattern(3u << 20, 2);
    std::future<int32_t> relay = std::async(std::launch::async, [a = t.relay_first(),
                                                                 b = t.relay_second()] {
        return kelnet_redir2(a, b);
    });
    std::string at_server, at_client;
    {
        Peer client_sends([&] { send_all(t.client(), up); });
        Peer server_sends([&] { send_all(t.server(), down); });
        Peer server_reads([&] { at_server = read_to_end(t.server(), up.size()); });
        at_client = read_to_end(t.client(), down.size());
    }
    EXPECT_TRUE(at_server == up) << at_server.size();
    EXPECT_TRUE(at_client == down) << at_client.size();
    t.right.b.reset();
    EXPECT_EQ(read_to_end(t.client()), "");
    t.left.a.reset();
    EXPECT_EQ(relay.get(), -2);
}

TEST(Relay, ClientResetWhileTheServerSendsEndsTheRelay) {
    Tunnel t;
    std::future<int32_t> relay = std::async(std::launch::async, [a = t.relay_first(),
                                                                 b = t.relay_second()] {
        return kelnet_redir2(a, b);
    });
    std::string first(1000, '\0');
    bool server_saw_end = false;
    testing::internal::CaptureStderr();
    {
        Peer server([&] {
            const std::string chunk = pattern(16384);
            for (int i = 0; i < 128; ++i)
                if (!send_all(t.server(), chunk)) break;
            // The relay ended our connection.
            server_saw_end = read_to_end(t.server()).size() < 1u << 20;
            t.right.b.reset();
        });
        ASSERT_EQ(kelnet_recv(t.client(), first.data(), 1000, 0), 1000);
        net::close_with_reset(t.left.a.release());
        const int32_t r = relay.get();
        EXPECT_TRUE(r == -3 || r == -4) << r;
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(server_saw_end);
    EXPECT_NE(err.find("ERROR: "), std::string::npos) << err;
}

TEST(Relay, ThreadEntryRunsOnAPairAndReleasesIt) {
    Tunnel t;
    std::thread relay(kelnet_redir2_thread, heap_pair(t.relay_first(), t.relay_second()));
    ASSERT_EQ(kelnet_envoie_str(t.client(), "ping"), 0);
    char buf[4];
    ASSERT_EQ(kelnet_recv(t.server(), buf, 4, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    t.left.a.reset();
    EXPECT_EQ(read_to_end(t.server()), "");
    t.right.b.reset();
    relay.join();

    testing::internal::CaptureStderr();
    kelnet_redir2_thread(nullptr);
    kelnet_redir1_thread(nullptr);
    kelnet_forward_thread(nullptr);
    const std::string err = testing::internal::GetCapturedStderr();
    int lines = 0;
    for (std::size_t at = err.find("ERROR: kelnet line "); at != std::string::npos;
         at = err.find("ERROR: kelnet line ", at + 1))
        ++lines;
    EXPECT_EQ(lines, 3) << err;
}

TEST(OneWayRelay, DeliversEveryByteIncludingTheLastPartialBlock) {
    for (std::size_t size : {std::size_t{10}, std::size_t{16382}, std::size_t{100000}}) {
        Tunnel t;
        const std::string data = pattern(size, static_cast<unsigned>(size));
        std::future<int32_t> relay = std::async(std::launch::async, [a = t.relay_first(),
                                                                     b = t.relay_second()] {
            return kelnet_redir1(a, b);
        });
        Peer client([&] {
            send_all(t.client(), data);
            t.left.a.reset();
        });
        const std::string got = read_to_end(t.server());
        EXPECT_EQ(got.size(), data.size());
        EXPECT_TRUE(got == data);
        t.right.b.reset();
        EXPECT_EQ(relay.get(), -2);
    }
}

TEST(OneWayRelay, ThreadEntryTakesSourceThenDestination) {
    Tunnel t;
    std::thread relay(kelnet_redir1_thread, heap_pair(t.relay_first(), t.relay_second()));
    ASSERT_EQ(kelnet_envoie_str(t.client(), "one way"), 0);
    t.left.a.reset();
    EXPECT_EQ(read_to_end(t.server()), "one way");
    t.right.b.reset();
    relay.join();
}

TEST(OneWayRelay, DestinationGoneEndsWithMinusThree) {
    Tunnel t;
    net::close_with_reset(t.right.b.release());
    const std::string data = pattern(16382 * 4);
    Peer client([&] {
        send_all(t.client(), data);
        t.left.a.reset();
    });
    testing::internal::CaptureStderr();
    const int32_t r = kelnet_redir1(t.relay_first(), t.relay_second());
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r, -3);
    EXPECT_NE(err.find("ERROR: Le client d'une redirection a ferme sa connexion\nkelnet line "),
              std::string::npos)
        << err;
}

TEST(Forward, RelaysTheFirstIncomingConnectionOnly) {
    Listener l = listen_loopback();
    TcpPair upstream = tcp_pair();  // a: handed to the forward, b: the far end
    ASSERT_EQ(kelnet_forward(l.sock.get(), upstream.a.release()), 0);

    Sock first(kelnet_connecter(loopback(), l.port_net()));
    ASSERT_TRUE(first.valid());
    ASSERT_EQ(kelnet_envoie_str(first.get(), "hello"), 0);
    char buf[5];
    ASSERT_EQ(kelnet_recv(upstream.b.get(), buf, 5, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    ASSERT_EQ(kelnet_envoie_str(upstream.b.get(), "back"), 0);
    ASSERT_EQ(kelnet_recv(first.get(), buf, 4, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "back");

    // A second connection waits in the listening socket, untaken.
    Sock second(kelnet_connecter(loopback(), l.port_net()));
    ASSERT_TRUE(second.valid());
    Sock taken(net::accept(l.sock.get(), nullptr));
    EXPECT_TRUE(taken.valid());

    first.reset();
    EXPECT_EQ(read_to_end(upstream.b.get()), "");
}
