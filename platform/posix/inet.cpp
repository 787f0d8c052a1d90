// Address literals, their text, prefixes and the order of racing connects.
// No socket here; only zone names reach the system (interface indexes).
#include "kelplat/inet.h"

#include <net/if.h>
#include <sys/socket.h>

#include <bit>
#include <cstring>

namespace kel::net {

namespace {

constexpr std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

// Zone names as RFC 6874 lets them stand in a URL without escapes; the
// system allows more, but such names cannot be written back unambiguously.
constexpr std::size_t kMaxZoneName = IF_NAMESIZE - 1;

bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool is_zone_char(char c) noexcept {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

bool all_digits(std::string_view s) noexcept {
    if (s.empty()) return false;
    for (char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// Strict dotted quad over the whole of s, into four bytes.
bool parse_v4(std::string_view s, std::uint8_t out[4]) noexcept {
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= s.size() || s[i] != '.') return false;
            ++i;
        }
        const std::size_t first = i;
        unsigned value = 0;
        while (i < s.size() && is_digit(s[i]) && i - first < 3) value = value * 10 + unsigned(s[i++] - '0');
        const std::size_t digits = i - first;
        if (digits == 0 || value > 255 || (digits > 1 && s[first] == '0')) return false;
        if (i < s.size() && is_digit(s[i])) return false;  // a fourth digit
        out[part] = static_cast<std::uint8_t>(value);
    }
    return i == s.size();
}

// RFC 4291 text over the whole of s, without zone or brackets.
bool parse_v6(std::string_view s, std::uint8_t out[16]) noexcept {
    std::uint16_t groups[8] = {};
    int count = 0;
    int gap = -1;  // group index where "::" stands
    std::size_t i = 0;
    if (s.size() >= 2 && s[0] == ':' && s[1] == ':') {
        gap = 0;
        i = 2;
    } else if (!s.empty() && s[0] == ':') {
        return false;
    }
    while (i < s.size()) {
        const std::size_t first = i;
        unsigned value = 0;
        while (i < s.size() && hex_value(s[i]) >= 0 && i - first < 5)
            value = value * 16 + unsigned(hex_value(s[i++]));
        const std::size_t digits = i - first;
        if (digits == 0 || digits > 4) return false;
        if (i < s.size() && s[i] == '.') {
            // An IPv4 tail: the rest of the text, in the last two groups.
            std::uint8_t v4[4];
            if (count > 6 || !parse_v4(s.substr(first), v4)) return false;
            groups[count++] = static_cast<std::uint16_t>(v4[0] << 8 | v4[1]);
            groups[count++] = static_cast<std::uint16_t>(v4[2] << 8 | v4[3]);
            break;
        }
        if (count == 8) return false;
        groups[count++] = static_cast<std::uint16_t>(value);
        if (i == s.size()) break;
        if (s[i] != ':') return false;
        ++i;
        if (i < s.size() && s[i] == ':') {
            if (gap >= 0) return false;
            gap = count;
            ++i;
        } else if (i == s.size()) {
            return false;  // a lone trailing colon
        }
    }
    if (gap < 0 ? count != 8 : count > 7) return false;  // "::" is at least one group
    std::uint16_t full[8] = {};
    if (gap < 0) {
        std::memcpy(full, groups, sizeof full);
    } else {
        const int after = count - gap;
        for (int k = 0; k < gap; ++k) full[k] = groups[k];
        for (int k = 0; k < after; ++k) full[8 - after + k] = groups[gap + k];
    }
    for (int k = 0; k < 8; ++k) {
        out[2 * k] = static_cast<std::uint8_t>(full[k] >> 8);
        out[2 * k + 1] = static_cast<std::uint8_t>(full[k]);
    }
    return true;
}

// A zone as an interface index: a number, or a name the system knows.
bool parse_zone(std::string_view zone, std::uint32_t *scope_id) noexcept {
    if (zone.empty() || zone.size() > kMaxZoneName) return false;
    for (char c : zone)
        if (!is_zone_char(c)) return false;
    if (all_digits(zone)) {
        std::uint64_t v = 0;
        for (char c : zone) v = v * 10 + std::uint64_t(c - '0');
        if (v == 0 || v > 0xFFFFFFFFu) return false;
        *scope_id = static_cast<std::uint32_t>(v);
        return true;
    }
    char name[IF_NAMESIZE] = {};
    std::memcpy(name, zone.data(), zone.size());
    const unsigned index = ::if_nametoindex(name);
    if (index == 0) return false;
    *scope_id = index;
    return true;
}

std::uint64_t load_be64(const std::uint8_t *p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
    return v;
}

// Text built in a fixed buffer, copied out whole or not at all.
class Text {
public:
    void put(char c) noexcept {
        if (len_ + 1 < sizeof buf_) buf_[len_++] = c;
        else overflow_ = true;
    }
    void put(std::string_view s) noexcept {
        for (char c : s) put(c);
    }
    void put_decimal(std::uint32_t v) noexcept {
        char digits[10];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v != 0);
        while (n > 0) put(digits[--n]);
    }
    void put_hex(unsigned v) noexcept {
        static constexpr char kHex[] = "0123456789abcdef";
        bool started = false;
        for (int shift = 12; shift >= 0; shift -= 4) {
            const unsigned d = (v >> shift) & 0xF;
            if (d != 0 || started || shift == 0) {
                put(kHex[d]);
                started = true;
            }
        }
    }
    std::size_t copy_to(char *out, std::size_t size) const noexcept {
        if (out == nullptr || size == 0) return 0;
        if (overflow_ || len_ == 0 || len_ + 1 > size) {
            out[0] = '\0';
            return 0;
        }
        std::memcpy(out, buf_, len_);
        out[len_] = '\0';
        return len_;
    }

private:
    char buf_[kIpTextSize] = {};
    std::size_t len_ = 0;
    bool overflow_ = false;
};

void put_v4(Text &t, const std::uint8_t *b) noexcept {
    for (int k = 0; k < 4; ++k) {
        if (k > 0) t.put('.');
        t.put_decimal(b[k]);
    }
}

void put_v6(Text &t, const std::uint8_t *b) noexcept {
    if (std::memcmp(b, kMappedPrefix, sizeof kMappedPrefix) == 0) {
        // RFC 5952, section 5: mapped addresses keep their IPv4 tail.
        t.put("::ffff:");
        put_v4(t, b + 12);
        return;
    }
    unsigned groups[8];
    for (int k = 0; k < 8; ++k) groups[k] = unsigned(b[2 * k]) << 8 | b[2 * k + 1];
    int best = -1, best_len = 0;
    for (int k = 0; k < 8;) {
        if (groups[k] != 0) {
            ++k;
            continue;
        }
        int end = k;
        while (end < 8 && groups[end] == 0) ++end;
        if (end - k > best_len) {
            best = k;
            best_len = end - k;
        }
        k = end;
    }
    if (best_len < 2) {  // a single zero group stays "0"
        best = -1;
        best_len = 0;
    }
    for (int k = 0; k < 8; ++k) {
        if (k == best) {
            t.put("::");
            k += best_len - 1;
            continue;
        }
        if (k > 0 && k != best + best_len) t.put(':');
        t.put_hex(groups[k]);
    }
}

// The zone as it parses back: the interface's name when it has one that
// cannot be taken for a number, else the index.
void put_zone(Text &t, std::uint32_t scope_id) noexcept {
    char name[IF_NAMESIZE] = {};
    if (::if_indextoname(scope_id, name) != nullptr) {
        const std::string_view n(name);
        bool plain = !n.empty() && n.size() <= kMaxZoneName && !all_digits(n);
        for (char c : n) plain = plain && is_zone_char(c);
        if (plain) {
            t.put(n);
            return;
        }
    }
    t.put_decimal(scope_id);
}

std::size_t format(const IpAddress &a, bool as_host, char *out, std::size_t size) noexcept {
    Text t;
    if (a.is_v4()) {
        put_v4(t, a.bytes);
    } else if (a.is_v6()) {
        if (as_host) t.put('[');
        put_v6(t, a.bytes);
        if (a.scope_id != 0) {
            t.put(as_host ? "%25" : "%");
            put_zone(t, a.scope_id);
        }
        if (as_host) t.put(']');
    }
    return t.copy_to(out, size);
}

}  // namespace

IpAddress ipv4_address(std::uint32_t addr_net) noexcept {
    IpAddress a;
    a.family = 4;
    std::memcpy(a.bytes, &addr_net, 4);
    return a;
}

IpAddress ipv6_address(const std::uint8_t (&bytes)[16], std::uint32_t scope_id) noexcept {
    IpAddress a;
    a.family = 6;
    std::memcpy(a.bytes, bytes, 16);
    a.scope_id = scope_id;
    return a;
}

std::uint32_t ipv4_net(const IpAddress &a) noexcept {
    std::uint32_t v = 0;
    if (a.is_v4()) std::memcpy(&v, a.bytes, 4);
    return v;
}

bool is_v4_mapped(const IpAddress &a) noexcept {
    return a.is_v6() && std::memcmp(a.bytes, kMappedPrefix, sizeof kMappedPrefix) == 0;
}

IpAddress unmapped(const IpAddress &a) noexcept {
    if (!is_v4_mapped(a)) return a;
    std::uint32_t v;
    std::memcpy(&v, a.bytes + 12, 4);
    return ipv4_address(v);
}

IpAddress mapped(const IpAddress &a) noexcept {
    if (!a.is_v4()) return a;
    IpAddress m;
    m.family = 6;
    std::memcpy(m.bytes, kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(m.bytes + 12, a.bytes, 4);
    return m;
}

bool to_sockaddr4(const IpAddress &a, std::uint16_t port_net, SockAddr4 *out) noexcept {
    const IpAddress v4 = unmapped(a);
    if (!v4.is_v4() || out == nullptr) return false;
    std::memset(out, 0, sizeof *out);
    out->family = AF_INET;
    out->port_net = port_net;
    std::memcpy(&out->addr_net, v4.bytes, 4);
    return true;
}

bool parse_ip(std::string_view text, IpAddress *out) noexcept {
    if (out == nullptr) return false;
    bool bracketed = false;
    if (!text.empty() && text.front() == '[') {
        if (text.size() < 2 || text.back() != ']') return false;
        text = text.substr(1, text.size() - 2);
        bracketed = true;
    }
    std::string_view addr = text;
    std::string_view zone;
    bool has_zone = false;
    if (const auto pct = text.find('%'); pct != std::string_view::npos) {
        addr = text.substr(0, pct);
        zone = text.substr(pct + 1);
        has_zone = true;
        if (bracketed && zone.size() > 2 && zone.substr(0, 2) == "25") zone.remove_prefix(2);
    }
    IpAddress a;
    if (!bracketed && !has_zone && parse_v4(addr, a.bytes)) {
        a.family = 4;
        *out = a;
        return true;
    }
    if (!parse_v6(addr, a.bytes)) return false;
    a.family = 6;
    if (has_zone && !parse_zone(zone, &a.scope_id)) return false;
    *out = a;
    return true;
}

std::size_t format_ip(const IpAddress &a, char *out, std::size_t size) noexcept {
    return format(a, false, out, size);
}

std::size_t format_host(const IpAddress &a, char *out, std::size_t size) noexcept {
    return format(a, true, out, size);
}

std::string ip_text(const IpAddress &a) {
    char buf[kIpTextSize];
    return std::string(buf, format_ip(a, buf, sizeof buf));
}

std::string host_text(const IpAddress &a) {
    char buf[kIpTextSize];
    return std::string(buf, format_host(a, buf, sizeof buf));
}

PrefixParse parse_prefix(std::string_view text, IpPrefix *out) noexcept {
    if (out == nullptr) return PrefixParse::BadAddress;
    const auto slash = text.find('/');
    const std::string_view addr_text = text.substr(0, slash);
    if (addr_text.empty() || addr_text.front() == '[' ||
        addr_text.find('%') != std::string_view::npos)
        return PrefixParse::BadAddress;
    IpAddress a;
    if (!parse_ip(addr_text, &a)) return PrefixParse::BadAddress;
    const unsigned bits = a.is_v4() ? 32 : 128;
    unsigned length = bits;
    if (slash != std::string_view::npos) {
        const std::string_view len_text = text.substr(slash + 1);
        if (!all_digits(len_text) || len_text.size() > 3 || (len_text.size() > 1 && len_text[0] == '0'))
            return PrefixParse::BadLength;
        length = 0;
        for (char c : len_text) length = length * 10 + unsigned(c - '0');
        if (length > bits) return PrefixParse::BadLength;
    }
    // Any bit past the length must be clear.
    for (unsigned bit = length; bit < bits; ++bit)
        if ((a.bytes[bit / 8] >> (7 - bit % 8)) & 1) return PrefixParse::HostBitsSet;
    IpPrefix p;
    if (is_v4_mapped(a) && length >= 96) {
        p.network = unmapped(a);
        p.length = static_cast<std::uint8_t>(length - 96);
    } else {
        p.network = a;
        p.length = static_cast<std::uint8_t>(length);
    }
    *out = p;
    return PrefixParse::Ok;
}

std::size_t format_prefix(const IpPrefix &p, char *out, std::size_t size) noexcept {
    char addr[kIpTextSize];
    const std::size_t n = format_ip(p.network, addr, sizeof addr);
    if (n == 0 || p.length > (p.network.is_v4() ? 32 : 128)) {
        if (out != nullptr && size > 0) out[0] = '\0';
        return 0;
    }
    Text t;
    t.put(std::string_view(addr, n));
    t.put('/');
    t.put_decimal(p.length);
    return t.copy_to(out, size);
}

bool contains(const IpPrefix &p, const IpAddress &a) noexcept {
    // Both families compare as 128 bits: an IPv4 address fills the first 32
    // and leaves the rest zero, so the same leading-bit mask serves.
    std::uint64_t hi = load_be64(a.bytes);
    std::uint64_t lo = load_be64(a.bytes + 8);
    std::uint8_t family = a.family;
    if (family == 6 && hi == 0 && (lo >> 32) == 0xFFFFu) {
        hi = lo << 32;
        lo = 0;
        family = 4;
    }
    const unsigned len = p.length;
    const std::uint64_t mask_hi = len == 0 ? 0 : len >= 64 ? ~0ull : ~0ull << (64 - len);
    const std::uint64_t mask_lo = len <= 64 ? 0 : len >= 128 ? ~0ull : ~0ull << (128 - len);
    const std::uint64_t net_hi = load_be64(p.network.bytes);
    const std::uint64_t net_lo = load_be64(p.network.bytes + 8);
    return family == p.network.family && family != 0 && ((hi ^ net_hi) & mask_hi) == 0 &&
           ((lo ^ net_lo) & mask_lo) == 0;
}

void order_for_happy_eyeballs(std::vector<IpAddress> *addrs) {
    std::vector<IpAddress> v6, v4;
    auto seen = [](const std::vector<IpAddress> &list, const IpAddress &a) {
        for (const auto &b : list)
            if (b == a) return true;
        return false;
    };
    for (const auto &raw : *addrs) {
        const IpAddress a = unmapped(raw);
        auto &list = a.is_v6() ? v6 : v4;
        if ((a.is_v4() || a.is_v6()) && !seen(list, a)) list.push_back(a);
    }
    addrs->clear();
    for (std::size_t k = 0; k < v6.size() || k < v4.size(); ++k) {
        if (k < v6.size()) addrs->push_back(v6[k]);
        if (k < v4.size()) addrs->push_back(v4[k]);
    }
}

}  // namespace kel::net
