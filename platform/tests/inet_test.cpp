// Addresses of both families, prefixes, look-ups, the racing connect and
// IPv6 listeners (kelplat/inet.h). inet_pton and inet_ntop serve as an
// independent model of the literal forms.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "test_support.h"

namespace kel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using net::IpAddress;
using net::IpPrefix;
using net::PrefixParse;

std::optional<IpAddress> parsed(std::string_view text) {
    IpAddress a;
    if (!net::parse_ip(text, &a)) return std::nullopt;
    return a;
}

// The address of a literal the test knows to be good.
IpAddress ip(std::string_view text) {
    auto a = parsed(text);
    EXPECT_TRUE(a.has_value()) << "cannot parse " << text;
    return a.value_or(IpAddress{});
}

IpPrefix prefix(std::string_view text) {
    IpPrefix p;
    EXPECT_EQ(net::parse_prefix(text, &p), PrefixParse::Ok) << text;
    return p;
}

std::string text_of(const IpPrefix &p) {
    char buf[net::kIpTextSize];
    return std::string(buf, net::format_prefix(p, buf, sizeof buf));
}

long ms_since(Clock::time_point t) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto &e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// Whether some socket of this host is in its handshake with the IPv4
// address and port (SYN_SENT in /proc/net/tcp): the sign that a connect
// attempt to it has started.
bool handshake_under_way(const IpAddress &to, uint16_t port_net) {
    char want[16];
    std::snprintf(want, sizeof want, "%08X:%04X", net::ipv4_net(to), net::net_to_host16(port_net));
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        if (fields >> slot >> local >> remote >> state && remote == want && state == "02") return true;
    }
    return false;
}

bool write_text(const std::string &path, const std::string &text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return !out.fail();
}

// --- literals -------------------------------------------------------------

TEST(IpText, ParsesDottedQuadsStrictlyAsTheIPv4Parser) {
    const char *good[] = {"0.0.0.0", "192.0.2.1", "255.255.255.255", "10.0.0.10", "1.20.100.200"};
    for (const char *t : good) {
        const auto a = parsed(t);
        ASSERT_TRUE(a.has_value()) << t;
        EXPECT_TRUE(a->is_v4()) << t;
        uint32_t model = 0;
        ASSERT_TRUE(net::parse_dotted_quad(t, &model));
        EXPECT_EQ(net::ipv4_net(*a), model) << t;
        EXPECT_EQ(net::ip_text(*a), t);
        for (int k = 4; k < 16; ++k) EXPECT_EQ(a->bytes[k], 0) << t;
    }
    const char *bad[] = {"256.1.1.1", "1.2.3", "1.2.3.4.", ".1.2.3.4", "01.2.3.4", "1.2.3.04", "1.2.3.00",
                         "1.2.3.4 ", " 1.2.3.4", "1..2.3", "1.2.3.-4", "0x1.2.3.4", "1.2.3.4/8",
                         "", "1234.1.1.1", "1.2.3.4%lo", "[1.2.3.4]", "1.2.3.4.5", "1.2.3.a"};
    for (const char *t : bad) {
        EXPECT_FALSE(parsed(t).has_value()) << t;
        uint32_t model = 0;
        EXPECT_FALSE(net::parse_dotted_quad(t, &model)) << t;
    }
}

TEST(IpText, ParsesEveryIPv6FormAsInetPtonDoes) {
    const char *good[] = {"::", "::1", "1::", "2001:db8::1", "2001:DB8:0:0:8:800:200C:417A",
                          "1:2:3:4:5:6:7:8", "1:2:3:4:5:6:7::", "::2:3:4:5:6:7:8", "0001:0002::ffff",
                          "::ffff:192.0.2.1", "::192.0.2.1", "1:2:3:4:5:6:1.2.3.4", "1::1.2.3.4",
                          "64:ff9b::192.0.2.33", "fe80::abcd:ef01", "FFFF:ffff:FfFf::"};
    for (const char *t : good) {
        const auto a = parsed(t);
        ASSERT_TRUE(a.has_value()) << t;
        EXPECT_TRUE(a->is_v6()) << t;
        EXPECT_EQ(a->scope_id, 0u);
        in6_addr model{};
        ASSERT_EQ(inet_pton(AF_INET6, t, &model), 1) << t;
        EXPECT_EQ(std::memcmp(a->bytes, &model, 16), 0) << t;
    }
    EXPECT_EQ(ip("::ffff:192.0.2.1").bytes[10], 0xFF);
    EXPECT_EQ(ip("::ffff:192.0.2.1").bytes[15], 1);
    EXPECT_EQ(ip("1:2:3:4:5:6:7::").bytes[14], 0);
    EXPECT_EQ(ip("1:2:3:4:5:6:7::").bytes[13], 7);
}

TEST(IpText, RefusesMalformedIPv6AsInetPtonDoes) {
    const char *bad[] = {":", ":::", "1:::2", "1::2::3", ":1::2", "1::2:", "1:2:3:4:5:6:7:8:9",
                         "1:2:3:4:5:6:7", "1::2:3:4:5:6:7:8", "::1:2:3:4:5:6:7:8", "12345::", "g::",
                         "::1.2.3", "::1.2.3.4.5", "::01.2.3.4", "::256.1.1.1", "1.2.3.4::",
                         "::1.2.3.4:5", "1:2:3:4:5:6:7:1.2.3.4", "::ffff:1.2.3.4.", "::ffff:a.2.3.4",
                         " ::1", "::1 ", "::-1", "1:2:3:4:5:6:7:8:", ":1:2:3:4:5:6:7:8", "0x1::"};
    for (const char *t : bad) {
        EXPECT_FALSE(parsed(t).has_value()) << t;
        in6_addr model{};
        EXPECT_NE(inet_pton(AF_INET6, t, &model), 1) << t;
    }
    for (const char *t : {"[::1", "::1]", "[]", "[[::1]]", "[::1]x", "x[::1]", "[::1%]", "::1%"})
        EXPECT_FALSE(parsed(t).has_value()) << t;
}

TEST(IpText, FormatsTheCanonicalTextOfRfc5952) {
    const std::pair<const char *, const char *> cases[] = {
        {"2001:0db8:0000:0000:0000:0000:0000:0001", "2001:db8::1"},  // leading zeros, "::"
        {"2001:DB8::ABCD", "2001:db8::abcd"},                        // lower case
        {"2001:db8:0:0:1:0:0:1", "2001:db8::1:0:0:1"},               // first of equal runs
        {"2001:db8:0:1:0:0:0:1", "2001:db8:0:1::1"},                 // the longest run
        {"2001:db8:0:1:1:1:1:1", "2001:db8:0:1:1:1:1:1"},            // one zero group stays
        {"0:0:0:0:0:0:0:0", "::"},
        {"0:0:0:0:0:0:0:1", "::1"},
        {"1:0:0:0:0:0:0:0", "1::"},
        {"0:0:1:0:0:0:0:0", "0:0:1::"},
        {"1:2:3:4:5:6:7:0", "1:2:3:4:5:6:7:0"},
        {"0:1:2:3:4:5:6:7", "0:1:2:3:4:5:6:7"},
        {"1:0:0:2:0:0:0:3", "1:0:0:2::3"},
        {"0:0:0:1:0:0:0:0", "0:0:0:1::"},   // the longer run, though later
        {"0:0:0:0:1:0:0:0", "::1:0:0:0"},
        {"::ffff:c000:0201", "::ffff:192.0.2.1"},  // mapped keeps its IPv4 tail
        {"::ffff:0:0", "::ffff:0.0.0.0"},
        {"64:ff9b::192.0.2.33", "64:ff9b::c000:221"},
        {"::c000:201", "::c000:201"},  // the old IPv4-compatible form is plain hex
        {"fe80::0001%4000000000", "fe80::1%4000000000"},
    };
    for (const auto &[in, canonical] : cases) {
        const IpAddress a = ip(in);
        EXPECT_EQ(net::ip_text(a), canonical) << in;
        // The canonical text reads back as the same address, and is its own canonical text.
        EXPECT_EQ(ip(canonical), a) << canonical;
        EXPECT_EQ(net::ip_text(ip(canonical)), canonical);
    }
}

TEST(IpText, CompressionAgreesWithInetNtop) {
    // Every pattern of zero and non-zero groups: the compression rules of
    // RFC 5952 against the C library's formatter.
    for (unsigned pattern = 0; pattern < 256; ++pattern) {
        uint8_t bytes[16] = {};
        for (int g = 0; g < 8; ++g)
            if (pattern & (1u << g)) bytes[2 * g + 1] = static_cast<uint8_t>(g + 1);
        // inet_ntop writes ::a.b.c.d for the first 96 bits zero and for mapped.
        const bool library_mixed = (pattern & 0x3F) == 0 && (pattern & 0x40) != 0;
        if (library_mixed) continue;
        char model[INET6_ADDRSTRLEN];
        ASSERT_NE(inet_ntop(AF_INET6, bytes, model, sizeof model), nullptr);
        EXPECT_EQ(net::ip_text(net::ipv6_address(bytes)), model) << "pattern " << pattern;
    }
}

TEST(IpText, BracketsAreForHostFields) {
    EXPECT_EQ(ip("[2001:db8::1]"), ip("2001:db8::1"));
    EXPECT_EQ(net::host_text(ip("2001:0db8::1")), "[2001:db8::1]");
    EXPECT_EQ(net::host_text(ip("::1")), "[::1]");
    EXPECT_EQ(net::host_text(ip("192.0.2.1")), "192.0.2.1");
    EXPECT_EQ(net::host_text(ip("::ffff:192.0.2.1")), "[::ffff:192.0.2.1]");
    EXPECT_EQ(ip("[fe80::1%25" "4000000000]").scope_id, 4000000000u);  // RFC 6874 escape
    EXPECT_EQ(ip("[fe80::1%7]").scope_id, 7u);                         // a bare "%" too
    EXPECT_EQ(ip("[fe80::1%25]").scope_id, 25u);                       // nothing after: zone 25
    EXPECT_EQ(ip("[fe80::1%2525]").scope_id, 25u);
    EXPECT_EQ(ip("fe80::1%25").scope_id, 25u);  // no brackets, no escape
    EXPECT_EQ(net::host_text(ip("fe80::1%4000000000")), "[fe80::1%254000000000]");
    EXPECT_EQ(ip(net::host_text(ip("fe80::1%25"))), ip("fe80::1%25"));
}

TEST(IpText, ZonesNameAnInterfaceOrANumber) {
    const unsigned lo = if_nametoindex("lo");
    ASSERT_NE(lo, 0u) << "no loopback interface";
    EXPECT_EQ(ip("fe80::1%lo").scope_id, lo);
    EXPECT_EQ(ip("[fe80::1%25lo]").scope_id, lo);
    EXPECT_EQ(ip("fe80::1%lo"), ip("fe80::1%" + std::to_string(lo)));
    EXPECT_EQ(ip("fe80::1%0007").scope_id, 7u);
    EXPECT_EQ(net::ip_text(ip("fe80::1%" + std::to_string(lo))), "fe80::1%lo");
    EXPECT_EQ(net::host_text(ip("fe80::1%lo")), "[fe80::1%25lo]");
    EXPECT_EQ(ip("fe80::1%4294967295").scope_id, 4294967295u);
    EXPECT_NE(ip("fe80::1%lo"), ip("fe80::1"));
    for (const char *t : {"fe80::1%", "fe80::1%0", "fe80::1%4294967296", "fe80::1%99999999999",
                          "fe80::1%no-such-if0", "fe80::1%lo 0", "fe80::1%l/o", "fe80::1%%lo",
                          "fe80::1%lo%lo", "fe80::1%abcdefghijklmnop", "1.2.3.4%lo", "fe80::1%lo]",
                          "%lo", "[fe80::1%25%lo]"})
        EXPECT_FALSE(parsed(t).has_value()) << t;
}

TEST(IpText, MappedAddressesAreTheIPv4AddressTheyCarry) {
    const IpAddress m = ip("::ffff:10.1.2.3");
    EXPECT_TRUE(m.is_v6());
    EXPECT_TRUE(net::is_v4_mapped(m));
    EXPECT_EQ(net::unmapped(m), ip("10.1.2.3"));
    EXPECT_EQ(net::mapped(ip("10.1.2.3")), m);
    EXPECT_EQ(net::unmapped(ip("::10.1.2.3")), ip("::10.1.2.3"));
    EXPECT_EQ(net::unmapped(ip("::fffe:10.1.2.3")), ip("::fffe:10.1.2.3"));
    EXPECT_EQ(net::unmapped(ip("0:0:0:0:1:ffff:10.1.2.3")), ip("0:0:0:0:1:ffff:10.1.2.3"));
    EXPECT_EQ(net::mapped(ip("2001:db8::1")), ip("2001:db8::1"));
    EXPECT_EQ(net::unmapped(ip("10.1.2.3")), ip("10.1.2.3"));

    net::SockAddr4 sa{};
    ASSERT_TRUE(net::to_sockaddr4(m, net::host_to_net16(8080), &sa));
    EXPECT_EQ(sa.family, AF_INET);
    EXPECT_EQ(sa.port_net, net::host_to_net16(8080));
    EXPECT_EQ(sa.addr_net, net::addr_from_octets(10, 1, 2, 3));
    EXPECT_TRUE(net::to_sockaddr4(ip("10.1.2.3"), 0, &sa));
    EXPECT_FALSE(net::to_sockaddr4(ip("2001:db8::1"), 0, &sa));
    EXPECT_FALSE(net::to_sockaddr4(IpAddress{}, 0, &sa));
    EXPECT_EQ(net::ipv4_address(net::addr_from_octets(10, 1, 2, 3)), ip("10.1.2.3"));
}

TEST(IpText, WritesNothingIntoATooSmallBuffer) {
    const IpAddress a = ip("2001:db8::1");  // 11 characters
    char buf[12];
    EXPECT_EQ(net::format_ip(a, buf, 12), 11u);
    EXPECT_STREQ(buf, "2001:db8::1");
    EXPECT_EQ(net::format_ip(a, buf, 11), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(net::format_host(a, buf, 12), 0u);
    EXPECT_EQ(net::format_ip(IpAddress{}, buf, sizeof buf), 0u);
    EXPECT_STREQ(buf, "");
    // The longest texts fit the documented room.
    char big[net::kIpTextSize];
    EXPECT_GT(net::format_host(ip("ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%4294967295"), big, sizeof big), 0u);
    EXPECT_STREQ(big, "[ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff%254294967295]");
}

// --- prefixes -------------------------------------------------------------

TEST(IpPrefixes, ParsesBothFamiliesAndBareAddresses) {
    const std::pair<const char *, const char *> cases[] = {
        {"192.168.1.0/24", "192.168.1.0/24"}, {"10.0.0.0/8", "10.0.0.0/8"},
        {"fd00::/8", "fd00::/8"},             {"2001:db8:5::/48", "2001:db8:5::/48"},
        {"0.0.0.0/0", "0.0.0.0/0"},           {"::/0", "::/0"},
        {"10.1.2.3", "10.1.2.3/32"},          {"::1", "::1/128"},
        {"2001:DB8::/32", "2001:db8::/32"},   {"10.1.2.3/32", "10.1.2.3/32"},
        {"::ffff:10.0.0.0/104", "10.0.0.0/8"},  // inside the mapped range: IPv4
        {"::ffff:0:0/96", "0.0.0.0/0"},         {"::ffff:1.2.3.4", "1.2.3.4/32"},
        {"::fffe:0:0/96", "::fffe:0:0/96"},     {"::/95", "::/95"},
        {"fe80::/10", "fe80::/10"},             {"192.168.1.128/25", "192.168.1.128/25"},
    };
    for (const auto &[in, out] : cases) {
        const IpPrefix p = prefix(in);
        EXPECT_EQ(text_of(p), out) << in;
        EXPECT_EQ(prefix(out), p) << out;
    }
    EXPECT_EQ(prefix("10.1.2.3").length, 32);
    EXPECT_EQ(prefix("::1").length, 128);
    EXPECT_TRUE(prefix("::ffff:10.0.0.0/104").network.is_v4());
}

TEST(IpPrefixes, RefusesMalformedInputAndSaysWhy) {
    const std::pair<const char *, PrefixParse> cases[] = {
        {"10.0.0.0/33", PrefixParse::BadLength},    {"::/129", PrefixParse::BadLength},
        {"10.0.0.0/", PrefixParse::BadLength},      {"10.0.0.0/08", PrefixParse::BadLength},
        {"10.0.0.0/-1", PrefixParse::BadLength},    {"10.0.0.0/+8", PrefixParse::BadLength},
        {"10.0.0.0/8 ", PrefixParse::BadLength},    {"10.0.0.0/8/8", PrefixParse::BadLength},
        {"10.0.0.0/1000", PrefixParse::BadLength},  {"::/00", PrefixParse::BadLength},
        {"10.0.0.0/0x8", PrefixParse::BadLength},   {"10.0.0.0 /8", PrefixParse::BadAddress},
        {"/8", PrefixParse::BadAddress},            {"", PrefixParse::BadAddress},
        {"[::1]/128", PrefixParse::BadAddress},     {"[::1]", PrefixParse::BadAddress},
        {"fe80::%1/64", PrefixParse::BadAddress},   {"fe80::1%1", PrefixParse::BadAddress},
        {"10.0.0/8", PrefixParse::BadAddress},      {"10.*/8", PrefixParse::BadAddress},
        {"10.0.0.1/8", PrefixParse::HostBitsSet},   {"192.168.1.0/16", PrefixParse::HostBitsSet},
        {"2001:db8::1/64", PrefixParse::HostBitsSet}, {"fd00::/7", PrefixParse::HostBitsSet},
        {"0.0.0.1/31", PrefixParse::HostBitsSet},   {"::1/127", PrefixParse::HostBitsSet},
        {"128.0.0.0/0", PrefixParse::HostBitsSet},
    };
    for (const auto &[in, why] : cases) {
        IpPrefix p;
        p.length = 77;
        EXPECT_EQ(net::parse_prefix(in, &p), why) << in;
        EXPECT_EQ(p.length, 77) << in << ": written on failure";
    }
}

TEST(IpPrefixes, ContainsAtEveryLengthAndBitBoundary) {
    // For each length: flipping the last network bit leaves the network,
    // flipping the first host bit stays in it.
    const IpAddress bases[] = {ip("2001:db8:1234:5678:9abc:def0:1357:9bdf"), ip("203.0.113.77")};
    for (const IpAddress &base : bases) {
        const unsigned bits = base.is_v4() ? 32 : 128;
        for (unsigned len = 0; len <= bits; ++len) {
            IpPrefix p;
            p.network = base;
            for (unsigned b = len; b < bits; ++b) p.network.bytes[b / 8] &= static_cast<uint8_t>(~(0x80u >> (b % 8)));
            p.length = static_cast<uint8_t>(len);
            EXPECT_TRUE(net::contains(p, base)) << net::ip_text(base) << "/" << len;
            EXPECT_TRUE(net::contains(p, p.network)) << len;
            if (len > 0) {
                IpAddress out = base;
                out.bytes[(len - 1) / 8] ^= static_cast<uint8_t>(0x80u >> ((len - 1) % 8));
                EXPECT_FALSE(net::contains(p, out)) << net::ip_text(out) << " in /" << len;
            }
            if (len < bits) {
                IpAddress in = base;
                in.bytes[len / 8] ^= static_cast<uint8_t>(0x80u >> (len % 8));
                EXPECT_TRUE(net::contains(p, in)) << net::ip_text(in) << " in /" << len;
            }
        }
    }
}

TEST(IpPrefixes, MatchesTheAddressesOfTheNetworkOnly) {
    EXPECT_TRUE(net::contains(prefix("0.0.0.0/0"), ip("255.255.255.255")));
    EXPECT_FALSE(net::contains(prefix("0.0.0.0/0"), ip("::1")));
    EXPECT_TRUE(net::contains(prefix("::/0"), ip("2001:db8::1")));
    EXPECT_FALSE(net::contains(prefix("::/0"), ip("10.0.0.1")));
    EXPECT_FALSE(net::contains(prefix("::/0"), ip("::ffff:10.0.0.1")));  // an IPv4 client
    EXPECT_TRUE(net::contains(prefix("10.1.2.3"), ip("10.1.2.3")));
    EXPECT_FALSE(net::contains(prefix("10.1.2.3"), ip("10.1.2.2")));
    EXPECT_TRUE(net::contains(prefix("::1"), ip("::1")));
    EXPECT_FALSE(net::contains(prefix("::1"), ip("::")));
    EXPECT_TRUE(net::contains(prefix("10.0.0.0/9"), ip("10.127.255.255")));
    EXPECT_FALSE(net::contains(prefix("10.0.0.0/9"), ip("10.128.0.0")));
    EXPECT_TRUE(net::contains(prefix("fc00::/7"), ip("fdff:ffff::1")));
    EXPECT_FALSE(net::contains(prefix("fc00::/7"), ip("fe00::1")));
    EXPECT_TRUE(net::contains(prefix("2001:db8::/64"), ip("2001:db8::ffff:ffff:ffff:ffff")));
    EXPECT_FALSE(net::contains(prefix("2001:db8::/64"), ip("2001:db8:0:1::")));
    EXPECT_TRUE(net::contains(prefix("2001:db8::/65"), ip("2001:db8::7fff:ffff:ffff:ffff")));
    EXPECT_FALSE(net::contains(prefix("2001:db8::/65"), ip("2001:db8::8000:0:0:0")));
    EXPECT_TRUE(net::contains(prefix("2001:db8::/63"), ip("2001:db8:0:1::")));
    EXPECT_FALSE(net::contains(prefix("2001:db8::/63"), ip("2001:db8:0:2::")));
    // A prefix of no family holds nothing.
    EXPECT_FALSE(net::contains(IpPrefix{}, IpAddress{}));
    EXPECT_FALSE(net::contains(IpPrefix{}, ip("10.0.0.1")));
}

TEST(IpPrefixes, MappedClientsMatchIPv4PrefixesAndZonesAreIgnored) {
    EXPECT_TRUE(net::contains(prefix("192.168.1.0/24"), ip("::ffff:192.168.1.7")));
    EXPECT_FALSE(net::contains(prefix("192.168.1.0/24"), ip("::ffff:192.168.2.7")));
    EXPECT_FALSE(net::contains(prefix("192.168.1.0/24"), ip("::192.168.1.7")));  // not mapped
    EXPECT_TRUE(net::contains(prefix("::ffff:192.168.0.0/112"), ip("192.168.3.4")));
    EXPECT_TRUE(net::contains(prefix("::ffff:0:0/96"), ip("1.2.3.4")));
    EXPECT_FALSE(net::contains(prefix("::ffff:0:0/96"), ip("::1")));
    EXPECT_TRUE(net::contains(prefix("127.0.0.1"), ip("::ffff:127.0.0.1")));
    EXPECT_TRUE(net::contains(prefix("fe80::/10"), ip("fe80::1%7")));
}

// --- order of the race ----------------------------------------------------

std::vector<std::string> ordered(std::initializer_list<const char *> in) {
    std::vector<IpAddress> v;
    for (const char *t : in) v.push_back(ip(t));
    net::order_for_happy_eyeballs(&v);
    std::vector<std::string> out;
    for (const auto &a : v) out.push_back(net::ip_text(a));
    return out;
}

using Texts = std::vector<std::string>;

TEST(HappyEyeballsOrder, InterleavesTheFamiliesIPv6First) {
    EXPECT_EQ(ordered({"192.0.2.1", "192.0.2.2", "2001:db8::1", "2001:db8::2"}),
              (Texts{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"}));
    EXPECT_EQ(ordered({"2001:db8::1", "2001:db8::2", "2001:db8::3", "192.0.2.1"}),
              (Texts{"2001:db8::1", "192.0.2.1", "2001:db8::2", "2001:db8::3"}));
    EXPECT_EQ(ordered({"192.0.2.3", "192.0.2.2", "192.0.2.1", "2001:db8::9"}),
              (Texts{"2001:db8::9", "192.0.2.3", "192.0.2.2", "192.0.2.1"}));
    EXPECT_EQ(ordered({"192.0.2.3", "192.0.2.1"}), (Texts{"192.0.2.3", "192.0.2.1"}));
    EXPECT_EQ(ordered({"2001:db8::2", "2001:db8::1"}), (Texts{"2001:db8::2", "2001:db8::1"}));
    EXPECT_EQ(ordered({}), Texts{});
}

TEST(HappyEyeballsOrder, KeepsTheFirstOfRepeatsAndCountsMappedAsIPv4) {
    EXPECT_EQ(ordered({"::ffff:192.0.2.1", "192.0.2.1", "2001:db8::1", "2001:db8::1", "192.0.2.2"}),
              (Texts{"2001:db8::1", "192.0.2.1", "192.0.2.2"}));
    // Same address in two zones: two different places.
    EXPECT_EQ(ordered({"fe80::1%1", "fe80::1%2", "fe80::1%1"}),
              (Texts{net::ip_text(ip("fe80::1%1")), net::ip_text(ip("fe80::1%2"))}));
    std::vector<IpAddress> none = {IpAddress{}, ip("192.0.2.1"), IpAddress{}};
    net::order_for_happy_eyeballs(&none);
    EXPECT_EQ(none, std::vector<IpAddress>{ip("192.0.2.1")});
}

// --- look-ups -------------------------------------------------------------

std::atomic<int> g_lookups{0};

// a.test and b.test have addresses of both families, none.test none at
// all; every other name is unknown.
bool chosen_resolver(const char *name, std::vector<IpAddress> *out) {
    ++g_lookups;
    if (std::strcmp(name, "a.test") == 0) {
        for (const char *t : {"192.0.2.1", "192.0.2.2", "2001:db8::1", "2001:db8::2"}) out->push_back(ip(t));
        return true;
    }
    if (std::strcmp(name, "b.test") == 0) {
        for (const char *t : {"2001:db8::7", "::ffff:192.0.2.7", "2001:db8::7"}) out->push_back(ip(t));
        return true;
    }
    if (std::strcmp(name, "none.test") == 0) return true;
    net::set_last_error(net::kErrHostNotFound);
    return false;
}

struct ResolverAllOverride {
    explicit ResolverAllOverride(net::ResolverAll r) : previous(net::set_resolver_all(r)) {}
    ~ResolverAllOverride() { net::set_resolver_all(previous); }
    net::ResolverAll previous;
};

Texts resolved(const char *name) {
    std::vector<IpAddress> v = {ip("198.51.100.1")};  // replaced, not added to
    if (!net::resolve_all(name, &v)) {
        EXPECT_TRUE(v.empty()) << name;
        return {"error " + std::to_string(net::last_error())};
    }
    Texts out;
    for (const auto &a : v) out.push_back(net::ip_text(a));
    return out;
}

TEST(ResolveAll, LiteralsAreTheirOwnAddressWithoutALookUp) {
    g_lookups = 0;
    ResolverAllOverride hook(chosen_resolver);
    EXPECT_EQ(resolved("::1"), Texts{"::1"});
    EXPECT_EQ(resolved("[2001:db8::1]"), Texts{"2001:db8::1"});
    EXPECT_EQ(resolved("192.0.2.1"), Texts{"192.0.2.1"});
    EXPECT_EQ(resolved("::ffff:192.0.2.1"), Texts{"192.0.2.1"});
    EXPECT_EQ(g_lookups.load(), 0);
}

TEST(ResolveAll, ArrangesTheResolversAnswerForTheRace) {
    g_lookups = 0;
    ResolverAllOverride hook(chosen_resolver);
    EXPECT_EQ(resolved("a.test"), (Texts{"2001:db8::1", "192.0.2.1", "2001:db8::2", "192.0.2.2"}));
    EXPECT_EQ(resolved("b.test"), (Texts{"2001:db8::7", "192.0.2.7"}));
    EXPECT_EQ(g_lookups.load(), 2);
}

TEST(ResolveAll, FailuresKeepTheResolversErrorAndNoAddressIsNoData) {
    ResolverAllOverride hook(chosen_resolver);
    EXPECT_EQ(resolved("unknown.test"), Texts{"error 11001"});
    EXPECT_EQ(resolved("none.test"), Texts{"error 11004"});
    EXPECT_FALSE(net::resolve_all(nullptr, nullptr));
    EXPECT_EQ(net::last_error(), net::kErrInvalid);
}

TEST(ResolveAll, SystemResolverFindsLocalhostAndNotAnOverlongLabel) {
    // localhost comes from the hosts file; a label over 63 characters is
    // refused before any query leaves.
    const Texts local = resolved("localhost");
    EXPECT_NE(std::find(local.begin(), local.end(), "127.0.0.1"), local.end())
        << (local.empty() ? "" : local.front());
    const std::string unknown = std::string(70, 'x') + ".invalid";
    EXPECT_EQ(resolved(unknown.c_str()), Texts{"error 11001"});
}

// --- listeners ------------------------------------------------------------

int int_option(net::Socket s, int level, int option) {
    int v = -1;
    socklen_t len = sizeof v;
    EXPECT_EQ(getsockopt(static_cast<int>(s), level, option, &v, &len), 0);
    return v;
}

uint16_t port_of(net::Socket s) {
    uint16_t port_net = 0;
    EXPECT_TRUE(net::local_address(s, nullptr, &port_net));
    return port_net;
}

#define REQUIRE_IPV6() \
    if (!net::ipv6_available()) GTEST_SKIP() << "no IPv6 on this machine (socket or bind to :: refused)"

// A connection from `from` (port 0: any) to `to`, accepted on the listener;
// the peer as the listener saw it.
struct Accepted {
    Sock client, server;
    IpAddress peer;
    uint16_t peer_port_net = 0;
};

Accepted connect_and_accept(net::Socket listener, const IpAddress &to) {
    Accepted r;
    const uint16_t port = port_of(listener);
    r.client = Sock(net::connect_happy_eyeballs({&to, 1}, port, 5000));
    EXPECT_TRUE(r.client.valid()) << "connect to " << net::ip_text(to) << ": " << net::last_error();
    if (!r.client.valid()) return r;
    r.server = Sock(net::accept_ip(listener, &r.peer, &r.peer_port_net));
    EXPECT_TRUE(r.server.valid());
    return r;
}

TEST(Listening, DualStackAnyTakesIPv4ClientsAsIPv4AndIPv6AsIPv6) {
    REQUIRE_IPV6();
    Sock l(net::listen_on(ip("::"), 0));
    ASSERT_TRUE(l.valid()) << net::last_error();
    EXPECT_EQ(int_option(l.get(), IPPROTO_IPV6, IPV6_V6ONLY), 0);

    Accepted v4 = connect_and_accept(l.get(), ip("127.0.0.1"));
    EXPECT_EQ(v4.peer, ip("127.0.0.1"));
    IpAddress client_addr;
    uint16_t client_port = 0;
    ASSERT_TRUE(net::local_address(v4.client.get(), &client_addr, &client_port));
    EXPECT_EQ(v4.peer_port_net, client_port);
    IpAddress server_side;
    ASSERT_TRUE(net::local_address(v4.server.get(), &server_side, nullptr));
    EXPECT_EQ(server_side, ip("127.0.0.1"));  // seen through the IPv6 socket, reported as IPv4

    Accepted v6 = connect_and_accept(l.get(), ip("::1"));
    EXPECT_EQ(v6.peer, ip("::1"));
    ASSERT_TRUE(net::local_address(v6.client.get(), nullptr, &client_port));
    EXPECT_EQ(v6.peer_port_net, client_port);

    // Bytes cross the accepted socket.
    ASSERT_TRUE(send_all(v4.client.get(), "ping"));
    char buf[4];
    EXPECT_EQ(net::recv(v4.server.get(), buf, sizeof buf), 4);
}

TEST(Listening, AnyOtherIPv6AddressTakesIPv6Only) {
    REQUIRE_IPV6();
    Sock l(net::listen_on(ip("::1"), 0));
    ASSERT_TRUE(l.valid()) << net::last_error();
    EXPECT_EQ(int_option(l.get(), IPPROTO_IPV6, IPV6_V6ONLY), 1);
    const uint16_t port = port_of(l.get());
    // Holding 127.0.0.1 on the same port, bound but not listening, keeps
    // any other program from answering there.
    Sock hold(net::open(net::Kind::Stream));
    ASSERT_TRUE(net::bind(hold.get(), loopback(), port)) << net::last_error();
    const IpAddress v4 = ip("127.0.0.1");
    EXPECT_EQ(net::connect_happy_eyeballs({&v4, 1}, port, 5000), net::kInvalidSocket);
    EXPECT_EQ(net::last_error(), 10061);
    Accepted v6 = connect_and_accept(l.get(), ip("::1"));
    EXPECT_EQ(v6.peer, ip("::1"));
}

TEST(Listening, IPv4AddressesListenAsBefore) {
    Sock l(net::listen_on(ip("127.0.0.1"), 0));
    ASSERT_TRUE(l.valid()) << net::last_error();
    IpAddress bound;
    ASSERT_TRUE(net::local_address(l.get(), &bound, nullptr));
    EXPECT_EQ(bound, ip("127.0.0.1"));
    EXPECT_EQ(int_option(l.get(), SOL_SOCKET, SO_REUSEADDR), 1);
    Accepted c = connect_and_accept(l.get(), ip("127.0.0.1"));
    EXPECT_EQ(c.peer, ip("127.0.0.1"));
    // A mapped address listens as the IPv4 address.
    Sock m(net::listen_on(ip("::ffff:127.0.0.1"), 0));
    ASSERT_TRUE(m.valid()) << net::last_error();
    ASSERT_TRUE(net::local_address(m.get(), &bound, nullptr));
    EXPECT_EQ(bound, ip("127.0.0.1"));
    EXPECT_EQ(net::listen_on(IpAddress{}, 0), net::kInvalidSocket);
    EXPECT_EQ(net::last_error(), net::kErrInvalid);
}

TEST(Listening, TakesBackAPortInTimeWaitButNotOneInUse) {
    const IpAddress where = net::ipv6_available() ? ip("::1") : ip("127.0.0.1");
    Sock l(net::listen_on(where, 0));
    ASSERT_TRUE(l.valid()) << net::last_error();
    const uint16_t port = port_of(l.get());
    EXPECT_EQ(net::listen_on(where, port), net::kInvalidSocket);
    EXPECT_EQ(net::last_error(), 10048);
    {
        Accepted c = connect_and_accept(l.get(), where);
        c.server.reset();  // the server closes first: its end lingers in TIME_WAIT
        char b;
        EXPECT_EQ(net::recv(c.client.get(), &b, 1), 0);
    }
    l.reset();
    Sock again(net::listen_on(where, port));
    EXPECT_TRUE(again.valid()) << "port in TIME_WAIT refused: " << net::last_error();
}

TEST(Listening, Ipv6AvailableAgreesWithADualStackListener) {
    Sock l(net::listen_on(ip("::"), 0));
    EXPECT_EQ(net::ipv6_available(), l.valid());
}

// --- the race -------------------------------------------------------------

// A listener that never answers: its accept queue (room for one) holds a
// connection nobody accepts, so the kernel drops every further SYN and a
// connect to it hangs on retransmissions (1 s, then 3 s, ...). Loopback
// only, needs no privilege, and fill() proves the drop before a test
// relies on it.
struct Silent {
    Sock listener;
    Sock filler;
};

// Listeners of the given addresses on one port: the race uses one port.
std::vector<Sock> listen_on_one_port(const std::vector<IpAddress> &where, uint16_t *port_net) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<Sock> socks;
        socks.emplace_back(net::listen_on(where[0], 0));
        if (!socks[0].valid()) break;
        const uint16_t port = port_of(socks[0].get());
        for (std::size_t k = 1; k < where.size(); ++k) {
            socks.emplace_back(net::listen_on(where[k], port));
            if (!socks.back().valid()) break;
        }
        if (socks.back().valid()) {
            *port_net = port;
            return socks;
        }
    }
    ADD_FAILURE() << "no common free port";
    return {};
}

void make_silent(Sock &listener, const IpAddress &where, uint16_t port, Silent *out) {
    ASSERT_TRUE(net::listen(listener.get(), 0));  // a queue of one
    out->filler = Sock(net::connect_happy_eyeballs({&where, 1}, port, 5000));
    ASSERT_TRUE(out->filler.valid()) << net::last_error();
    bool ready = false;
    const net::Socket l = listener.get();
    ASSERT_EQ(net::wait_readable_for(&l, &ready, 1, 5000), 1) << "filler never queued";
    const Clock::time_point t = Clock::now();
    EXPECT_EQ(net::connect_happy_eyeballs({&where, 1}, port, 300), net::kInvalidSocket)
        << "a full accept queue answered: the silent listener does not work here";
    EXPECT_EQ(net::last_error(), net::kErrTimedOut);
    EXPECT_GE(ms_since(t), 295);
    out->listener = std::move(listener);
}

TEST(HappyEyeballs, ConnectsToASingleAddressBlockingWithTheSendBound) {
    Sock l(net::listen_on(ip("127.0.0.1"), 0));
    ASSERT_TRUE(l.valid());
    const IpAddress to = ip("127.0.0.1");
    for (int timeout_ms : {0, 4321}) {  // the system keeps it in ticks
        Sock c(net::connect_happy_eyeballs({&to, 1}, port_of(l.get()), timeout_ms));
        ASSERT_TRUE(c.valid()) << net::last_error();
        const int flags = fcntl(static_cast<int>(c.get()), F_GETFL);
        EXPECT_EQ(flags & O_NONBLOCK, 0);
        timeval tv{};
        socklen_t len = sizeof tv;
        ASSERT_EQ(getsockopt(static_cast<int>(c.get()), SOL_SOCKET, SO_SNDTIMEO, &tv, &len), 0);
        EXPECT_NEAR(tv.tv_sec * 1000 + tv.tv_usec / 1000, timeout_ms, 10);
        Sock s(net::accept_ip(l.get(), nullptr, nullptr));
        EXPECT_TRUE(s.valid());
    }
    EXPECT_EQ(net::connect_happy_eyeballs({}, port_of(l.get()), 1000), net::kInvalidSocket);
    EXPECT_EQ(net::last_error(), net::kErrInvalid);
}

TEST(HappyEyeballs, NextAddressWinsWhenTheFirstNeverAnswers) {
    REQUIRE_IPV6();
    const std::vector<IpAddress> where = {ip("::1"), ip("127.0.0.1")};
    uint16_t port = 0;
    std::vector<Sock> socks = listen_on_one_port(where, &port);
    ASSERT_EQ(socks.size(), 2u);
    Silent silent;
    make_silent(socks[0], where[0], port, &silent);
    if (HasFailure()) return;

    const std::size_t descriptors = open_descriptors();
    const Clock::time_point t = Clock::now();
    Sock c(net::connect_happy_eyeballs(where, port, 5000));
    const long elapsed = ms_since(t);
    ASSERT_TRUE(c.valid()) << net::last_error();
    // The losing attempt is closed: only the winner is new.
    EXPECT_EQ(open_descriptors(), descriptors + 1);
    // The second attempt waited for the step, then won before the 5 s
    // bound, which the first, never answered, would have run into.
    EXPECT_GE(elapsed, 245);
    IpAddress peer;
    Sock s(net::accept_ip(socks[1].get(), &peer, nullptr));
    EXPECT_TRUE(s.valid());
    EXPECT_EQ(peer, ip("127.0.0.1"));
}

TEST(HappyEyeballs, StepsThroughSeveralSilentAddresses) {
    const std::vector<IpAddress> where = {ip("127.0.0.2"), ip("127.0.0.3"), ip("127.0.0.1")};
    uint16_t port = 0;
    std::vector<Sock> socks = listen_on_one_port(where, &port);
    ASSERT_EQ(socks.size(), 3u);
    Silent first, second;
    make_silent(socks[0], where[0], port, &first);
    make_silent(socks[1], where[1], port, &second);
    if (HasFailure()) return;

    const std::size_t descriptors = open_descriptors();
    const Clock::time_point t = Clock::now();
    Sock c(net::connect_happy_eyeballs(where, port, 0));  // no overall bound
    const long elapsed = ms_since(t);
    ASSERT_TRUE(c.valid()) << net::last_error();
    EXPECT_EQ(open_descriptors(), descriptors + 1);
    // Two steps of 250 ms. Without them the first attempt would go on with
    // its SYN retries for minutes, past the test's time-out.
    EXPECT_GE(elapsed, 490);
    IpAddress peer;
    Sock s(net::accept_ip(socks[2].get(), &peer, nullptr));
    EXPECT_TRUE(s.valid());
    EXPECT_EQ(peer, ip("127.0.0.1"));
}

TEST(HappyEyeballs, EarlierAttemptsGoOnWhileLaterOnesStart) {
    const std::vector<IpAddress> where = {ip("127.0.0.2"), ip("127.0.0.3")};
    uint16_t port = 0;
    std::vector<Sock> socks = listen_on_one_port(where, &port);
    ASSERT_EQ(socks.size(), 2u);
    Silent first, second;
    make_silent(socks[0], where[0], port, &first);
    make_silent(socks[1], where[1], port, &second);
    if (HasFailure()) return;

    // Once the second attempt has started, past the step, the first
    // listener makes room; only the first attempt, if still going, gets in
    // (on a retransmission of its SYN, one, three, seven seconds after it
    // started, well within the bound). The bound on the wait for the second
    // attempt only guards against a hang.
    std::atomic<bool> second_started{false};
    Peer opener([&] {
        for (int i = 0; i < 20000 && !second_started; ++i) {
            second_started = handshake_under_way(where[1], port);
            if (!second_started) std::this_thread::sleep_for(1ms);
        }
        first.filler.reset();
        Sock taken(net::accept_ip(first.listener.get(), nullptr, nullptr));
        EXPECT_TRUE(taken.valid());
    });
    Sock c(net::connect_happy_eyeballs(where, port, 15000));
    opener.join();
    EXPECT_TRUE(second_started.load()) << "no second attempt";
    ASSERT_TRUE(c.valid()) << "the first attempt was dropped when the second started: "
                           << net::last_error();
    IpAddress peer;
    uint16_t peer_port = 0, mine = 0;
    Sock s(net::accept_ip(first.listener.get(), &peer, &peer_port));
    ASSERT_TRUE(s.valid());
    ASSERT_TRUE(net::local_address(c.get(), nullptr, &mine));
    EXPECT_EQ(peer_port, mine);
}

TEST(HappyEyeballs, ARefusedAttemptStartsTheNextAtOnce) {
    Sock l(net::listen_on(ip("127.0.0.1"), 0));
    ASSERT_TRUE(l.valid());
    const uint16_t port = port_of(l.get());
    // Nobody listens on 127.0.0.2 at that port. The step is far longer
    // than the bound: only the refusal can start the next attempt in time.
    const std::vector<IpAddress> where = {ip("127.0.0.2"), ip("127.0.0.1")};
    Sock c(net::connect_happy_eyeballs(where, port, 30000, /*attempt_delay_ms=*/600000));
    ASSERT_TRUE(c.valid()) << net::last_error();
}

TEST(HappyEyeballs, FailsAtOnceWithRefusedWhenEveryAddressRefuses) {
    std::vector<IpAddress> where = {ip("127.0.0.1"), ip("127.0.0.2"), ip("127.0.0.3")};
    if (net::ipv6_available()) where.insert(where.begin() + 1, ip("::1"));
    uint16_t port = 0;
    {
        std::vector<Sock> socks = listen_on_one_port(where, &port);
        ASSERT_EQ(socks.size(), where.size());
    }  // closed: the port now refuses on every address
    const std::size_t descriptors = open_descriptors();
    // The step is far longer than the bound: waiting for it once would end
    // in a time-out, not in the refusal.
    EXPECT_EQ(net::connect_happy_eyeballs(where, port, 30000, /*attempt_delay_ms=*/600000),
              net::kInvalidSocket);
    EXPECT_EQ(net::last_error(), 10061);
    EXPECT_EQ(open_descriptors(), descriptors);
}

TEST(HappyEyeballs, GivesUpAtTheOverallBoundWithTimedOut) {
    const std::vector<IpAddress> where = {ip("127.0.0.2"), ip("127.0.0.3")};
    uint16_t port = 0;
    std::vector<Sock> socks = listen_on_one_port(where, &port);
    ASSERT_EQ(socks.size(), 2u);
    Silent first, second;
    make_silent(socks[0], where[0], port, &first);
    make_silent(socks[1], where[1], port, &second);
    if (HasFailure()) return;

    const std::size_t descriptors = open_descriptors();
    const Clock::time_point t = Clock::now();
    EXPECT_EQ(net::connect_happy_eyeballs(where, port, 600), net::kInvalidSocket);
    const long elapsed = ms_since(t);
    EXPECT_EQ(net::last_error(), net::kErrTimedOut);
    EXPECT_GE(elapsed, 600);
    // Without the bound the attempts would go on with their SYN retries for
    // minutes; this only tells the two apart.
    EXPECT_LT(elapsed, 30000);
    EXPECT_EQ(open_descriptors(), descriptors);
}

// --- a network of the test's own -----------------------------------------

// A network namespace with a veth pair: v0 carries fe80::5 and fd00:5::1,
// v1 is the far end and owns no address, so a SYN for fd00:5::2 waits for
// a neighbour that never answers and fails as unreachable after about 3 s.
// Nothing leaves the namespace. Deleted at the end of the scope.
class TestNetwork {
public:
    TestNetwork() : name_("valdrin-inet-" + std::to_string(getpid())) {
        if (geteuid() != 0) {
            why_not_ = "making a network namespace needs root";
            return;
        }
        if (!ip("netns add " + name_)) {
            why_not_ = "ip netns add " + name_ + " failed (no ip command or no namespaces)";
            return;
        }
        made_ = true;
        const char *setup[] = {"link set lo up", "link add v0 type veth peer name v1", "link set v1 up",
                               "link set v0 up", "addr add fe80::5/64 dev v0 nodad",
                               "addr add fd00:5::1/64 dev v0 nodad"};
        for (const char *step : setup) {
            if (!ip("-n " + name_ + " " + step)) {
                why_not_ = std::string("ip ") + step + " failed in the namespace";
                return;
            }
        }
        ready_ = true;
    }
    ~TestNetwork() {
        if (made_) ip("netns del " + name_);
    }
    TestNetwork(const TestNetwork &) = delete;
    TestNetwork &operator=(const TestNetwork &) = delete;

    bool ready() const { return ready_; }
    const std::string &why_not() const { return why_not_; }

    // Runs body on a thread of its own that has entered the namespace.
    void run(const std::function<void()> &body) {
        std::thread([&] {
            const std::string path = "/run/netns/" + name_;
            const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0) << path;
            const int rc = setns(fd, CLONE_NEWNET);
            ::close(fd);
            ASSERT_EQ(rc, 0) << "setns " << path;
            body();
        }).join();
    }

private:
    static bool ip(const std::string &args) { return std::system(("ip " + args + " >/dev/null 2>&1").c_str()) == 0; }

    std::string name_;
    std::string why_not_;
    bool made_ = false;
    bool ready_ = false;
};

#define REQUIRE_NETWORK(net_)                                  \
    TestNetwork net_;                                          \
    if (!net_.ready()) GTEST_SKIP() << net_.why_not()

TEST(LinkLocal, TheZoneCarriesThroughListenConnectAndAccept) {
    REQUIRE_NETWORK(network);
    network.run([] {
        const unsigned v0 = if_nametoindex("v0");
        ASSERT_NE(v0, 0u);
        const IpAddress where = ip("fe80::5%v0");
        EXPECT_EQ(where.scope_id, v0);
        EXPECT_EQ(net::ip_text(where), "fe80::5%v0");
        Sock l(net::listen_on(where, 0));
        ASSERT_TRUE(l.valid()) << net::last_error();
        IpAddress bound;
        uint16_t port = 0;
        ASSERT_TRUE(net::local_address(l.get(), &bound, &port));
        EXPECT_EQ(bound, where);
        Accepted c = connect_and_accept(l.get(), where);
        EXPECT_EQ(c.peer, where);  // the client's source is the same address
        // Without its zone a link-local address names no link.
        const IpAddress bare = ip("fe80::5");
        EXPECT_EQ(net::connect_happy_eyeballs({&bare, 1}, port, 5000), net::kInvalidSocket);
        EXPECT_EQ(net::last_error(), net::kErrInvalid);
    });
}

TEST(HappyEyeballs, AnAddressWithNoNeighbourLosesToTheNext) {
    REQUIRE_NETWORK(network);
    network.run([] {
        // The neighbour gives up only after minutes, long past the bound:
        // only the step can start the next attempt in time.
        ASSERT_TRUE(write_text("/proc/sys/net/ipv6/neigh/v0/retrans_time_ms", "60000"));
        Sock l(net::listen_on(ip("fd00:5::1"), 0));
        ASSERT_TRUE(l.valid()) << net::last_error();
        const std::vector<IpAddress> where = {ip("fd00:5::2"), ip("fd00:5::1")};
        const Clock::time_point t = Clock::now();
        Sock c(net::connect_happy_eyeballs(where, port_of(l.get()), 30000));
        const long elapsed = ms_since(t);
        ASSERT_TRUE(c.valid()) << net::last_error();
        EXPECT_GE(elapsed, 245);
        IpAddress peer;
        Sock s(net::accept_ip(l.get(), &peer, nullptr));
        EXPECT_EQ(peer, ip("fd00:5::1"));
    });
}

TEST(HappyEyeballs, FailsWithTheLastAttemptsErrorWhenNoneConnects) {
    REQUIRE_NETWORK(network);
    network.run([] {
        // Nobody listens on fd00:5::1 at this port; fd00:5::2 has no neighbour.
        uint16_t port = 0;
        {
            Sock l(net::listen_on(ip("fd00:5::1"), 0));
            ASSERT_TRUE(l.valid());
            port = port_of(l.get());
        }
        // The refusal comes at once and starts the other attempt, which
        // fails last, when the neighbour gives up.
        const std::vector<IpAddress> where = {ip("fd00:5::1"), ip("fd00:5::2")};
        const Clock::time_point t = Clock::now();
        EXPECT_EQ(net::connect_happy_eyeballs(where, port, 600), net::kInvalidSocket);
        EXPECT_EQ(net::last_error(), net::kErrTimedOut);  // still waiting at the bound
        EXPECT_GE(ms_since(t), 600);
        // The neighbour gave up (about 3 s), not the bound: that would
        // have been a time-out.
        EXPECT_EQ(net::connect_happy_eyeballs(where, port, 30000), net::kInvalidSocket);
        EXPECT_EQ(net::last_error(), 10065);
    });
}


// Many senders' datagrams in one call, each answered to its own sender in
// one call; a datagram longer than its room is cut, and one peer out of
// reach does not hold back the others.
TEST(Datagrams, BatchesKeepEachSendersAddressAndAnswerEveryOne) {
    IpAddress lo;
    ASSERT_TRUE(net::parse_ip("127.0.0.1", &lo));
    const net::Socket server = net::udp_bind(lo, 0);
    ASSERT_NE(server, net::kInvalidSocket);
    const std::uint16_t port = net::local_port(server);
    std::vector<net::Socket> clients;
    for (int i = 0; i < 3; ++i) clients.push_back(net::udp_bind(lo, 0));
    for (int round = 0; round < 10; ++round)
        for (std::size_t c = 0; c < clients.size(); ++c) {
            const std::string text = "c" + std::to_string(c) + "-" + std::to_string(round) + std::string(round * 10, 'x');
            ASSERT_EQ(net::send_to_ip(clients[c], lo, net::host_to_net16(port), text.data(), text.size()),
                      static_cast<long>(text.size()));
        }
    std::vector<std::uint8_t> room(40 * 64);
    std::vector<net::Datagram> in(40);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i].data = &room[i * 64];
        in[i].size = 64;
    }
    // Loopback datagrams are queued by the time send returns.
    const int got = net::recv_datagrams(server, in.data(), 40);
    ASSERT_EQ(got, 30);
    EXPECT_EQ(net::recv_datagrams(server, in.data(), 40), 0);
    EXPECT_EQ(net::last_error(), net::kErrWouldBlock);
    for (int i = 0; i < got; ++i) {
        const std::string text(reinterpret_cast<const char *>(in[i].data), in[i].size);
        const int round = i / 3;
        const std::size_t c = static_cast<std::size_t>(i % 3);
        EXPECT_EQ(in[i].size, std::min<std::size_t>(64, 4 + round * 10));
        EXPECT_EQ(text.substr(0, 2), "c" + std::to_string(c));
        EXPECT_EQ(in[i].from, lo);
        EXPECT_EQ(in[i].port_net, net::host_to_net16(net::local_port(clients[c])));
        in[i].size = 2;  // the answer: the sender's own tag
    }
    // The second sender is gone: its answers go nowhere, without stopping the rest.
    net::close(clients[1]);
    EXPECT_EQ(net::send_datagrams(server, in.data(), got), got);
    for (std::size_t c : {std::size_t{0}, std::size_t{2}}) {
        std::uint8_t buf[16];
        for (int round = 0; round < 10; ++round) {
            ASSERT_EQ(net::recv_from_ip(clients[c], buf, sizeof buf, nullptr, nullptr), 2) << c << " " << round;
            EXPECT_EQ(std::string(reinterpret_cast<char *>(buf), 2), "c" + std::to_string(c));
        }
        net::close(clients[c]);
    }
    net::close(server);
}

}  // namespace
}  // namespace kel::test
