#include "messages.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace kel::socks {
namespace {

using Bytes = std::span<const std::uint8_t>;

template <class T>
Parsed<T> need_more() {
    return {};
}

template <class T>
Parsed<T> invalid(std::optional<std::uint8_t> reply) {
    Parsed<T> r;
    r.status = Status::Invalid;
    r.reply_code = reply;
    return r;
}

template <class T>
Parsed<T> complete(std::size_t used, T &&value) {
    Parsed<T> r;
    r.status = Status::Complete;
    r.used = used;
    r.value = std::move(value);
    return r;
}

std::uint16_t read_port(Bytes in, std::size_t at) {
    return static_cast<std::uint16_t>(in[at] << 8 | in[at + 1]);
}

std::string read_text(Bytes in, std::size_t at, std::size_t len) {
    return std::string(reinterpret_cast<const char *>(in.data() + at), len);
}

// Reads ATYP ADDR PORT from in[at]. On Complete, *end is one past the port.
// The reply on Invalid is the SOCKS 5 REP the request answers with.
struct AddressRead {
    Status status = Status::NeedMore;
    std::size_t end = 0;
    std::uint8_t reply = 0;
};

AddressRead read_address(Bytes in, std::size_t at, Address *out) {
    if (in.size() <= at) return {};
    std::size_t len;
    std::size_t addr = at + 1;
    switch (in[at]) {
        case static_cast<std::uint8_t>(Address::Kind::IPv4): len = 4; break;
        case static_cast<std::uint8_t>(Address::Kind::IPv6): len = 16; break;
        case static_cast<std::uint8_t>(Address::Kind::Domain):
            if (in.size() <= addr) return {};
            len = in[addr];
            if (len == 0) return {Status::Invalid, 0, kReplyGeneralFailure};
            ++addr;
            break;
        default: return {Status::Invalid, 0, kReplyAddressTypeNotSupported};
    }
    const std::size_t end = addr + len + 2;
    if (in.size() < end) return {};
    out->kind = static_cast<Address::Kind>(in[at]);
    out->ip = {};
    out->host.clear();
    if (out->kind == Address::Kind::Domain) out->host = read_text(in, addr, len);
    else std::memcpy(out->ip.data(), in.data() + addr, len);
    out->port = read_port(in, addr + len);
    return {Status::Complete, end, 0};
}

// Writes ATYP ADDR PORT at out[0]; 0 when it does not fit or cannot be sent.
std::size_t write_address(const Address &a, std::span<std::uint8_t> out) {
    std::size_t n = 0;
    switch (a.kind) {
        case Address::Kind::IPv4: n = 1 + 4 + 2; break;
        case Address::Kind::IPv6: n = 1 + 16 + 2; break;
        case Address::Kind::Domain:
            if (a.host.empty() || a.host.size() > 255) return 0;
            n = 1 + 1 + a.host.size() + 2;
            break;
        default: return 0;
    }
    if (out.size() < n) return 0;
    std::size_t at = 0;
    out[at++] = static_cast<std::uint8_t>(a.kind);
    if (a.kind == Address::Kind::Domain) {
        out[at++] = static_cast<std::uint8_t>(a.host.size());
        std::memcpy(out.data() + at, a.host.data(), a.host.size());
        at += a.host.size();
    } else {
        const std::size_t len = a.kind == Address::Kind::IPv4 ? 4 : 16;
        std::memcpy(out.data() + at, a.ip.data(), len);
        at += len;
    }
    out[at++] = static_cast<std::uint8_t>(a.port >> 8);
    out[at++] = static_cast<std::uint8_t>(a.port);
    return at;
}

// A NUL-terminated SOCKS 4 field from in[at]. Found: *end is one past the
// NUL. Invalid once kMaxSocks4Field bytes have come without one.
struct FieldRead {
    Status status = Status::NeedMore;
    std::size_t end = 0;
};

FieldRead read_field(Bytes in, std::size_t at) {
    const std::size_t avail = in.size() > at ? in.size() - at : 0;
    const std::size_t scan = std::min(avail, kMaxSocks4Field + 1);
    const std::uint8_t *from = in.data() + at;
    const void *nul = scan > 0 ? std::memchr(from, 0, scan) : nullptr;
    if (nul) return {Status::Complete, at + static_cast<std::size_t>(static_cast<const std::uint8_t *>(nul) - from) + 1};
    if (scan > kMaxSocks4Field) return {Status::Invalid, 0};
    return {};
}

}  // namespace

Parsed<Greeting> parse_greeting(Bytes in) {
    if (in.empty()) return need_more<Greeting>();
    if (in[0] != kVersion5) return invalid<Greeting>(std::nullopt);
    if (in.size() < 2) return need_more<Greeting>();
    const std::size_t end = 2 + std::size_t{in[1]};
    if (in.size() < end) return need_more<Greeting>();
    Greeting g;
    for (std::size_t i = 2; i < end; ++i) g.offered.set(in[i]);
    return complete(end, std::move(g));
}

Parsed<Credentials> parse_credentials(Bytes in) {
    if (in.empty()) return need_more<Credentials>();
    if (in[0] != kAuthVersion) return invalid<Credentials>(kAuthFailure);
    if (in.size() < 2) return need_more<Credentials>();
    const std::size_t ulen = in[1];
    const std::size_t plen_at = 2 + ulen;
    if (in.size() <= plen_at) return need_more<Credentials>();
    const std::size_t plen = in[plen_at];
    const std::size_t end = plen_at + 1 + plen;
    if (in.size() < end) return need_more<Credentials>();
    Credentials c;
    c.user = read_text(in, 2, ulen);
    c.password = read_text(in, plen_at + 1, plen);
    return complete(end, std::move(c));
}

Parsed<Request5> parse_request5(Bytes in) {
    if (in.empty()) return need_more<Request5>();
    if (in[0] != kVersion5) return invalid<Request5>(kReplyGeneralFailure);
    Request5 r;
    if (in.size() >= 2) r.command = in[1];
    const AddressRead a = read_address(in, 3, &r.target);
    if (a.status == Status::Invalid) return invalid<Request5>(a.reply);
    if (a.status == Status::NeedMore) return need_more<Request5>();
    return complete(a.end, std::move(r));
}

Parsed<Request4> parse_request4(Bytes in) {
    if (in.empty()) return need_more<Request4>();
    if (in[0] != kVersion4) return invalid<Request4>(std::nullopt);
    constexpr std::size_t kFixed = 8;  // VN CD DSTPORT DSTIP
    if (in.size() < kFixed) {
        // A field can overflow only after the fixed part, so waiting is safe.
        return need_more<Request4>();
    }
    const FieldRead user = read_field(in, kFixed);
    if (user.status == Status::Invalid) return invalid<Request4>(kReply4Rejected);
    const bool is_4a = in[4] == 0 && in[5] == 0 && in[6] == 0 && in[7] != 0;
    if (user.status == Status::NeedMore) return need_more<Request4>();
    Request4 r;
    r.command = in[1];
    r.target.port = read_port(in, 2);
    r.user_id = read_text(in, kFixed, user.end - 1 - kFixed);
    if (!is_4a) {
        r.target.kind = Address::Kind::IPv4;
        std::memcpy(r.target.ip.data(), in.data() + 4, 4);
        return complete(user.end, std::move(r));
    }
    const FieldRead host = read_field(in, user.end);
    if (host.status == Status::Invalid) return invalid<Request4>(kReply4Rejected);
    if (host.status == Status::NeedMore) return need_more<Request4>();
    if (host.end == user.end + 1) return invalid<Request4>(kReply4Rejected);  // empty name
    r.target.kind = Address::Kind::Domain;
    r.target.host = read_text(in, user.end, host.end - 1 - user.end);
    return complete(host.end, std::move(r));
}

Parsed<UdpHeader> parse_udp_header(Bytes in) {
    if (in.size() < 3) return need_more<UdpHeader>();
    UdpHeader h;
    h.frag = in[2];
    const AddressRead a = read_address(in, 3, &h.target);
    if (a.status == Status::Invalid) return invalid<UdpHeader>(std::nullopt);
    if (a.status == Status::NeedMore) return need_more<UdpHeader>();
    return complete(a.end, std::move(h));
}

Status first_message(Bytes in) {
    if (in.empty()) return Status::NeedMore;
    switch (in[0]) {
        case kVersion5: return parse_greeting(in).status;
        case kVersion4: return parse_request4(in).status;
        default: return Status::Invalid;
    }
}

std::array<std::uint8_t, 2> method_reply(std::uint8_t method) { return {kVersion5, method}; }

std::array<std::uint8_t, 2> auth_reply(std::uint8_t status) { return {kAuthVersion, status}; }

std::array<std::uint8_t, 8> reply4(std::uint8_t code, std::uint16_t port, std::array<std::uint8_t, 4> ip) {
    return {0x00, code, static_cast<std::uint8_t>(port >> 8), static_cast<std::uint8_t>(port),
            ip[0], ip[1], ip[2], ip[3]};
}

std::size_t write_reply5(std::uint8_t reply, const Address &bound, std::span<std::uint8_t> out) {
    if (out.size() < 3) return 0;
    const std::size_t n = write_address(bound, out.subspan(3));
    if (n == 0) return 0;
    out[0] = kVersion5;
    out[1] = reply;
    out[2] = 0x00;
    return 3 + n;
}

std::size_t write_udp_header(const Address &source, std::span<std::uint8_t> out) {
    if (out.size() < 3) return 0;
    const std::size_t n = write_address(source, out.subspan(3));
    if (n == 0) return 0;
    out[0] = out[1] = out[2] = 0x00;
    return 3 + n;
}

}  // namespace kel::socks
