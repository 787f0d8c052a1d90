#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kelnet.h"
#include "kelplat/net.h"
#include "net_helpers.h"

using namespace kel;
using namespace kel::test;

namespace {

// A received block, released at the end of the scope.
struct Block {
    char *p = nullptr;
    ~Block() { std::free(p); }
};

// Local stream pair: a send is in the reader's queue when it returns, so
// a writer can hand over data in separate arrivals.
struct StreamPair {
    Sock writer, reader;
    StreamPair() {
        net::Socket s[2];
        EXPECT_TRUE(net::stream_pair(s));
        writer = Sock(s[0]);
        reader = Sock(s[1]);
    }
};

// Sends each part as its own arrival, waiting until the reader took the
// previous one. The last part may stay unread.
void send_in_parts(uint32_t writer, uint32_t reader, const std::vector<std::string> &parts) {
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0 && !wait_until_drained(reader)) return;
        if (!send_all(writer, parts[i])) return;
    }
}

const std::string kHeader =
    "GET http://a.test/x HTTP/1.1\r\nHost: a.test\r\nAccept: */*\r\n\r\n";

}  // namespace

TEST(HeaderReception, LeavesTheBodyInTheSocket) {
    TcpPair p = tcp_pair();
    ASSERT_TRUE(send_all(p.a.get(), kHeader + "BODY"));
    Block b;
    ASSERT_EQ(kelnet_recup_entete(p.b.get(), &b.p), static_cast<int32_t>(kHeader.size() + 1));
    EXPECT_EQ(std::string(b.p), kHeader);
    char body[4];
    ASSERT_EQ(kelnet_recv(p.b.get(), body, 4, 0), 4);
    EXPECT_EQ(std::string(body, 4), "BODY");
}

TEST(HeaderReception, CompletesWhateverTheReadBoundaries) {
    for (std::size_t cut = 1; cut < kHeader.size(); ++cut) {
        StreamPair s;
        Peer writer([&] {
            send_in_parts(s.writer.get(), s.reader.get(),
                          {kHeader.substr(0, cut), kHeader.substr(cut) + "NEXT"});
        });
        Block b;
        ASSERT_EQ(kelnet_recup_entete(s.reader.get(), &b.p),
                  static_cast<int32_t>(kHeader.size() + 1))
            << "cut " << cut;
        EXPECT_EQ(std::string(b.p), kHeader) << "cut " << cut;
        writer.join();
        char next[4];
        ASSERT_EQ(kelnet_recv(s.reader.get(), next, 4, 0), 4);
        EXPECT_EQ(std::string(next, 4), "NEXT") << "cut " << cut;
    }
}

TEST(HeaderReception, AssemblesAHeaderArrivingOneBytePerPacket) {
    StreamPair s;
    std::vector<std::string> bytes;
    for (char c : kHeader + "X") bytes.emplace_back(1, c);
    Peer writer([&] { send_in_parts(s.writer.get(), s.reader.get(), bytes); });
    Block b;
    const uint64_t before = net::recv_calls_on_this_thread();
    ASSERT_EQ(kelnet_recup_entete(s.reader.get(), &b.p), static_cast<int32_t>(kHeader.size() + 1));
    const uint64_t calls = net::recv_calls_on_this_thread() - before;
    EXPECT_EQ(std::string(b.p), kHeader);
    writer.join();
    // One peek and one read per arrival at most.
    EXPECT_LE(calls, 2 * kHeader.size());
    char x;
    ASSERT_EQ(kelnet_recv(s.reader.get(), &x, 1, 0), 1);
    EXPECT_EQ(x, 'X');
}

TEST(HeaderReception, AOneKilobyteHeaderArrivingWholeCostsAHandfulOfReceives) {
    std::string header = "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n";
    while (header.size() < 1000) header += "X-Filler: " + std::string(40, 'f') + "\r\n";
    header += "\r\n";
    ASSERT_GE(header.size(), 1000u);
    TcpPair p = tcp_pair();
    ASSERT_TRUE(send_all(p.a.get(), header + "body that stays"));
    // Let everything arrive before reception starts.
    ASSERT_EQ(kelnet_est_connecte(p.b.get()), 1);
    Block b;
    const uint64_t before = net::recv_calls_on_this_thread();
    ASSERT_EQ(kelnet_recup_entete(p.b.get(), &b.p), static_cast<int32_t>(header.size() + 1));
    const uint64_t calls = net::recv_calls_on_this_thread() - before;
    EXPECT_EQ(std::string(b.p), header);
    EXPECT_LE(calls, 4u) << "receive calls for a " << header.size() << "-byte header";
    EXPECT_EQ(net::unread_bytes(p.b.get()), 15);
    RecordProperty("receive_calls_1k_header", static_cast<int>(calls));
}

TEST(HeaderReception, ABlankLineAloneIsAHeader) {
    StreamPair s;
    ASSERT_TRUE(send_all(s.writer.get(), "\r\n\r\nX"));
    Block b;
    ASSERT_EQ(kelnet_recup_entete(s.reader.get(), &b.p), 5);
    EXPECT_STREQ(b.p, "\r\n\r\n");
    EXPECT_EQ(net::unread_bytes(s.reader.get()), 1);
}

TEST(HeaderReception, PeerClosingMidHeaderGivesBothLines) {
    StreamPair s;
    ASSERT_TRUE(send_all(s.writer.get(), "GET http://a.test/ HTTP/1.1\r\nHo"));
    s.writer.reset();
    Block b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recup_entete(s.reader.get(), &b.p), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    const auto first = err.find("ERROR: Connexion fermée prématurément\nkelnet line ");
    const auto second = err.find("ERROR: erreur de réception\nkelnet line ");
    ASSERT_NE(first, std::string::npos) << err;
    ASSERT_NE(second, std::string::npos) << err;
    EXPECT_LT(first, second);
}

TEST(HeaderReception, RefusesAnEndlessHeaderAfterReadingExactlyTheLimit) {
    TcpPair p = tcp_pair();
    const std::string data(600000, 'a');
    Peer writer([&] {
        send_all(p.a.get(), data);
        p.a.reset();
    });
    Block b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recup_entete(p.b.get(), &b.p), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("ERROR: requête énorme : erreur ?\nkelnet line ", 0), 0u) << err;
    writer.join();
    EXPECT_EQ(read_to_end(p.b.get()).size(), 600000u - 524288u);
}

TEST(HeaderReception, AcceptsAHeaderOneByteBelowTheLimitAndRefusesOneAtIt) {
    for (std::size_t size : {524287u, 524288u}) {
        std::string header = "GET / HTTP/1.1\r\nX-Big: ";
        header += std::string(size - header.size() - 4, 'b');
        header += "\r\n\r\n";
        ASSERT_EQ(header.size(), size);
        TcpPair p = tcp_pair();
        Peer writer([&] { send_all(p.a.get(), header + "after"); });
        Block b;
        testing::internal::CaptureStderr();
        const int32_t r = kelnet_recup_entete(p.b.get(), &b.p);
        const std::string err = testing::internal::GetCapturedStderr();
        writer.join();
        if (size < 524288u) {
            EXPECT_EQ(r, static_cast<int32_t>(size + 1));
            EXPECT_TRUE(std::string(b.p) == header);
            EXPECT_EQ(err, "");
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_NE(err.find("requête énorme"), std::string::npos) << err;
        }
        char after[5];
        ASSERT_EQ(kelnet_recv(p.b.get(), after, 5, 0), 5) << size;
        EXPECT_EQ(std::string(after, 5), "after");
    }
}

TEST(Reception, StopsAtTheMaximum) {
    TcpPair p = tcp_pair();
    ASSERT_TRUE(send_all(p.a.get(), pattern(300)));
    Block b;
    int32_t len = -1;
    EXPECT_EQ(kelnet_recup(p.b.get(), &b.p, &len, 100, 0), 0);
    EXPECT_EQ(len, 100);
    EXPECT_EQ(std::string(b.p, 100), pattern(300).substr(0, 100));
    p.a.reset();
    EXPECT_EQ(read_to_end(p.b.get()).size(), 200u);
}

TEST(Reception, MaximumAboveOneBlockGrowsAndStopsExactly) {
    TcpPair p = tcp_pair();
    const std::string data = pattern(5000);
    ASSERT_TRUE(send_all(p.a.get(), data));
    Block b;
    int32_t len = -1;
    EXPECT_EQ(kelnet_recup(p.b.get(), &b.p, &len, 3000, 1), 0);
    ASSERT_EQ(len, 3000);
    EXPECT_TRUE(std::string(b.p, 3000) == data.substr(0, 3000));
}

TEST(Reception, ToleratedCloseKeepsEverythingNulTerminated) {
    TcpPair p = tcp_pair();
    std::string data(5000, 'q');
    for (std::size_t i = 0; i < data.size(); i += 7) data[i] = static_cast<char>('a' + i % 26);
    Peer writer([&] {
        send_all(p.a.get(), data);
        p.a.reset();
    });
    Block b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recup_str(p.b.get(), &b.p, 0, nullptr, 1), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    ASSERT_NE(b.p, nullptr);
    EXPECT_EQ(std::strlen(b.p), 5000u);
    EXPECT_TRUE(std::string(b.p) == data);
}

TEST(Reception, UntoleratedCloseIsReportedAndKeepsTheData) {
    TcpPair p = tcp_pair();
    ASSERT_TRUE(send_all(p.a.get(), "partial"));
    p.a.reset();
    Block b;
    int32_t len = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recup(p.b.get(), &b.p, &len, 0, 0), -2);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("ERROR: Connexion fermée prématurément\nkelnet line ", 0), 0u) << err;
    EXPECT_EQ(len, 7);
    EXPECT_STREQ(b.p, "partial");
}

TEST(Reception, StopsAfterAnyTerminatorSplitAcrossArrivals) {
    StreamPair s;
    Peer writer([&] {
        send_in_parts(s.writer.get(), s.reader.get(), {"abc<E", "N", "D>rest"});
    });
    Block b;
    int32_t len = 0;
    EXPECT_EQ(kelnet_recup_brut(s.reader.get(), &b.p, &len, 0, "<END>", 5, 0), 0);
    writer.join();
    EXPECT_EQ(len, 8);
    EXPECT_STREQ(b.p, "abc<END>");
    EXPECT_EQ(net::unread_bytes(s.reader.get()), 4);
}

TEST(Reception, MaximumBelowTheTerminatorsEndStopsThere) {
    StreamPair s;
    ASSERT_TRUE(send_all(s.writer.get(), "0123456789\r\n\r\n"));
    Block b;
    EXPECT_EQ(kelnet_recup_str(s.reader.get(), &b.p, 6, "\r\n\r\n", 0), 0);
    EXPECT_STREQ(b.p, "012345");
    EXPECT_EQ(net::unread_bytes(s.reader.get()), 8);
}

TEST(Reception, FailedReceiveAndBadArguments) {
    Block b;
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recup(KELNET_INVALIDE, &b.p, nullptr, 0, 0), -3);
    EXPECT_EQ(kelnet_recup(KELNET_INVALIDE, nullptr, nullptr, 0, 0), -1);
    Block c;
    EXPECT_EQ(kelnet_recup(KELNET_INVALIDE, &c.p, nullptr, -5, 0), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Erreur de connexion\nkelnet line "), std::string::npos) << err;
    EXPECT_NE(err.find("ERROR: Parametre null\nkelnet line "), std::string::npos) << err;
    ASSERT_NE(b.p, nullptr);  // the block is the caller's whatever the result
    EXPECT_STREQ(b.p, "");
}

TEST(StringReception, StopsAtTheNulByte) {
    StreamPair s;
    ASSERT_TRUE(send_all(s.writer.get(), std::string("abc\0def", 7)));
    char buf[8];
    EXPECT_EQ(kelnet_recv_str(s.reader.get(), buf, 8, 0), 3);
    EXPECT_STREQ(buf, "abc");
    EXPECT_EQ(net::unread_bytes(s.reader.get()), 3);
}

TEST(StringReception, FullBufferWithoutNulAndEarlyClose) {
    StreamPair s;
    ASSERT_TRUE(send_all(s.writer.get(), "abcdefghij"));
    char buf[4];
    EXPECT_EQ(kelnet_recv_str(s.reader.get(), buf, 4, 0), 4);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    s.writer.reset();
    char rest[16];
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recv_str(s.reader.get(), rest, 16, 1), -2);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_EQ(kelnet_recv_str(s.reader.get(), rest, 16, 0), -2);
    EXPECT_EQ(kelnet_recv_str(s.reader.get(), rest, 0, 0), -1);
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("ERROR: Connexion fermée prématurément\n"), std::string::npos) << err;
    EXPECT_NE(err.find("ERROR: Buffer vide\n"), std::string::npos) << err;
}
