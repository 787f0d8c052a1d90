// The workstation's hosts file, answered by the DNS proxy itself: each
// name's addresses of both families, as the C library's resolver reads
// the file (an address, then names, up to a '#').
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelplat/inet.h"

namespace kel::dns {

class HostsTable {
public:
    // Reads the file; false, with why, when it can't be read (the table is
    // then empty). Lines that are not an address and names are skipped.
    bool load(const std::string &path, std::string *why);
    // The addresses of a lower-case dotted name, in file order; null when
    // the file does not name it.
    const std::vector<net::IpAddress> *find(std::string_view name) const;
    std::size_t size() const { return names_.size(); }

private:
    std::unordered_map<std::string, std::vector<net::IpAddress>> names_;
};

}  // namespace kel::dns
