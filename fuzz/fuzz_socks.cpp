// The SOCKS message codec (socks/src/messages.h). Every parser and the
// waiting room's first_message read the same bytes. Checks: used never
// exceeds the input; walking the prefixes, a parser goes from NeedMore to
// either Invalid for good or Complete at exactly used bytes, and stays
// Complete with the same value; a Complete message is the very bytes a
// straightforward encoder of its value writes (RSV excepted), and the
// library's own builders write its address the same way; Invalid carries
// only the reply codes the header documents.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "messages.h"

namespace {

namespace socks = kel::socks;
using socks::Address;
using socks::Status;
using Bytes = std::span<const std::uint8_t>;
using Out = std::vector<std::uint8_t>;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void put_text(Out &out, const std::string &s) { out.insert(out.end(), s.begin(), s.end()); }

void put_port(Out &out, std::uint16_t port) {
    out.push_back(static_cast<std::uint8_t>(port >> 8));
    out.push_back(static_cast<std::uint8_t>(port));
}

// ATYP ADDR PORT as RFC 1928 lays it out.
void put_address(Out &out, const Address &a) {
    out.push_back(static_cast<std::uint8_t>(a.kind));
    switch (a.kind) {
        case Address::Kind::IPv4: out.insert(out.end(), a.ip.begin(), a.ip.begin() + 4); break;
        case Address::Kind::IPv6: out.insert(out.end(), a.ip.begin(), a.ip.end()); break;
        case Address::Kind::Domain:
            check(!a.host.empty() && a.host.size() <= 255);
            out.push_back(static_cast<std::uint8_t>(a.host.size()));
            put_text(out, a.host);
            break;
        default: check(false);
    }
    if (a.kind != Address::Kind::IPv6)
        for (std::size_t k = a.kind == Address::Kind::IPv4 ? 4 : 0; k < 16; ++k) check(a.ip[k] == 0);
    put_port(out, a.port);
}

bool same(const Out &model, Bytes in, std::size_t from) {
    if (model.size() != in.size() - from) return false;
    for (std::size_t k = 0; k < model.size(); ++k)
        if (model[k] != in[from + k]) return false;
    return true;
}

// The NeedMore, then Complete or Invalid, walk over every prefix; returns
// the result for the whole input.
template <class Parse>
auto walk(Parse parse, Bytes in) {
    auto whole = parse(in);
    check(whole.used <= in.size());
    check(whole.status == Status::Complete ? whole.used > 0 : whole.used == 0);
    check(whole.status == Status::Invalid || !whole.reply_code.has_value());
    bool decided = false;
    for (std::size_t k = 0; k <= in.size(); ++k) {
        const auto r = parse(in.first(k));
        if (!decided) {
            if (r.status == Status::NeedMore) continue;
            decided = true;
            check(r.status == whole.status);
            if (r.status == Status::Complete) check(r.used == k && whole.used == k);
        }
        check(r.status == whole.status);
        if (r.status == Status::Complete) check(r.used == whole.used && r.value == whole.value);
        if (r.status == Status::Invalid) check(r.reply_code == whole.reply_code);
    }
    if (!decided) check(whole.status == Status::NeedMore);
    return whole;
}

void check_greeting(Bytes in) {
    const auto r = walk(socks::parse_greeting, in);
    if (r.status == Status::Invalid) check(!r.reply_code && in[0] != socks::kVersion5);
    if (r.status != Status::Complete) return;
    check(in[0] == socks::kVersion5 && r.used == 2u + in[1]);
    for (std::size_t k = 2; k < r.used; ++k) check(r.value.offers(in[k]));
    check(r.value.offered.count() <= in[1]);
}

void check_credentials(Bytes in) {
    const auto r = walk(socks::parse_credentials, in);
    if (r.status == Status::Invalid) check(r.reply_code == socks::kAuthFailure && in[0] != socks::kAuthVersion);
    if (r.status != Status::Complete) return;
    const auto &c = r.value;
    check(c.user.size() <= 255 && c.password.size() <= 255);
    Out model{socks::kAuthVersion, static_cast<std::uint8_t>(c.user.size())};
    put_text(model, c.user);
    model.push_back(static_cast<std::uint8_t>(c.password.size()));
    put_text(model, c.password);
    check(same(model, in.first(r.used), 0));
}

void check_request5(Bytes in) {
    const auto r = walk(socks::parse_request5, in);
    if (r.status == Status::Invalid)
        check(r.reply_code == socks::kReplyGeneralFailure || r.reply_code == socks::kReplyAddressTypeNotSupported);
    if (r.status != Status::Complete) return;
    Out model{socks::kVersion5, r.value.command, in[2]};
    put_address(model, r.value.target);
    check(same(model, in.first(r.used), 0));
    // The reply builder writes a bound address exactly as a request carries it.
    std::uint8_t reply[socks::kMaxReply5Bytes];
    const std::size_t n = socks::write_reply5(socks::kReplySucceeded, r.value.target, reply);
    check(n == r.used && reply[0] == socks::kVersion5 && reply[1] == socks::kReplySucceeded && reply[2] == 0);
    check(same(Out(reply + 3, reply + n), in.first(r.used), 3));
}

void check_request4(Bytes in) {
    const auto r = walk(socks::parse_request4, in);
    if (r.status == Status::Invalid) {
        if (in[0] == socks::kVersion4) check(r.reply_code == socks::kReply4Rejected);
        else check(!r.reply_code);
    }
    if (r.status != Status::Complete) return;
    const auto &q = r.value;
    check(q.user_id.size() <= socks::kMaxSocks4Field && q.user_id.find('\0') == std::string::npos);
    const bool zero3 = in[4] == 0 && in[5] == 0 && in[6] == 0;
    check(q.is_4a() == (zero3 && in[7] != 0));
    Out model{socks::kVersion4, q.command};
    put_port(model, q.target.port);
    if (q.is_4a()) {
        check(!q.target.host.empty() && q.target.host.size() <= socks::kMaxSocks4Field);
        check(q.target.host.find('\0') == std::string::npos);
        for (std::size_t k = 0; k < 16; ++k) check(q.target.ip[k] == 0);
        model.insert(model.end(), {0, 0, 0, in[7]});
    } else {
        check(q.target.kind == Address::Kind::IPv4 && q.target.host.empty());
        model.insert(model.end(), q.target.ip.begin(), q.target.ip.begin() + 4);
    }
    put_text(model, q.user_id);
    model.push_back(0);
    if (q.is_4a()) {
        put_text(model, q.target.host);
        model.push_back(0);
    }
    check(same(model, in.first(r.used), 0));
}

void check_udp(Bytes in) {
    const auto r = walk(socks::parse_udp_header, in);
    if (r.status == Status::Invalid) check(!r.reply_code);
    if (r.status != Status::Complete) return;
    check(r.value.frag == in[2]);
    Out model;
    put_address(model, r.value.target);
    check(same(model, in.first(r.used), 3));
    std::uint8_t header[socks::kMaxUdpHeaderBytes];
    const std::size_t n = socks::write_udp_header(r.value.target, header);
    check(n == r.used && header[0] == 0 && header[1] == 0 && header[2] == 0);
    check(same(Out(header + 3, header + n), in.first(r.used), 3));
}

void check_first_message(Bytes in) {
    const Status s = socks::first_message(in);
    if (in.empty()) check(s == Status::NeedMore);
    else if (in[0] == socks::kVersion5) check(s == socks::parse_greeting(in).status);
    else if (in[0] == socks::kVersion4) check(s == socks::parse_request4(in).status);
    else check(s == Status::Invalid);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // The longest message is a 4a request: 8 + 256 + 256 bytes. Longer
    // inputs only add trailing bytes, and the prefix walk is quadratic.
    if (size > 600) return 0;
    const Bytes in(data, size);
    check_greeting(in);
    check_credentials(in);
    check_request5(in);
    check_request4(in);
    check_udp(in);
    check_first_message(in);
    // Behind a greeting comes the next message of the session.
    const auto g = socks::parse_greeting(in);
    if (g.status == Status::Complete) {
        check_credentials(in.subspan(g.used));
        check_request5(in.subspan(g.used));
    }
    return 0;
}
