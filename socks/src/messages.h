// The SOCKS wire messages: SOCKS 4 and its 4a host-name extension, SOCKS 5
// (RFC 1928) and the username/password sub-negotiation (RFC 1929). Pure
// functions over bytes; no sockets, no state, thread-safe.
//
// Every parser takes what has arrived so far and answers with a Parsed<T>:
//   NeedMore  the bytes are a prefix of a message that may still complete;
//             read more and call again with everything received.
//   Complete  value holds the message; used is its length. Bytes after it
//             belong to whatever follows and are never consumed.
//   Invalid   no continuation can make a message; reply_code says what to
//             answer before closing, or is empty for a silent close.
// A parser decides as early as the bytes allow: once a prefix is Invalid
// every longer input is too, and once it is Complete more bytes change
// neither the value nor used.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace kel::socks {

enum class Status : std::uint8_t { NeedMore, Complete, Invalid };

template <class T>
struct Parsed {
    Status status = Status::NeedMore;
    std::size_t used = 0;  // message length when Complete, else 0
    T value{};             // meaningful only when Complete
    std::optional<std::uint8_t> reply_code;  // only when Invalid
};

constexpr std::uint8_t kVersion4 = 0x04;
constexpr std::uint8_t kVersion5 = 0x05;
constexpr std::uint8_t kAuthVersion = 0x01;  // RFC 1929 sub-negotiation

// Methods of the SOCKS 5 greeting and method selection.
constexpr std::uint8_t kMethodNoAuth = 0x00;
constexpr std::uint8_t kMethodUserPassword = 0x02;
constexpr std::uint8_t kMethodNoneAcceptable = 0xFF;

// RFC 1929 status: 0 succeeds; anything else fails and the server closes.
constexpr std::uint8_t kAuthSuccess = 0x00;
constexpr std::uint8_t kAuthFailure = 0x01;

// Commands; SOCKS 4 uses the first two with the same values.
constexpr std::uint8_t kCommandConnect = 0x01;
constexpr std::uint8_t kCommandBind = 0x02;
constexpr std::uint8_t kCommandUdpAssociate = 0x03;

// SOCKS 5 reply codes (REP).
constexpr std::uint8_t kReplySucceeded = 0x00;
constexpr std::uint8_t kReplyGeneralFailure = 0x01;
constexpr std::uint8_t kReplyNotAllowed = 0x02;
constexpr std::uint8_t kReplyNetworkUnreachable = 0x03;
constexpr std::uint8_t kReplyHostUnreachable = 0x04;
constexpr std::uint8_t kReplyConnectionRefused = 0x05;
constexpr std::uint8_t kReplyTtlExpired = 0x06;
constexpr std::uint8_t kReplyCommandNotSupported = 0x07;
constexpr std::uint8_t kReplyAddressTypeNotSupported = 0x08;

// SOCKS 4 reply codes (CD).
constexpr std::uint8_t kReply4Granted = 90;
constexpr std::uint8_t kReply4Rejected = 91;
constexpr std::uint8_t kReply4NoIdentd = 92;
constexpr std::uint8_t kReply4IdentMismatch = 93;

// The longest SOCKS 4 user id and 4a host name, without the NUL; longer is
// Invalid, so a client cannot make the server buffer without end.
constexpr std::size_t kMaxSocks4Field = 255;

// A target or bound address as SOCKS carries it.
struct Address {
    enum class Kind : std::uint8_t { IPv4 = 1, Domain = 3, IPv6 = 4 };
    Kind kind = Kind::IPv4;
    std::array<std::uint8_t, 16> ip{};  // network order; 4 or 16 octets used, the rest zero
    std::string host;                   // Domain only: the name as sent, 1 to 255 bytes
    std::uint16_t port = 0;             // host order
    bool operator==(const Address &) const = default;
};

// SOCKS 5 greeting: VER=5 NMETHODS METHODS. NMETHODS 0 is Complete with
// nothing offered, so the selection answers kMethodNoneAcceptable. Invalid
// (silent close) when VER is not 5.
struct Greeting {
    std::bitset<256> offered;
    bool offers(std::uint8_t method) const { return offered.test(method); }
    bool operator==(const Greeting &) const = default;
};
Parsed<Greeting> parse_greeting(std::span<const std::uint8_t> in);

// RFC 1929: VER=1 ULEN UNAME PLEN PASSWD. Lengths of 0 are Complete:
// whether an empty name or password passes is the credential check's call.
// Invalid with kAuthFailure when VER is not 1.
struct Credentials {
    std::string user;
    std::string password;
    bool operator==(const Credentials &) const = default;
};
Parsed<Credentials> parse_credentials(std::span<const std::uint8_t> in);

// SOCKS 5 request: VER=5 CMD RSV ATYP DST.ADDR DST.PORT. RSV is ignored.
// An unknown CMD is Complete with its value kept (answer
// kReplyCommandNotSupported) as long as the address frames. Invalid with:
//   kReplyGeneralFailure           VER is not 5, or a domain of length 0
//   kReplyAddressTypeNotSupported  ATYP is not 1, 3 or 4: the rest cannot be framed
struct Request5 {
    std::uint8_t command = 0;
    Address target;
    bool operator==(const Request5 &) const = default;
};
Parsed<Request5> parse_request5(std::span<const std::uint8_t> in);

// SOCKS 4 request: VN=4 CD DSTPORT DSTIP USERID NUL. A DSTIP of 0.0.0.x
// with x != 0 makes it 4a: HOSTNAME NUL follows and the target is that
// Domain; 0.0.0.0 is plain SOCKS 4 to that address. An unknown CD is
// Complete with its value kept (answer kReply4Rejected). Invalid with no
// reply when VN is not 4, and with kReply4Rejected for a user id or host
// name over kMaxSocks4Field bytes or an empty host name.
struct Request4 {
    std::uint8_t command = 0;
    Address target;  // IPv4, or Domain for 4a
    std::string user_id;
    bool is_4a() const { return target.kind == Address::Kind::Domain; }
    bool operator==(const Request4 &) const = default;
};
Parsed<Request4> parse_request4(std::span<const std::uint8_t> in);

// The header of a UDP ASSOCIATE datagram: RSV(2) FRAG ATYP DST.ADDR
// DST.PORT, then DATA from offset used. RSV is ignored; frag is reported
// for the relay to drop (it does not reassemble). A datagram arrives
// whole, so NeedMore here means a runt: drop it, as Invalid (unknown ATYP,
// empty domain; never a reply).
struct UdpHeader {
    std::uint8_t frag = 0;
    Address target;
    bool operator==(const UdpHeader &) const = default;
};
Parsed<UdpHeader> parse_udp_header(std::span<const std::uint8_t> in);

// For the waiting room, before a connection gets a thread: whether the
// first message on a new connection (a SOCKS 5 greeting, or a whole SOCKS 4
// or 4a request) is Complete, may still be (NeedMore), or never can be
// (Invalid: an unknown version byte, or an overlong SOCKS 4 field).
Status first_message(std::span<const std::uint8_t> in);

// Builders.
// Method selection: 05 METHOD.
std::array<std::uint8_t, 2> method_reply(std::uint8_t method);
// Sub-negotiation status: 01 STATUS.
std::array<std::uint8_t, 2> auth_reply(std::uint8_t status);
// SOCKS 4 reply: 00 CD DSTPORT DSTIP; the port in host order.
std::array<std::uint8_t, 8> reply4(std::uint8_t code, std::uint16_t port, std::array<std::uint8_t, 4> ip);

// The longest encoded ATYP ADDR PORT: a domain of 255 bytes.
constexpr std::size_t kMaxAddressBytes = 1 + 1 + 255 + 2;
constexpr std::size_t kMaxReply5Bytes = 3 + kMaxAddressBytes;
constexpr std::size_t kMaxUdpHeaderBytes = 3 + kMaxAddressBytes;

// SOCKS 5 reply: 05 REP 00 ATYP BND.ADDR BND.PORT, written at the start of
// out. Returns the bytes written; 0 when out is too small or the address
// cannot be sent (a domain of 0 or over 255 bytes).
std::size_t write_reply5(std::uint8_t reply, const Address &bound, std::span<std::uint8_t> out);
// A UDP datagram header, 00 00 00 ATYP ADDR PORT, for a datagram relayed
// to the client from source. Returns the bytes written, DATA's offset; 0 as
// for write_reply5.
std::size_t write_udp_header(const Address &source, std::span<std::uint8_t> out);

}  // namespace kel::socks
