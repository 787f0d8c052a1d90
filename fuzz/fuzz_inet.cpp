// Address and prefix literals of both families (kelplat/inet.h). The input
// is parsed as an address and as a prefix, whole and line by line. Checks:
// a parsed address prints to text that parses back to it, the canonical
// text is its own canonical text, the C library's inet_pton agrees on what
// is a literal and what it means (outside brackets and zones) and its
// inet_ntop on the text; a prefix holds its own network and exactly the
// addresses a bit-by-bit model says; the race order keeps every address
// once, each family in its order, alternating while both last.
#include <arpa/inet.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kelplat/inet.h"
#include "kelplat/net.h"

namespace {

using kel::net::IpAddress;
using kel::net::IpPrefix;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

IpAddress reparse(const std::string &text) {
    IpAddress a;
    check(kel::net::parse_ip(text, &a));
    return a;
}

bool plain_literal(std::string_view text) {
    return text.find_first_of(std::string_view("[]%\0", 4)) == std::string_view::npos;
}

void check_address(std::string_view text) {
    IpAddress a;
    const bool ok = kel::net::parse_ip(text, &a);
    const std::string z(text);
    in_addr v4{};
    in6_addr v6{};
    const bool model4 = plain_literal(text) && ::inet_pton(AF_INET, z.c_str(), &v4) == 1;
    const bool model6 = plain_literal(text) && ::inet_pton(AF_INET6, z.c_str(), &v6) == 1;
    if (plain_literal(text)) check(ok == (model4 || model6));
    if (!ok) return;
    check(a.is_v4() || a.is_v6());
    if (model4) check(a.is_v4() && std::memcmp(a.bytes, &v4, 4) == 0);
    if (model6) check(a.is_v6() && std::memcmp(a.bytes, &v6, 16) == 0 && a.scope_id == 0);
    if (a.is_v4()) {
        check(a.scope_id == 0);
        for (int k = 4; k < 16; ++k) check(a.bytes[k] == 0);
        std::uint32_t quad = 0;
        check(kel::net::parse_dotted_quad(z.c_str(), &quad) && quad == kel::net::ipv4_net(a));
    }

    const std::string canonical = kel::net::ip_text(a);
    check(!canonical.empty() && canonical.size() < kel::net::kIpTextSize);
    check(reparse(canonical) == a);
    check(kel::net::ip_text(reparse(canonical)) == canonical);
    const std::string host = kel::net::host_text(a);
    check(reparse(host) == a);
    check(a.is_v4() ? host == canonical : host.front() == '[' && host.back() == ']');

    if (a.is_v6() && a.scope_id == 0) {
        // The C library writes ::a.b.c.d where the first 96 bits are zero;
        // RFC 5952 keeps the IPv4 tail for mapped addresses only.
        static constexpr std::uint8_t kZero[12] = {};
        const bool compat = std::memcmp(a.bytes, kZero, 12) == 0 && (a.bytes[12] | a.bytes[13]) != 0;
        char model[INET6_ADDRSTRLEN];
        check(::inet_ntop(AF_INET6, a.bytes, model, sizeof model) != nullptr);
        if (!compat) check(canonical == model);
    }
    if (kel::net::is_v4_mapped(a)) {
        const IpAddress u = kel::net::unmapped(a);
        check(u.is_v4() && std::memcmp(u.bytes, a.bytes + 12, 4) == 0);
        IpAddress m = kel::net::mapped(u);
        m.scope_id = a.scope_id;
        check(m == a);
    } else {
        check(kel::net::unmapped(a) == a);
    }

    // A bare address is a prefix of its full length that holds it.
    IpPrefix p;
    const auto status = kel::net::parse_prefix(text, &p);
    if (text.find_first_of("[%") == std::string_view::npos) {
        check(status == kel::net::PrefixParse::Ok);
        check(kel::net::contains(p, a));
        check(p.length == (p.network.is_v4() ? 32 : 128));
    } else {
        check(status == kel::net::PrefixParse::BadAddress);
    }
}

bool bit(const IpAddress &a, unsigned k) { return ((a.bytes[k / 8] >> (7 - k % 8)) & 1) != 0; }

bool model_contains(const IpPrefix &p, const IpAddress &raw) {
    const IpAddress a = kel::net::unmapped(raw);
    if (a.family != p.network.family || a.family == 0) return false;
    for (unsigned k = 0; k < p.length; ++k)
        if (bit(a, k) != bit(p.network, k)) return false;
    return true;
}

void check_prefix(std::string_view text, const std::vector<IpAddress> &probes) {
    IpPrefix p;
    p.length = 200;
    const auto status = kel::net::parse_prefix(text, &p);
    if (status != kel::net::PrefixParse::Ok) {
        check(p.length == 200);
        return;
    }
    const unsigned bits = p.network.is_v4() ? 32 : 128;
    check(p.network.is_v4() || p.network.is_v6());
    check(p.length <= bits && p.network.scope_id == 0);
    for (unsigned k = p.length; k < bits; ++k) check(!bit(p.network, k));
    // The address part is a literal by the C library's reading too.
    const std::string addr(text.substr(0, text.find('/')));
    in6_addr any{};
    check(::inet_pton(AF_INET, addr.c_str(), &any) == 1 || ::inet_pton(AF_INET6, addr.c_str(), &any) == 1);

    check(kel::net::contains(p, p.network));
    if (p.network.is_v4()) check(kel::net::contains(p, kel::net::mapped(p.network)));
    char buf[kel::net::kIpTextSize];
    check(kel::net::format_prefix(p, buf, sizeof buf) > 0);
    IpPrefix again;
    check(kel::net::parse_prefix(buf, &again) == kel::net::PrefixParse::Ok && again == p);
    if (p.length > 0) {
        IpAddress out = p.network;
        out.bytes[(p.length - 1) / 8] ^= static_cast<std::uint8_t>(0x80u >> ((p.length - 1) % 8));
        check(!kel::net::contains(p, out));
    }
    if (p.length < bits) {
        IpAddress in = p.network;
        in.bytes[p.length / 8] ^= static_cast<std::uint8_t>(0x80u >> (p.length % 8));
        check(kel::net::contains(p, in));
    }
    for (const IpAddress &a : probes) check(kel::net::contains(p, a) == model_contains(p, a));
}

void check_order(std::vector<IpAddress> in) {
    const std::vector<IpAddress> original = in;
    kel::net::order_for_happy_eyeballs(&in);
    std::vector<IpAddress> v6, v4;  // the model: first occurrences, by family
    auto seen = [](const std::vector<IpAddress> &l, const IpAddress &a) {
        for (const auto &b : l)
            if (b == a) return true;
        return false;
    };
    for (const auto &raw : original) {
        const IpAddress a = kel::net::unmapped(raw);
        if (a.is_v6() && !seen(v6, a)) v6.push_back(a);
        if (a.is_v4() && !seen(v4, a)) v4.push_back(a);
    }
    check(in.size() == v6.size() + v4.size());
    std::size_t i6 = 0, i4 = 0;
    for (std::size_t k = 0; k < in.size(); ++k) {
        // While both families last, IPv6 takes the even places.
        const bool want6 = i4 == v4.size() || (i6 < v6.size() && i6 <= i4);
        if (want6) check(i6 < v6.size() && in[k] == v6[i6++]);
        else check(i4 < v4.size() && in[k] == v4[i4++]);
    }
}

// Addresses straight from the bytes: a family byte, then 16 bytes.
std::vector<IpAddress> probes_from(const std::uint8_t *data, std::size_t size) {
    std::vector<IpAddress> out;
    for (std::size_t i = 0; i + 17 <= size && out.size() < 64; i += 17) {
        IpAddress a;
        std::memcpy(a.bytes, data + i + 1, 16);
        switch (data[i] % 3) {
            case 0:
                a.family = 4;
                std::memset(a.bytes + 4, 0, 12);
                break;
            case 1: a.family = 6; break;
            default:  // mapped
                a.family = 6;
                std::memset(a.bytes, 0, 10);
                a.bytes[10] = a.bytes[11] = 0xFF;
                break;
        }
        out.push_back(a);
    }
    return out;
}

}  // namespace

constexpr int kMaxLines = 32;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 1024) return 0;  // longer inputs only repeat the lines' checks
    const std::string_view all(reinterpret_cast<const char *>(data), size);
    std::vector<IpAddress> probes = probes_from(data, size);
    check_address(all);
    check_prefix(all, probes);
    // Line by line too, so that a seed can hold several literals; each
    // line's address joins the probes and the order check.
    std::vector<IpAddress> parsed;
    std::string_view rest = all;
    for (int lines = 0; !rest.empty() && lines < kMaxLines; ++lines) {
        const std::size_t nl = rest.find('\n');
        const std::string_view line = rest.substr(0, nl);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
        check_address(line);
        IpAddress a;
        if (kel::net::parse_ip(line, &a)) {
            parsed.push_back(a);
            probes.push_back(a);
        }
        IpPrefix p;
        if (kel::net::parse_prefix(line, &p) == kel::net::PrefixParse::Ok) probes.push_back(p.network);
    }
    rest = all;
    for (int lines = 0; !rest.empty() && lines < kMaxLines; ++lines) {
        const std::size_t nl = rest.find('\n');
        check_prefix(rest.substr(0, nl), probes);
        rest = nl == std::string_view::npos ? std::string_view() : rest.substr(nl + 1);
    }
    for (const IpAddress &a : probes_from(data, size)) parsed.push_back(a);
    check_order(parsed);
    return 0;
}
