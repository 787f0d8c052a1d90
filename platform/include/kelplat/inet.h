// Addresses of both families, prefixes, look-ups that return every address
// of a name, a connect that races them (Happy Eyeballs, RFC 8305), and
// listening and accepting on IPv6. Errors go to the thread's last socket
// error, as in net.h. Nothing here keeps state between calls except the
// installed resolver; every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kelplat/net.h"

namespace kel::net {

// An IPv4 or IPv6 address. bytes is in network order; an IPv4 address uses
// the first four and leaves the rest zero, so that == compares addresses.
// scope_id is the zone of an IPv6 address (an interface index, 0 for none);
// always 0 for IPv4.
struct IpAddress {
    std::uint8_t family = 0;  // 4, 6, or 0 for no address
    std::uint8_t bytes[16] = {};
    std::uint32_t scope_id = 0;

    bool is_v4() const noexcept { return family == 4; }
    bool is_v6() const noexcept { return family == 6; }
    friend bool operator==(const IpAddress &, const IpAddress &) = default;
};

IpAddress ipv4_address(std::uint32_t addr_net) noexcept;
IpAddress ipv6_address(const std::uint8_t (&bytes)[16], std::uint32_t scope_id = 0) noexcept;
// The IPv4 address in network order; 0 for an address that is not IPv4.
std::uint32_t ipv4_net(const IpAddress &a) noexcept;

// ::ffff:a.b.c.d, the form an IPv4 peer takes on a dual-stack socket.
bool is_v4_mapped(const IpAddress &a) noexcept;
// The IPv4 address a mapped address stands for; any other address as it is.
IpAddress unmapped(const IpAddress &a) noexcept;
// ::ffff:a.b.c.d for an IPv4 address, to reach it through an IPv6 socket;
// any other address as it is.
IpAddress mapped(const IpAddress &a) noexcept;
// The IPv4 socket address record for an IPv4 (or mapped) address; false
// for any other.
bool to_sockaddr4(const IpAddress &a, std::uint16_t port_net, SockAddr4 *out) noexcept;

// Parses an address literal, without a look-up:
//   192.0.2.1            strict dotted quad: four decimal parts 0 to 255,
//                        no leading zeros (as parse_dotted_quad)
//   2001:db8::1          every RFC 4291 form, hex digits in either case,
//   ::ffff:192.0.2.1     an IPv4 tail in the last 32 bits
//   [2001:db8::1]        brackets, as in a URL or a Host field (IPv6 only)
//   fe80::1%eth0         a zone: an interface name (looked up) or a
//   [fe80::1%25eth0]     number; in brackets "%25" is the URL escape of
//                        "%" (RFC 6874), and a bare "%" is taken too
// Zone names are 1 to 15 characters among letters, digits and "-._~"; an
// all-digit zone is an index (1 to 4294967295), never a name. A mapped
// address stays IPv6 here (unmapped() turns it into IPv4). False on
// anything else, *out untouched.
bool parse_ip(std::string_view text, IpAddress *out) noexcept;

// Room for any text the formatters below write, with its NUL.
inline constexpr std::size_t kIpTextSize = 64;

// Writes the address as text with a NUL: IPv6 in the canonical form of
// RFC 5952 (lower case, no leading zeros, the longest run of two or more
// zero groups, the first of equal runs, as "::"; ::ffff:a.b.c.d for a
// mapped address), then "%zone" (the interface's name, or its number when
// no interface has it); IPv4 as a dotted quad. Returns the length, or 0
// when size is too small or the address is none (out then holds "").
std::size_t format_ip(const IpAddress &a, char *out, std::size_t size) noexcept;
// The same for a host field or an authority: IPv6 in brackets, its zone
// written "%25zone" ("[fe80::1%25eth0]"); IPv4 as a dotted quad.
std::size_t format_host(const IpAddress &a, char *out, std::size_t size) noexcept;
std::string ip_text(const IpAddress &a);
std::string host_text(const IpAddress &a);

// A network: the address with every bit past length clear. A prefix
// written inside ::ffff:0:0/96 is kept as the IPv4 prefix it is.
struct IpPrefix {
    IpAddress network;
    std::uint8_t length = 0;  // 0 to 32 for IPv4, 0 to 128 for IPv6
    friend bool operator==(const IpPrefix &, const IpPrefix &) = default;
};

enum class PrefixParse {
    Ok,
    BadAddress,   // not a literal parse_ip takes (no brackets, no zone)
    BadLength,    // not a decimal within the family's bits, or leading zeros
    HostBitsSet,  // "192.168.1.5/24": refused, as likely a mistake for
                  // another length or address
};

// "192.168.1.0/24", "fd00::/8"; a bare address is a /32 or /128.
PrefixParse parse_prefix(std::string_view text, IpPrefix *out) noexcept;
// "10.0.0.0/8", "2001:db8::/32"; the length as format_ip, 0 on failure.
std::size_t format_prefix(const IpPrefix &p, char *out, std::size_t size) noexcept;

// Whether the address lies in the network. A mapped address counts as the
// IPv4 address it is; an IPv4 address never lies in an IPv6 network (not
// even ::/0). Zones are not compared. A few nanoseconds, no loop: both
// families compare as 128 bits under a mask.
bool contains(const IpPrefix &p, const IpAddress &a) noexcept;

// Every address of a host name, both families, in the order the resolver
// gives but arranged by order_for_happy_eyeballs. A literal (as parse_ip)
// is its own single address and never reaches the resolver. On failure
// sets the last error (11001 unknown host, 11004 no address) and leaves
// *out empty.
bool resolve_all(const char *name, std::vector<IpAddress> *out) noexcept;
// A resolver has system_resolve_all's contract: it fills *out (order as
// found) and returns true, or sets the last error and returns false.
// Replaces the system look-up for resolve_all (tests return chosen
// addresses with it); null puts the system one back. Returns the previous.
// Without one, an IPv4 resolver that set_resolver installed answers
// resolve_all too, with its one address.
using ResolverAll = bool (*)(const char *name, std::vector<IpAddress> *out);
ResolverAll set_resolver_all(ResolverAll r) noexcept;
// getaddrinfo for any family, stream sockets, in the system's order.
bool system_resolve_all(const char *name, std::vector<IpAddress> *out) noexcept;

// Arranges addresses for racing connects (RFC 8305, section 4): IPv6 first,
// then the families alternate, each keeping its own order; once one family
// runs out the rest of the other follows. Mapped addresses count as the
// IPv4 ones they are; repeated addresses keep their first place only;
// entries of no family are dropped. May throw std::bad_alloc.
void order_for_happy_eyeballs(std::vector<IpAddress> *addrs);

// How long an attempt has alone before the next one starts (RFC 8305's
// recommended Connection Attempt Delay).
inline constexpr int kAttemptDelayMs = 250;

// Connects to port_net on the first of the addresses that answers, trying
// them in the given order: an attempt that has not connected within
// attempt_delay_ms, or that fails, starts the next one, while the earlier
// ones go on; the first to connect wins and every other is closed. The
// whole is bounded by timeout_ms (0: no bound). Returns a blocking stream
// socket, or kInvalidSocket with the last error set: kErrTimedOut when the
// bound ran out, else the error of the attempt that failed last (10061
// refused, 10065 host unreachable, ...); kErrInvalid for no address. As the
// timed connect, leaves the socket's send bound at timeout_ms (none for 0).
Socket connect_happy_eyeballs(std::span<const IpAddress> addrs, std::uint16_t port_net,
                              int timeout_ms, int attempt_delay_ms = kAttemptDelayMs) noexcept;

// A stream socket listening on the address and port (0: the system picks),
// with the accept queue net::max_backlog(), reusing a port that lingers in
// TIME_WAIT as bind does. On the IPv6 any address "::" it is dual-stack:
// IPv4 clients arrive too, as mapped addresses (accept_ip reports them as
// IPv4). On any other IPv6 address it takes IPv6 only. A mapped address
// listens as its IPv4 address. kInvalidSocket on failure, last error set.
Socket listen_on(const IpAddress &a, std::uint16_t port_net) noexcept;
// Whether an IPv6 socket can be made and bound to "::" dual-stack, that is
// whether listen_on("::") can work; when not, listen on IPv4 alone.
bool ipv6_available() noexcept;
// accept for a socket of either family. peer and peer_port_net may be
// null; a mapped peer is reported as its IPv4 address.
Socket accept_ip(Socket s, IpAddress *peer, std::uint16_t *peer_port_net) noexcept;
// The address and port a socket is bound to (mapped ones as IPv4), false
// on failure. port_net may be null.
bool local_address(Socket s, IpAddress *a, std::uint16_t *port_net) noexcept;
// The address and port of s's peer, a mapped one as IPv4.
bool peer_address(Socket s, IpAddress *a, std::uint16_t *port_net) noexcept;

// Datagram sockets of either family. udp_bind binds to a (port 0: one the
// system picks); kInvalidSocket on failure, last error set.
Socket udp_bind(const IpAddress &a, std::uint16_t port_net) noexcept;
// One datagram to a:port, whole, or -1 (last error set). An IPv4 target
// of an IPv6 socket goes as its mapped address.
long send_to_ip(Socket s, const IpAddress &a, std::uint16_t port_net, const void *data, std::size_t len) noexcept;
// One datagram, without waiting: its length (cut to len), or -1 with
// kErrWouldBlock when none is queued. from and port_net may be null.
long recv_from_ip(Socket s, void *buf, std::size_t len, IpAddress *from, std::uint16_t *port_net) noexcept;

// Datagrams read and answered in batches, one system call for many. Each
// keeps its sender's address as the system gave it, and (on a socket that
// asked with want_destination) the address it was sent to, so that the
// answer leaves from there: a socket bound to a wildcard address would
// otherwise answer from whichever address the route picks, and clients
// drop an answer from an address they did not ask.
struct Datagram {
    std::uint8_t *data = nullptr;
    std::size_t size = 0;  // on receive the buffer's room, then the length read
    IpAddress from;        // the sender, unmapped
    std::uint16_t port_net = 0;
    // Opaque to callers: the sender's and the destination's records.
    alignas(8) unsigned char peer_raw[32] = {};
    unsigned peer_len = 0;
    alignas(8) unsigned char local_raw[64] = {};
    unsigned local_len = 0;
};
// Asks for each datagram's destination address, for the answers of
// send_datagrams; false if the system refuses.
bool want_destination(Socket s) noexcept;
// Up to count datagrams without waiting: how many were read, 0 when none
// is queued, -1 on another error (last error set).
int recv_datagrams(Socket s, Datagram *d, int count) noexcept;
// Each d[i].size bytes at d[i].data to d[i]'s sender, from the address it
// was sent to: how many went. One that can't go is skipped (last error
// set), so that a client out of reach does not hold back the others.
int send_datagrams(Socket s, const Datagram *d, int count) noexcept;
// Asks for a receive buffer of bytes, past the system's usual cap where
// the process may; false if even the usual request fails.
bool set_receive_buffer(Socket s, int bytes) noexcept;

}  // namespace kel::net
