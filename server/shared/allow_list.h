// The clients allowed to use the services: IPv4 slots as the allow-list
// always held them (address and mask), and beside them the IPv6 addresses,
// the prefixes of both families and the further addresses of names.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kelplat/inet.h"

namespace kel::server {

inline constexpr int kIpMaskSlots = 100;

struct AllowList {
    uint32_t ip[kIpMaskSlots] = {};  // network order
    uint32_t mask[kIpMaskSlots] = {};
    int32_t nb = 0;
    std::vector<net::IpPrefix> prefixes;
};

// Adds one entry: an IPv4 address or host name (resolved now, every
// address of both families), a pattern such as 192.168.1.*, an IPv6
// address, or a prefix of either family in CIDR form. An empty, malformed
// or unresolvable entry is skipped after a diagnostic line naming it; IPv4
// entries past the slots go to the prefixes. Returns the count of IPv4 slots.
int32_t add_allow_entry(uint32_t *ips, uint32_t *masks, int32_t &nb, std::vector<net::IpPrefix> &prefixes,
                        const char *entry);

// Why add_allow_entry would skip the entry without resolving anything; null
// when it would take it (a host name is taken for its form alone).
const char *allow_entry_fault(const char *entry);

// 127.0.0.1 and ::1, then the entries in order.
AllowList build_allow_list(const std::vector<std::string> &entries);

// Whether the IPv4 address (network order) falls in one of the slots.
bool slots_allow(const uint32_t *ips, const uint32_t *masks, int32_t nb, uint32_t address);

// Whether a client of either family is allowed; a mapped IPv4 address is
// the IPv4 client it is.
bool allows(const AllowList &list, const net::IpAddress &client);

}  // namespace kel::server
