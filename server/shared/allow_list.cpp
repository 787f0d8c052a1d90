#include "allow_list.h"

#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "kelplat/diag.h"

namespace kel::server {
namespace {

constexpr const char *kModule = "allow_list";

// Four octets in network order, first octet at the lowest address.
uint32_t octets_to_address(const std::array<unsigned char, 4> &octets) {
    uint32_t value;
    std::memcpy(&value, octets.data(), sizeof value);
    return value;
}

// A wildcard pattern: dotted parts, each a decimal number from 0 to 255 or
// exactly "*", at most four of them, with a "*" among them. Parts behind the
// "*" are checked but ignored. Anything else is refused, because a stray
// character would otherwise widen the mask to foreign networks.
struct Wildcard {
    uint32_t address;
    uint32_t mask;
};

std::optional<Wildcard> parse_wildcard(std::string_view text) {
    std::array<unsigned char, 4> address{};
    std::array<unsigned char, 4> mask{};
    std::optional<Wildcard> result;
    size_t position = 0;
    size_t start = 0;
    for (;;) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? text.size() - start
                                                                                 : dot - start);
        if (position >= 4) return std::nullopt;
        if (part == "*") {
            if (!result) result = Wildcard{octets_to_address(address), octets_to_address(mask)};
        } else {
            if (part.empty() || part.size() > 3) return std::nullopt;
            unsigned value = 0;
            for (char c : part) {
                if (c < '0' || c > '9') return std::nullopt;
                value = value * 10 + static_cast<unsigned>(c - '0');
            }
            if (value > 255) return std::nullopt;
            if (!result) {
                address[position] = static_cast<unsigned char>(value);
                mask[position] = 0xFF;
            }
        }
        ++position;
        if (dot == std::string_view::npos) break;
        start = dot + 1;
    }
    return result;
}

void diag_skipped(const char *entry, const char *why, int line_no) {
    char text[384];
    std::snprintf(text, sizeof text, "allow-list entry '%s' skipped: %s", entry, why);
    kel::diag::message(text, kModule, line_no);
}

// What an IPv6 literal, a prefix or a name's every address allows, beside
// the IPv4 slots.
using Prefixes = std::vector<net::IpPrefix>;

const char *prefix_fault(net::PrefixParse r) {
    switch (r) {
        case net::PrefixParse::BadAddress: return "the address of a prefix is not an IPv4 or IPv6 literal";
        case net::PrefixParse::BadLength: return "the length of a prefix is not a number within its family's bits";
        case net::PrefixParse::HostBitsSet: return "the address of a prefix has bits set past its length";
        case net::PrefixParse::Ok: break;
    }
    return "malformed prefix";
}

// A host name's form: dot-separated labels of letters, digits, '-' and '_',
// none empty or over 63 characters, the last not all digits (so that
// 300.1.1.1 is no name), 253 at most in all. Anything else would only fail
// to resolve, later and with a vaguer word.
bool is_host_name(std::string_view name) {
    if (name.empty() || name.size() > 253) return false;
    if (name.back() == '.') name.remove_suffix(1);
    size_t label = 0;
    bool digits_only = true;
    for (char c : name) {
        if (c == '.') {
            if (label == 0) return false;
            label = 0;
            digits_only = true;
            continue;
        }
        const bool digit = c >= '0' && c <= '9';
        const bool ok = digit || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' || c == '_';
        if (!ok || ++label > 63) return false;
        digits_only = digits_only && digit;
    }
    return label > 0 && !digits_only;
}

constexpr const char *kNotAName = "not an address, a prefix, a pattern such as 192.168.1.* or a host name";
constexpr const char *kBadV6 = "an IPv6 entry is an address such as fd00::5 or a prefix such as fd00::/8";
constexpr const char *kBadPattern = "a pattern is made of dotted numbers from 0 to 255 and '*'";

}  // namespace

// Adds one entry to a list: an IPv4 address or host name (resolved now), a
// wildcard pattern, an IPv6 address, or a prefix of either family in CIDR
// form. An empty entry, a malformed one and a name that does not resolve
// take no IPv4 slot; a name's other addresses (IPv6, further IPv4 ones) and
// IPv4 entries past the slots go to the prefixes. Returns the count of IPv4
// slots.
int32_t add_allow_entry(uint32_t *ips, uint32_t *masks, int32_t &nb, Prefixes &prefixes, const char *texte) {
    if (const char *fault = allow_entry_fault(texte)) {
        diag_skipped(texte, fault, __LINE__);
        return nb;
    }
    if (std::strchr(texte, '/') != nullptr) {
        net::IpPrefix prefix;
        (void)net::parse_prefix(texte, &prefix);
        prefixes.push_back(prefix);
        return nb;
    }
    if (std::strchr(texte, ':') != nullptr) {
        net::IpAddress address;
        (void)net::parse_ip(texte, &address);
        const net::IpAddress a = net::unmapped(address);
        prefixes.push_back({a, static_cast<std::uint8_t>(a.is_v4() ? 32 : 128)});
        return nb;
    }
    // The slots hold the first 100 IPv4 entries, as they always did; the
    // entries past them go to the prefixes, which the same matcher reads.
    const auto put_v4 = [&](uint32_t address_net, uint32_t mask_net) {
        if (nb < kIpMaskSlots) {
            ips[nb] = address_net;
            masks[nb] = mask_net;
            ++nb;
            return;
        }
        prefixes.push_back({net::ipv4_address(address_net & mask_net),
                            static_cast<std::uint8_t>(std::popcount(mask_net))});
    };
    if (std::strchr(texte, '*') != nullptr) {
        // A pattern's mask is whole octets from the left: a prefix of 0 to 24 bits.
        const auto pattern = parse_wildcard(texte);
        put_v4(pattern->address, pattern->mask);
        return nb;
    }
    uint32_t literal = 0;
    if (net::parse_dotted_quad(texte, &literal)) {
        put_v4(literal, 0xFFFFFFFFu);
        return nb;
    }
    // A name allows every address of one answer, of both families: its
    // first IPv4 one in a slot, as it always had, the others beside.
    std::vector<net::IpAddress> all;
    if (!net::resolve_all(texte, &all)) return nb;
    bool slotted = false;
    for (const net::IpAddress &a : all) {
        if (!slotted && a.is_v4()) {
            put_v4(net::ipv4_net(a), 0xFFFFFFFFu);
            slotted = true;
        } else {
            prefixes.push_back({a, static_cast<std::uint8_t>(a.is_v4() ? 32 : 128)});
        }
    }
    return nb;
}

const char *allow_entry_fault(const char *entry) {
    if (entry[0] == '\0') return "the entry is empty";
    if (std::strchr(entry, '/') != nullptr) {
        net::IpPrefix prefix;
        const net::PrefixParse r = net::parse_prefix(entry, &prefix);
        return r == net::PrefixParse::Ok ? nullptr : prefix_fault(r);
    }
    if (std::strchr(entry, ':') != nullptr) {
        net::IpAddress address;
        return net::parse_ip(entry, &address) ? nullptr : kBadV6;
    }
    if (std::strchr(entry, '*') != nullptr) return parse_wildcard(entry) ? nullptr : kBadPattern;
    uint32_t literal = 0;
    if (net::parse_dotted_quad(entry, &literal)) return nullptr;
    return is_host_name(entry) ? nullptr : kNotAName;
}

AllowList build_allow_list(const std::vector<std::string> &entries) {
    AllowList list;
    add_allow_entry(list.ip, list.mask, list.nb, list.prefixes, "127.0.0.1");
    add_allow_entry(list.ip, list.mask, list.nb, list.prefixes, "::1");
    for (const std::string &entry : entries) add_allow_entry(list.ip, list.mask, list.nb, list.prefixes, entry.c_str());
    return list;
}

bool slots_allow(const uint32_t *ips, const uint32_t *masks, int32_t nb, uint32_t address) {
    for (int32_t i = 0; i < nb; ++i) {
        if (((address ^ ips[i]) & masks[i]) == 0) return true;
    }
    return false;
}

bool allows(const AllowList &list, const net::IpAddress &client) {
    const net::IpAddress a = net::unmapped(client);
    if (a.is_v4() && slots_allow(list.ip, list.mask, list.nb, net::ipv4_net(a))) return true;
    for (const net::IpPrefix &p : list.prefixes)
        if (net::contains(p, a)) return true;
    return false;
}

}  // namespace kel::server
