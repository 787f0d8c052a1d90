#include "hosts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "message.h"

namespace kel::dns {

bool HostsTable::load(const std::string &path, std::string *why) {
    names_.clear();
    std::ifstream in(path);
    if (!in) {
        *why = "cannot read " + path + " (" + std::strerror(errno) + ")";
        return false;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (const auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::vector<std::string_view> fields;
        std::string_view rest(line);
        while (!rest.empty()) {
            const auto start = rest.find_first_not_of(" \t\r");
            if (start == std::string_view::npos) break;
            rest.remove_prefix(start);
            const auto end = rest.find_first_of(" \t\r");
            fields.push_back(rest.substr(0, end));
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end);
        }
        net::IpAddress address;
        // A zone would not mean anything to a client elsewhere on the LAN.
        if (fields.size() < 2 || !net::parse_ip(fields[0], &address) || address.scope_id != 0) continue;
        address = net::unmapped(address);
        for (std::size_t i = 1; i < fields.size(); ++i) {
            if (name_to_wire(fields[i]).empty()) continue;
            std::string name(fields[i]);
            std::transform(name.begin(), name.end(), name.begin(),
                           [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; });
            if (!name.empty() && name.back() == '.') name.pop_back();
            auto &addresses = names_[name];
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end()) addresses.push_back(address);
        }
    }
    return true;
}

const std::vector<net::IpAddress> *HostsTable::find(std::string_view name) const {
    const auto found = names_.find(std::string(name));
    return found == names_.end() ? nullptr : &found->second;
}

}  // namespace kel::dns
