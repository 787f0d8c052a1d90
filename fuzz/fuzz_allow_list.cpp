// The client allow-list. Each input line is an entry; the entries go into a
// fresh table, either one by one or through the loader reading them as
// AllowedHost keys of a configuration file. Then client addresses (every
// four input bytes, and every entry that is a dotted quad) are checked
// against a model of the patterns, and of the prefixes and IPv6 entries
// beside them. Host names resolve through a stand-in
// resolver, so nothing leaves the process.
#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kelconfig.h"
#include "kelnet.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"
#include "valdrin_internal.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Names of up to 63 characters without a '!' resolve to an address drawn
// from the name; others do not resolve.
bool stand_in_resolver(const char *name, uint32_t *addr_net) {
    const size_t len = std::strlen(name);
    if (len == 0 || len > 63 || std::strchr(name, '!') != nullptr) return false;
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    if (h == 0xFFFFFFFFu) h = 0;
    *addr_net = h;
    return true;
}

struct Entry {
    uint32_t address;  // network order
    uint32_t mask;
};

// The form of a host name that the list resolves: dot-separated labels of
// letters, digits, '-' and '_', each 1 to 63 long, the last not all digits,
// 253 characters at most (one trailing dot allowed).
bool host_name_form(std::string text) {
    if (text.empty() || text.size() > 253) return false;
    if (text.back() == '.') text.pop_back();
    if (text.empty()) return false;
    std::vector<std::string> labels;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        labels.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    for (const std::string &l : labels) {
        if (l.empty() || l.size() > 63) return false;
        if (l.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_") !=
            std::string::npos)
            return false;
    }
    return labels.back().find_first_not_of("0123456789") != std::string::npos;
}

// An entry with a '/' is a prefix and one with a ':' an IPv6 address: they
// take no IPv4 slot, whatever they hold.
bool is_prefix_or_ipv6(const std::string &text) { return text.find_first_of("/:") != std::string::npos; }

// What such an entry allows, as the address parsers read it (their own
// target checks them); nullopt when it is malformed.
std::optional<kel::net::IpPrefix> prefix_model(const std::string &text) {
    kel::net::IpPrefix p;
    if (text.find('/') != std::string::npos) {
        if (kel::net::parse_prefix(text, &p) != kel::net::PrefixParse::Ok) return std::nullopt;
        return p;
    }
    kel::net::IpAddress a;
    if (!kel::net::parse_ip(text, &a)) return std::nullopt;
    a = kel::net::unmapped(a);
    return kel::net::IpPrefix{a, static_cast<std::uint8_t>(a.is_v4() ? 32 : 128)};
}

// What an entry text should allow through the IPv4 slots: nullopt when it
// takes none.
std::optional<Entry> model(const std::string &text) {
    if (text.empty() || is_prefix_or_ipv6(text)) return std::nullopt;
    if (text.find('*') == std::string::npos) {
        uint32_t a = 0;
        in_addr parsed{};
        if (::inet_pton(AF_INET, text.c_str(), &parsed) == 1) return Entry{parsed.s_addr, 0xFFFFFFFFu};
        if (!host_name_form(text) || !stand_in_resolver(text.c_str(), &a)) return std::nullopt;
        return Entry{a, 0xFFFFFFFFu};
    }
    // Dotted parts, each 0 to 255 in at most three digits or exactly "*";
    // at most four parts. The octets before the first "*" are compared.
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t dot = text.find('.', start);
        parts.push_back(text.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
        if (dot == std::string::npos) break;
        start = dot + 1;
    }
    if (parts.size() > 4) return std::nullopt;
    unsigned char octets[4] = {};
    unsigned char mask[4] = {};
    bool starred = false;
    for (size_t k = 0; k < parts.size(); ++k) {
        const std::string &p = parts[k];
        if (p == "*") {
            starred = true;
            continue;
        }
        if (p.empty() || p.size() > 3 || p.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        const int value = std::atoi(p.c_str());
        if (value > 255) return std::nullopt;
        if (!starred) {
            octets[k] = static_cast<unsigned char>(value);
            mask[k] = 0xFF;
        }
    }
    Entry e{};
    std::memcpy(&e.address, octets, 4);
    std::memcpy(&e.mask, mask, 4);
    return e;
}

std::string g_dir, g_conf;

void remove_folder() {
    ::unlink(g_conf.c_str());
    ::rmdir(g_dir.c_str());
}

void write_file(const std::string &text) {
    const int fd = ::open(g_conf.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0);
    check(::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
    ::close(fd);
}

constexpr std::string_view kBlanks = " \t\r\v\f";

// A value as the configuration store hands it over.
std::string as_read(std::string_view value) {
    const auto first = value.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    value = value.substr(first, value.find_last_not_of(kBlanks) - first + 1);
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front())
        value = value.substr(1, value.size() - 2);
    return std::string(value.substr(0, 255));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    kelnet_init();
    kel::net::set_resolver(stand_in_resolver);
    char shm[] = "/dev/shm/valdrin-fuzz-allow-XXXXXX";
    char tmp[] = "/tmp/valdrin-fuzz-allow-XXXXXX";
    const char *dir = ::mkdtemp(shm);
    if (dir == nullptr) dir = ::mkdtemp(tmp);
    check(dir != nullptr);
    g_dir = dir;
    g_conf = g_dir + "/valdrin.conf";
    std::atexit(remove_folder);
    check(kelcfg_init(g_conf.c_str()) == 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const bool through_loader = (data[0] & 1) != 0;
    std::string_view in(reinterpret_cast<const char *>(data) + 1, size - 1);

    std::vector<std::string> lines;
    while (!in.empty() && lines.size() < 120) {
        const size_t nl = in.find('\n');
        std::string_view line = in.substr(0, nl);
        lines.emplace_back(line.substr(0, line.find('\0')));
        in = nl == std::string_view::npos ? std::string_view() : in.substr(nl + 1);
    }

    kel::server::reset_ip_mask_for_tests();
    const auto beyond_slots = [](const Entry &e) {
        return kel::net::IpPrefix{kel::net::ipv4_address(e.address & e.mask),
                                  static_cast<std::uint8_t>(std::popcount(e.mask))};
    };
    std::vector<Entry> expected;
    std::vector<kel::net::IpPrefix> prefixes;
    expected.push_back(*model("127.0.0.1"));
    if (through_loader) {
        // Keys AllowedHost0 to AllowedHost200, in file order.
        std::string conf = "[Main]\n";
        for (size_t i = 0; i < lines.size() && i < 201; ++i) {
            if (lines[i].find_first_of("\r") != std::string::npos) continue;
            conf += "AllowedHost" + std::to_string(i) + "=" + lines[i] + "\n";
        }
        write_file(conf);
        check(valdrin_ip_mask_init() == 0);
        for (size_t i = 0; i < lines.size() && i < 201; ++i) {
            if (lines[i].find_first_of("\r") != std::string::npos) continue;
            const std::string value = as_read(lines[i]);
            if (is_prefix_or_ipv6(value)) {
                if (auto p = prefix_model(value)) prefixes.push_back(*p);
                continue;
            }
            if (value.empty()) continue;
            if (auto e = model(value)) {
                if (expected.size() < kIpMaskSlots) expected.push_back(*e);
                else prefixes.push_back(beyond_slots(*e));
            }
        }
        check(g_ip_mask_nb == static_cast<int32_t>(expected.size()));
    } else {
        check(valdrin_ip_mask_ajoute("127.0.0.1") == 1);
        // As the loader starts the list; ::1 takes no IPv4 slot.
        check(valdrin_ip_mask_ajoute("::1") == 1);
        for (const auto &line : lines) {
            const int32_t before = g_ip_mask_nb;
            const int32_t count = valdrin_ip_mask_ajoute(line.c_str());
            if (is_prefix_or_ipv6(line)) {
                if (auto p = prefix_model(line)) prefixes.push_back(*p);
            }
            auto e = model(line);
            if (e && before < kIpMaskSlots) {
                expected.push_back(*e);
                check(count == before + 1);
            } else {
                // Past the slots, an entry goes to the prefixes.
                if (e) prefixes.push_back(beyond_slots(*e));
                check(count == before);
            }
        }
    }
    check(g_ip_mask_nb <= kIpMaskSlots);

    // Client addresses: the edges, every four input bytes, and the entries'
    // own addresses with and without their last bit flipped.
    std::vector<uint32_t> clients = {0, 0xFFFFFFFFu, model("127.0.0.1")->address};
    for (size_t i = 0; i + 4 <= size && clients.size() < 256; i += 4) {
        uint32_t a;
        std::memcpy(&a, data + i, 4);
        clients.push_back(a);
    }
    for (const auto &e : expected) {
        clients.push_back(e.address);
        clients.push_back(e.address ^ 0x80000000u);
        clients.push_back(e.address ^ 0x00000001u);
    }
    for (uint32_t client : clients) {
        bool allowed = false;
        for (const auto &e : expected) allowed = allowed || ((client ^ e.address) & e.mask) == 0;
        check(valdrin_ip_mask_valide(client) == (allowed ? 1 : 0));
        // Either family's check: the slots, then the IPv4 prefixes; a
        // mapped address is the IPv4 client it is.
        const kel::net::IpAddress v4 = kel::net::ipv4_address(client);
        bool any = allowed;
        for (const auto &p : prefixes) any = any || kel::net::contains(p, v4);
        check(kel::server::client_allowed(v4) == any);
        check(kel::server::client_allowed(kel::net::mapped(v4)) == any);
    }
    check(valdrin_ip_mask_valide(model("127.0.0.1")->address) == 1);
    kel::net::IpAddress loopback6;
    check(kel::net::parse_ip("::1", &loopback6) && kel::server::client_allowed(loopback6));
    // Each prefix and IPv6 entry allows its own network address, and an
    // IPv6 address outside every prefix is refused.
    for (const auto &p : prefixes) check(kel::server::client_allowed(p.network));
    kel::net::IpAddress outside;
    check(kel::net::parse_ip("2001:db8:ffff::1", &outside));
    bool covered = false;
    for (const auto &p : prefixes) covered = covered || kel::net::contains(p, outside);
    check(kel::server::client_allowed(outside) == covered);
    return 0;
}
