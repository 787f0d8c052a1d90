// The SOCKS codec decides from whatever prefix has arrived, never reads past
// a message, and its builders write the bytes the RFCs lay out.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "messages.h"

namespace kel::socks::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::initializer_list<int> list) {
    Bytes out;
    for (int b : list) out.push_back(static_cast<std::uint8_t>(b));
    return out;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes operator+(Bytes a, const std::string &s) {
    a.insert(a.end(), s.begin(), s.end());
    return a;
}

std::span<const std::uint8_t> first(const Bytes &b, std::size_t n) { return {b.data(), n}; }

// Every proper prefix is NeedMore, the whole is Complete with used == size,
// and bytes after it are neither consumed nor change the value.
template <class Parse>
::testing::AssertionResult CompletesWhateverTheCut(Parse parse, const Bytes &msg) {
    for (std::size_t cut = 0; cut < msg.size(); ++cut) {
        const auto r = parse(first(msg, cut));
        if (r.status != Status::NeedMore)
            return ::testing::AssertionFailure() << "cut " << cut << " of " << msg.size() << " is not NeedMore";
    }
    const auto whole = parse(std::span<const std::uint8_t>(msg));
    if (whole.status != Status::Complete || whole.used != msg.size())
        return ::testing::AssertionFailure() << "whole message of " << msg.size() << " bytes: status "
                                             << static_cast<int>(whole.status) << ", used " << whole.used;
    for (const Bytes &tail : {bytes({0x00}), bytes({0x05, 0x01, 0x00}), Bytes(300, 0x41)}) {
        const Bytes more = msg + tail;
        const auto r = parse(std::span<const std::uint8_t>(more));
        if (r.status != Status::Complete || r.used != msg.size())
            return ::testing::AssertionFailure() << "with " << tail.size() << " trailing bytes: used " << r.used;
        if (!(r.value == whole.value))
            return ::testing::AssertionFailure() << "trailing bytes changed the value";
    }
    return ::testing::AssertionSuccess();
}

template <class Parse>
auto parse_all(Parse parse, const Bytes &msg) {
    return parse(std::span<const std::uint8_t>(msg));
}

const Bytes kIpv6Loopback = bytes({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});

TEST(SocksMessages, EveryMessageCompletesWhateverTheCut) {
    EXPECT_TRUE(CompletesWhateverTheCut(parse_greeting, bytes({5, 2, 0, 2})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_greeting, bytes({5, 0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_credentials, bytes({1, 3}) + "bob" + bytes({2}) + "pw"));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_credentials, bytes({1, 0, 0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request5, bytes({5, 1, 0, 1, 127, 0, 0, 1, 0x1F, 0x90})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request5, bytes({5, 1, 0, 4}) + kIpv6Loopback + bytes({0, 80})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request5, bytes({5, 1, 0, 3, 6}) + "a.test" + bytes({1, 0xBB})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request5, bytes({5, 3, 0, 1, 0, 0, 0, 0, 0, 0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4, bytes({4, 1, 0, 80, 127, 0, 0, 1}) + "bob" + bytes({0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4, bytes({4, 1, 0, 80, 10, 0, 0, 1, 0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4,
                                        bytes({4, 1, 0, 80, 0, 0, 0, 1}) + "bob" + bytes({0}) + "a.test" + bytes({0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4, bytes({4, 1, 0, 80, 0, 0, 0, 9, 0}) + "h" + bytes({0})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_udp_header, bytes({0, 0, 0, 1, 10, 0, 0, 2, 0, 53})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_udp_header, bytes({0, 0, 0, 4}) + kIpv6Loopback + bytes({0, 53})));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_udp_header, bytes({0, 0, 0, 3, 1}) + "x" + bytes({0, 53})));
}

TEST(SocksMessages, GreetingOffersExactlyTheListedMethods) {
    const auto r = parse_all(parse_greeting, bytes({5, 3, 0x02, 0x80, 0x02}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.value.offered.count(), 2u);
    EXPECT_TRUE(r.value.offers(kMethodUserPassword));
    EXPECT_TRUE(r.value.offers(0x80));
    EXPECT_FALSE(r.value.offers(kMethodNoAuth));
}

TEST(SocksMessages, GreetingOfNoMethodsOffersNothing) {
    const auto r = parse_all(parse_greeting, bytes({5, 0}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.used, 2u);
    EXPECT_TRUE(r.value.offered.none());
}

TEST(SocksMessages, GreetingOf255Methods) {
    Bytes msg = bytes({5, 255});
    for (int m = 0; m < 255; ++m) msg.push_back(static_cast<std::uint8_t>(m));
    EXPECT_TRUE(CompletesWhateverTheCut(parse_greeting, msg));
    const auto r = parse_all(parse_greeting, msg);
    EXPECT_EQ(r.value.offered.count(), 255u);
    EXPECT_FALSE(r.value.offers(0xFF));
}

TEST(SocksMessages, WrongVersionIsRefusedAtTheFirstByte) {
    for (int version : {0, 1, 4, 6, int{'G'}, int{'C'}, 0xFF}) {
        const Bytes one = bytes({version});
        const auto g = parse_all(parse_greeting, one);
        EXPECT_EQ(g.status, Status::Invalid) << version;
        EXPECT_FALSE(g.reply_code.has_value()) << "a non-SOCKS 5 client gets a silent close";
        const auto r = parse_all(parse_request5, one);
        EXPECT_EQ(r.status, Status::Invalid) << version;
        EXPECT_EQ(r.reply_code, kReplyGeneralFailure);
    }
    const auto c = parse_all(parse_credentials, bytes({5}));
    EXPECT_EQ(c.status, Status::Invalid);
    EXPECT_EQ(c.reply_code, kAuthFailure);
    const auto s4 = parse_all(parse_request4, bytes({5}));
    EXPECT_EQ(s4.status, Status::Invalid);
    EXPECT_FALSE(s4.reply_code.has_value());
}

TEST(SocksMessages, CredentialsOfEmptyAndLongestFields) {
    const auto empty = parse_all(parse_credentials, bytes({1, 0, 0}));
    ASSERT_EQ(empty.status, Status::Complete);
    EXPECT_EQ(empty.value.user, "");
    EXPECT_EQ(empty.value.password, "");

    const std::string user(255, 'u'), pass(255, 'p');
    const Bytes longest = bytes({1, 255}) + user + bytes({255}) + pass;
    EXPECT_TRUE(CompletesWhateverTheCut(parse_credentials, longest));
    const auto r = parse_all(parse_credentials, longest);
    EXPECT_EQ(r.used, 2u + 255 + 1 + 255);
    EXPECT_EQ(r.value.user, user);
    EXPECT_EQ(r.value.password, pass);

    const auto only_user = parse_all(parse_credentials, bytes({1, 1}) + "a" + bytes({0}));
    ASSERT_EQ(only_user.status, Status::Complete);
    EXPECT_EQ(only_user.value.user, "a");
    EXPECT_EQ(only_user.value.password, "");
}

TEST(SocksMessages, CredentialsKeepEveryByteAsSent) {
    const auto r = parse_all(parse_credentials, bytes({1, 3, 'a', 0, 0xFF, 2, 0, ':'}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.value.user, std::string("a\0\xFF", 3));
    EXPECT_EQ(r.value.password, std::string("\0:", 2));
}

TEST(SocksMessages, RequestTargetsOfEachAddressType) {
    const auto v4 = parse_all(parse_request5, bytes({5, 1, 0, 1, 192, 168, 1, 20, 0x1F, 0x90}));
    ASSERT_EQ(v4.status, Status::Complete);
    EXPECT_EQ(v4.value.command, kCommandConnect);
    EXPECT_EQ(v4.value.target.kind, Address::Kind::IPv4);
    EXPECT_EQ(v4.value.target.ip, (std::array<std::uint8_t, 16>{192, 168, 1, 20}));
    EXPECT_EQ(v4.value.target.port, 8080);

    const Bytes ip6 = bytes({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd});
    const auto v6 = parse_all(parse_request5, bytes({5, 2, 0, 4}) + ip6 + bytes({0xFF, 0xFE}));
    ASSERT_EQ(v6.status, Status::Complete);
    EXPECT_EQ(v6.used, 22u);
    EXPECT_EQ(v6.value.command, kCommandBind);
    EXPECT_EQ(v6.value.target.kind, Address::Kind::IPv6);
    EXPECT_TRUE(std::equal(ip6.begin(), ip6.end(), v6.value.target.ip.begin()));
    EXPECT_EQ(v6.value.target.port, 0xFFFE);

    const auto name = parse_all(parse_request5, bytes({5, 1, 0, 3, 6}) + "a.test" + bytes({1, 0xBB}));
    ASSERT_EQ(name.status, Status::Complete);
    EXPECT_EQ(name.value.target.kind, Address::Kind::Domain);
    EXPECT_EQ(name.value.target.host, "a.test");
    EXPECT_EQ(name.value.target.port, 443);
    EXPECT_EQ(name.value.target.ip, (std::array<std::uint8_t, 16>{}));
}

TEST(SocksMessages, RequestDomainOf255BytesAndOfNone) {
    const std::string host(255, 'h');
    const Bytes longest = bytes({5, 1, 0, 3, 255}) + host + bytes({0, 80});
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request5, longest));
    EXPECT_EQ(parse_all(parse_request5, longest).value.target.host, host);

    // Refused as soon as the length byte arrives; the port need not follow.
    const auto empty = parse_all(parse_request5, bytes({5, 1, 0, 3, 0}));
    EXPECT_EQ(empty.status, Status::Invalid);
    EXPECT_EQ(empty.reply_code, kReplyGeneralFailure);
}

TEST(SocksMessages, RequestOfUnknownAddressTypeCannotBeFramed) {
    for (int atyp : {0, 2, 5, 0xFF}) {
        const auto r = parse_all(parse_request5, bytes({5, 1, 0, atyp}));
        EXPECT_EQ(r.status, Status::Invalid) << atyp;
        EXPECT_EQ(r.reply_code, kReplyAddressTypeNotSupported) << atyp;
    }
}

TEST(SocksMessages, RequestOfUnknownCommandCompletesWithItsValue) {
    const auto r = parse_all(parse_request5, bytes({5, 0x09, 0, 1, 127, 0, 0, 1, 0, 80}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.value.command, 0x09);
    // Its address must still frame: the reply comes after the whole request.
    EXPECT_EQ(parse_all(parse_request5, bytes({5, 0x09, 0, 7})).reply_code, kReplyAddressTypeNotSupported);
}

TEST(SocksMessages, RequestAcceptsNonZeroReserved) {
    const auto r = parse_all(parse_request5, bytes({5, 1, 0xA5, 1, 127, 0, 0, 1, 0, 80}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.value.target.port, 80);
}

TEST(SocksMessages, Socks4RequestCarriesPortAddressAndUserId) {
    const auto r = parse_all(parse_request4, bytes({4, 1, 0x1F, 0x90, 10, 1, 2, 3}) + "alice" + bytes({0}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.used, 14u);
    EXPECT_FALSE(r.value.is_4a());
    EXPECT_EQ(r.value.command, kCommandConnect);
    EXPECT_EQ(r.value.target.kind, Address::Kind::IPv4);
    EXPECT_EQ(r.value.target.ip, (std::array<std::uint8_t, 16>{10, 1, 2, 3}));
    EXPECT_EQ(r.value.target.port, 8080);
    EXPECT_EQ(r.value.user_id, "alice");

    const auto unknown = parse_all(parse_request4, bytes({4, 0x7F, 0, 80, 10, 1, 2, 3, 0}));
    ASSERT_EQ(unknown.status, Status::Complete);
    EXPECT_EQ(unknown.value.command, 0x7F);
}

TEST(SocksMessages, Socks4aOnlyForAddressesOfZeroZeroZeroNonZero) {
    const Bytes tail = bytes({0}) + "a.test" + bytes({0});
    // 0.0.0.0 is plain SOCKS 4: what follows the user id is not read.
    const auto zero = parse_all(parse_request4, bytes({4, 1, 0, 80, 0, 0, 0, 0}) + tail);
    ASSERT_EQ(zero.status, Status::Complete);
    EXPECT_EQ(zero.used, 9u);
    EXPECT_FALSE(zero.value.is_4a());
    EXPECT_EQ(zero.value.target.ip, (std::array<std::uint8_t, 16>{}));

    for (int x : {1, 2, 255}) {
        const auto r = parse_all(parse_request4, bytes({4, 1, 0, 80, 0, 0, 0, x}) + tail);
        ASSERT_EQ(r.status, Status::Complete) << x;
        EXPECT_EQ(r.used, 16u);
        EXPECT_TRUE(r.value.is_4a());
        EXPECT_EQ(r.value.target.host, "a.test");
        EXPECT_EQ(r.value.target.port, 80);
        EXPECT_EQ(r.value.target.ip, (std::array<std::uint8_t, 16>{}));
    }
    for (const Bytes &ip : {bytes({0, 0, 1, 1}), bytes({0, 1, 0, 1}), bytes({1, 0, 0, 1}), bytes({0, 0, 1, 0})}) {
        const auto r = parse_all(parse_request4, bytes({4, 1, 0, 80}) + ip + tail);
        ASSERT_EQ(r.status, Status::Complete);
        EXPECT_FALSE(r.value.is_4a());
        EXPECT_EQ(r.used, 9u);
    }
}

TEST(SocksMessages, Socks4FieldsOf255BytesPassAnd256AreRefused) {
    const Bytes head = bytes({4, 1, 0, 80, 127, 0, 0, 1});
    const Bytes head4a = bytes({4, 1, 0, 80, 0, 0, 0, 1});
    const std::string at_limit(255, 'x'), over(256, 'x');

    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4, head + at_limit + bytes({0})));
    EXPECT_EQ(parse_all(parse_request4, head + at_limit + bytes({0})).value.user_id, at_limit);
    EXPECT_TRUE(CompletesWhateverTheCut(parse_request4, head4a + at_limit + bytes({0}) + at_limit + bytes({0})));

    // Refused on the 256th byte without a NUL, not when the NUL comes.
    EXPECT_EQ(parse_all(parse_request4, head + at_limit).status, Status::NeedMore);
    const auto long_user = parse_all(parse_request4, head + over);
    EXPECT_EQ(long_user.status, Status::Invalid);
    EXPECT_EQ(long_user.reply_code, kReply4Rejected);

    EXPECT_EQ(parse_all(parse_request4, head4a + bytes({0}) + at_limit).status, Status::NeedMore);
    const auto long_host = parse_all(parse_request4, head4a + bytes({0}) + over);
    EXPECT_EQ(long_host.status, Status::Invalid);
    EXPECT_EQ(long_host.reply_code, kReply4Rejected);
}

TEST(SocksMessages, Socks4aEmptyHostIsRefusedAndEmptyUserIdIsNot) {
    const auto r = parse_all(parse_request4, bytes({4, 1, 0, 80, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(r.status, Status::Invalid);
    EXPECT_EQ(r.reply_code, kReply4Rejected);

    const auto ok = parse_all(parse_request4, bytes({4, 1, 0, 80, 0, 0, 0, 1, 0, 'h', 0}));
    ASSERT_EQ(ok.status, Status::Complete);
    EXPECT_EQ(ok.value.user_id, "");
    EXPECT_EQ(ok.value.target.host, "h");
}

TEST(SocksMessages, UdpHeaderGivesDataOffsetForEachAddressType) {
    const Bytes data = bytes({0xDE, 0xAD});
    const Bytes v4 = bytes({0, 0, 0, 1, 10, 0, 0, 2, 0, 53}) + data;
    const Bytes v6 = bytes({0, 0, 0, 4}) + kIpv6Loopback + bytes({0, 53}) + data;
    const Bytes name = bytes({0, 0, 0, 3, 6}) + "a.test" + bytes({0, 53}) + data;
    for (const auto &[msg, offset] : {std::pair{v4, 10u}, std::pair{v6, 22u}, std::pair{name, 13u}}) {
        const auto r = parse_all(parse_udp_header, msg);
        ASSERT_EQ(r.status, Status::Complete);
        EXPECT_EQ(r.used, offset);
        EXPECT_EQ(msg[r.used], 0xDE);
        EXPECT_EQ(r.value.frag, 0);
        EXPECT_EQ(r.value.target.port, 53);
    }
}

TEST(SocksMessages, UdpHeaderReportsFragmentAndIgnoresReserved) {
    const auto r = parse_all(parse_udp_header, bytes({0x12, 0x34, 0x81, 1, 10, 0, 0, 2, 0, 53, 'x'}));
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.value.frag, 0x81);
    EXPECT_EQ(r.used, 10u);
}

TEST(SocksMessages, UdpHeaderOfUnframableAddressIsDroppedSilently) {
    for (const Bytes &msg : {bytes({0, 0, 0, 2, 1, 2, 3, 4, 0, 53}), bytes({0, 0, 0, 3, 0, 0, 53})}) {
        const auto r = parse_all(parse_udp_header, msg);
        EXPECT_EQ(r.status, Status::Invalid);
        EXPECT_FALSE(r.reply_code.has_value());
    }
}

TEST(SocksMessages, FirstMessageIsTheGreetingOrTheWholeSocks4Request) {
    EXPECT_EQ(first_message({}), Status::NeedMore);
    EXPECT_EQ(first_message(bytes({5})), Status::NeedMore);
    EXPECT_EQ(first_message(bytes({5, 2, 0})), Status::NeedMore);
    EXPECT_EQ(first_message(bytes({5, 2, 0, 2})), Status::Complete);
    // A client that pipelines its request behind the greeting is still ready.
    EXPECT_EQ(first_message(bytes({5, 1, 0, 5, 1, 0, 1})), Status::Complete);

    const Bytes s4 = bytes({4, 1, 0, 80, 127, 0, 0, 1}) + "u" + bytes({0});
    EXPECT_EQ(first_message(first(s4, s4.size() - 1)), Status::NeedMore);
    EXPECT_EQ(first_message(s4), Status::Complete);
    const Bytes s4a = bytes({4, 1, 0, 80, 0, 0, 0, 1, 0});
    EXPECT_EQ(first_message(s4a), Status::NeedMore);
    EXPECT_EQ(first_message(s4a + "h" + bytes({0})), Status::Complete);
    EXPECT_EQ(first_message(bytes({4, 1, 0, 80, 127, 0, 0, 1}) + std::string(256, 'u')), Status::Invalid);
}

TEST(SocksMessages, FirstMessageRefusesOtherProtocolsAtOnce) {
    for (const std::string text : {"GET / HTTP/1.1\r\n", "C", "\x16\x03\x01"})
        EXPECT_EQ(first_message(Bytes(text.begin(), text.end())), Status::Invalid) << text;
    EXPECT_EQ(first_message(bytes({0})), Status::Invalid);
}

TEST(SocksMessages, SmallRepliesAreLaidOutAsSpecified) {
    EXPECT_EQ(method_reply(kMethodUserPassword), (std::array<std::uint8_t, 2>{0x05, 0x02}));
    EXPECT_EQ(method_reply(kMethodNoneAcceptable), (std::array<std::uint8_t, 2>{0x05, 0xFF}));
    EXPECT_EQ(auth_reply(kAuthSuccess), (std::array<std::uint8_t, 2>{0x01, 0x00}));
    EXPECT_EQ(reply4(kReply4Granted, 8080, {127, 0, 0, 1}),
              (std::array<std::uint8_t, 8>{0x00, 0x5A, 0x1F, 0x90, 0x7F, 0x00, 0x00, 0x01}));
    EXPECT_EQ(reply4(kReply4Rejected, 0, {0, 0, 0, 0}), (std::array<std::uint8_t, 8>{0x00, 0x5B}));
}

Bytes reply5(std::uint8_t rep, const Address &a, std::size_t room = kMaxReply5Bytes) {
    Bytes out(room, 0xEE);
    out.resize(write_reply5(rep, a, out));
    return out;
}

Address ipv4(std::array<std::uint8_t, 4> ip, std::uint16_t port) {
    Address a;
    a.kind = Address::Kind::IPv4;
    std::copy(ip.begin(), ip.end(), a.ip.begin());
    a.port = port;
    return a;
}

TEST(SocksMessages, Socks5ReplyForEachBoundAddress) {
    EXPECT_EQ(reply5(kReplySucceeded, ipv4({192, 168, 1, 20}, 50000)),
              bytes({0x05, 0x00, 0x00, 0x01, 0xC0, 0xA8, 0x01, 0x14, 0xC3, 0x50}));

    Address v6;
    v6.kind = Address::Kind::IPv6;
    v6.ip = {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01};
    v6.port = 1080;
    EXPECT_EQ(reply5(kReplyConnectionRefused, v6),
              bytes({0x05, 0x05, 0x00, 0x04, 0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0x04, 0x38}));

    Address name;
    name.kind = Address::Kind::Domain;
    name.host = "ab";
    name.port = 1;
    EXPECT_EQ(reply5(kReplySucceeded, name), bytes({0x05, 0x00, 0x00, 0x03, 0x02, 'a', 'b', 0x00, 0x01}));
}

TEST(SocksMessages, Socks5ReplyNeedsRoomAndASendableAddress) {
    const Address a = ipv4({10, 0, 0, 1}, 80);
    EXPECT_EQ(reply5(kReplySucceeded, a, 10).size(), 10u);
    EXPECT_TRUE(reply5(kReplySucceeded, a, 9).empty());
    EXPECT_TRUE(reply5(kReplySucceeded, a, 0).empty());

    Address name;
    name.kind = Address::Kind::Domain;
    EXPECT_TRUE(reply5(kReplySucceeded, name).empty());
    name.host.assign(256, 'h');
    EXPECT_TRUE(reply5(kReplySucceeded, name, 1000).empty());
    name.host.assign(255, 'h');
    EXPECT_EQ(reply5(kReplySucceeded, name).size(), kMaxReply5Bytes);
}

TEST(SocksMessages, UdpHeaderBuiltForASourceParsesBack) {
    Bytes out(kMaxUdpHeaderBytes);
    const Address src = ipv4({8, 8, 4, 4}, 53);
    const std::size_t n = write_udp_header(src, out);
    out.resize(n);
    EXPECT_EQ(out, bytes({0, 0, 0, 1, 8, 8, 4, 4, 0, 53}));

    Address v6;
    v6.kind = Address::Kind::IPv6;
    v6.ip[15] = 1;
    v6.port = 5353;
    Bytes buf(kMaxUdpHeaderBytes);
    buf.resize(write_udp_header(v6, buf));
    const auto r = parse_all(parse_udp_header, buf);
    ASSERT_EQ(r.status, Status::Complete);
    EXPECT_EQ(r.used, 22u);
    EXPECT_EQ(r.value.target, v6);
    EXPECT_EQ(r.value.frag, 0);
}

}  // namespace
}  // namespace kel::socks::test
