// Every key of valdrin.conf that the daemon reads, declared once: its
// section, name, default, the grammar of its value and one line of help.
// The daemon's parser, its --help, the documentation test and the desktop
// programs all read this table. Header only, with no dependency, so that a
// program that links nothing of the daemon can compile it in.
#pragma once

#include <cstddef>
#include <string_view>

namespace valdrin::keys {

enum class Grammar {
    kBoolean,      // true when it starts with T or Y, in either case
    kPort,         // a port from 1 to 65535; 0 lets the system pick a free one
    kCount,        // a whole number from 0 (no limit) to 2000000
    kPath,         // a file name; a relative one is taken from the folder of the files
    kAddressList,  // IPv4 and IPv6 literals separated by commas or blanks
    kAllowEntry,   // an address, a CIDR prefix, a host name or a pattern such as 192.168.1.*
    kAddress,      // an IPv4 or IPv6 literal
    kAccount,      // a user name followed by 40 hexadecimal digits or "<none>"
    kRedirection,  // "listened port -> destination port destination host"
};

// When a changed value takes effect.
enum class Applies {
    kReload,   // at the next reload
    kRestart,  // only when the daemon starts again
};

struct Key {
    std::string_view section;
    // For a family, the stem: "AllowedHost" stands for AllowedHost0 .. AllowedHost200.
    std::string_view name;
    // The daemon's value when the key is absent.
    std::string_view fallback;
    Grammar grammar;
    // 0 for a single key; n for the keys name0 .. name(n-1).
    int family_size;
    Applies applies;
    std::string_view help;
};

// What the wizard writes: 0 to 200.
inline constexpr int kAllowedHosts = 201;
inline constexpr int kAdListFiles = 100;
// The desktop programs store these lists under indices 0 to 200.
inline constexpr int kListEntries = 201;

inline constexpr Key kKeys[] = {
    {"Main", "LogFile", "log.txt", Grammar::kPath, 0, Applies::kReload,
     "log file: refused clients, unsupported methods, blocked tunnels"},
    {"Main", "ErrFile", "err.txt", Grammar::kPath, 0, Applies::kReload, "error file"},
    {"Main", "AccessLog", "access.log", Grammar::kPath, 0, Applies::kReload,
     "one line per request in the combined format; empty: no access log"},
    {"Main", "Verbose", "false", Grammar::kBoolean, 0, Applies::kReload, "errors are also shown as messages"},
    {"Main", "AllowedHost", "", Grammar::kAllowEntry, kAllowedHosts, Applies::kReload,
     "clients allowed besides 127.0.0.1 and ::1: address, prefix, host name or pattern"},
    {"HTTP", "HTTPEnabled", "", Grammar::kBoolean, 0, Applies::kRestart, "the HTTP proxy runs only when this is true"},
    {"HTTP", "HTTPPort", "3128", Grammar::kPort, 0, Applies::kRestart, "port of the HTTP proxy"},
    {"HTTP", "HTTPListen", "", Grammar::kAddressList, 0, Applies::kRestart,
     "addresses to listen on; empty: every interface, IPv6 and IPv4"},
    {"HTTP", "HTTPSecure", "false", Grammar::kBoolean, 0, Applies::kReload,
     "announced at start-up; CONNECT works either way"},
    {"HTTP", "AdHostsEnabled", "false", Grammar::kBoolean, 0, Applies::kReload,
     "block the hosts of adhosts and of the list files"},
    {"HTTP", "AdListFile", "", Grammar::kPath, kAdListFiles, Applies::kReload,
     "further hosts files or adblock filter lists, beside adhosts or absolute"},
    {"HTTP", "HTTPHeaderTimeout", "30", Grammar::kCount, 0, Applies::kReload,
     "seconds from accept to the complete request header"},
    {"HTTP", "HTTPIdleTimeout", "900", Grammar::kCount, 0, Applies::kReload,
     "seconds a relay, tunnel or transfer may go without a byte moving"},
    {"HTTP", "HTTPConnectTimeout", "30", Grammar::kCount, 0, Applies::kReload,
     "seconds allowed to connect to an origin or CONNECT target"},
    {"HTTP", "HTTPMaxClients", "8000", Grammar::kCount, 0, Applies::kReload,
     "connections at work at once; one more gets a 503 page"},
    {"HTTP", "HTTPMaxWaiting", "20000", Grammar::kCount, 0, Applies::kReload,
     "connections still sending their request head, which cost no thread"},
    {"Socks", "SocksEnabled", "false", Grammar::kBoolean, 0, Applies::kRestart, "the SOCKS server runs"},
    {"Socks", "Socks4Allowed", "false", Grammar::kBoolean, 0, Applies::kReload, "SOCKS 4 and 4a are accepted"},
    {"Socks", "SocksPort", "1080", Grammar::kPort, 0, Applies::kRestart, "port of the SOCKS server"},
    {"Socks", "SocksListen", "", Grammar::kAddressList, 0, Applies::kRestart,
     "addresses the SOCKS server listens on; empty: those of HTTPListen"},
    {"Socks", "SocksAccount", "", Grammar::kAccount, kListEntries, Applies::kReload,
     "SOCKS accounts: user name and password digest, or <none>; none: no authentication"},
    {"DNS", "DNSEnabled", "false", Grammar::kBoolean, 0, Applies::kRestart, "the DNS proxy runs"},
    {"DNS", "DNSServer1", "0.0.0.0", Grammar::kAddress, 0, Applies::kReload,
     "first name server the DNS proxy asks; 0.0.0.0: unset"},
    {"DNS", "DNSServer2", "0.0.0.0", Grammar::kAddress, 0, Applies::kReload,
     "second name server the DNS proxy asks; 0.0.0.0: unset"},
    {"DNS", "DNSPort", "53", Grammar::kPort, 0, Applies::kRestart, "port of the DNS proxy, UDP and TCP"},
    {"DNS", "DNSListen", "", Grammar::kAddressList, 0, Applies::kRestart,
     "addresses the DNS proxy listens on; empty: those of HTTPListen"},
    {"DNS", "DNSCacheSize", "10000", Grammar::kCount, 0, Applies::kReload, "answers the DNS proxy keeps; 0: none"},
    {"DNS", "DNSBlock", "true", Grammar::kBoolean, 0, Applies::kReload,
     "while AdHostsEnabled is on, blocked names get an address that leads nowhere"},
    {"DNS", "DNSHostsFile", "/etc/hosts", Grammar::kPath, 0, Applies::kReload,
     "names answered from this hosts file; empty: none"},
    {"DNS", "DNSClientRate", "1000", Grammar::kCount, 0, Applies::kReload,
     "queries per second one client address may ask the DNS proxy, twice that in a burst; 0: no limit"},
    {"RDR", "RDREnabled", "false", Grammar::kBoolean, 0, Applies::kReload, "the port redirector runs"},
    {"RDR", "RDRListen", "", Grammar::kAddressList, 0, Applies::kReload,
     "addresses the redirections listen on; empty: those of HTTPListen"},
    {"RDR", "RDRBinding", "", Grammar::kRedirection, kListEntries, Applies::kReload,
     "TCP redirections: listened port -> destination port destination host"},
};

// The key's entry, a family member ("AllowedHost7") finding its family;
// null for a name the table does not hold. Names match without regard to
// ASCII case, as the file's do.
constexpr const Key *find_key(std::string_view section, std::string_view name) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    auto same = [&](std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (std::size_t i = 0; i < a.size(); ++i)
            if (lower(a[i]) != lower(b[i])) return false;
        return true;
    };
    for (const Key &key : kKeys) {
        if (!same(key.section, section)) continue;
        if (key.family_size == 0) {
            if (same(key.name, name)) return &key;
            continue;
        }
        if (name.size() <= key.name.size() || !same(name.substr(0, key.name.size()), key.name)) continue;
        const std::string_view index = name.substr(key.name.size());
        // Decimal, without leading zeros, below the family's size.
        if (index.size() > 1 && index[0] == '0') continue;
        int value = 0;
        bool digits = true;
        for (char c : index) {
            if (c < '0' || c > '9' || value > key.family_size) {
                digits = false;
                break;
            }
            value = value * 10 + (c - '0');
        }
        if (digits && value < key.family_size) return &key;
    }
    return nullptr;
}

}  // namespace valdrin::keys
