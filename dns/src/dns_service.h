// The DNS proxy: UDP and TCP on the addresses and port of the snapshot's
// [DNS] section, for the clients of its allow-list. Names of the hosts
// file are answered from it, names of the block lists with an address
// that leads nowhere, ANY with the minimal answer of RFC 8482, the rest
// from the cache or through the forwarder.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "stats.h"
#include "forwarder.h"

namespace kel::dns {

// How long a blocked name's answer may be kept by the client.
inline constexpr std::uint32_t kBlockedTtl = 60;
// A name of the hosts file; its negative answers live as long.
inline constexpr std::uint32_t kLocalTtl = 60;

// The name servers of a resolv.conf, port 53, in file order; empty when
// it can't be read.
std::vector<Server> servers_of_resolv_conf(const std::string &path);

// The servers to forward to: DNSServer1 and DNSServer2 where set (not
// "0.0.0.0" nor empty), or else those of resolv_conf; never an address
// the proxy itself listens on at its own port (that would ask itself).
std::vector<Server> upstream_servers(const server::DnsSettings &dns, const std::string &resolv_conf,
                                     const std::vector<net::IpAddress> &own, std::uint16_t own_port);

class Service {
public:
    struct Counts {
        std::uint64_t queries = 0;    // datagrams and TCP messages read
        std::uint64_t tcp_queries = 0;  // of which TCP messages
        std::uint64_t limited = 0;    // dropped past their client's rate
        std::uint64_t cache_hits = 0;
        std::uint64_t forwarded = 0;  // questions handed to the forwarder
        std::uint64_t blocked = 0;
        std::uint64_t local = 0;      // answered from the hosts file, or ANY
        std::uint64_t refused = 0;    // clients the allow-list refuses
        std::uint64_t malformed = 0;  // dropped or answered FORMERR, NOTIMP, BADVERS
        std::uint64_t servfail = 0;   // questions no server answered
    };

    Service();
    ~Service();  // stops
    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // Listens on config.dns.port (0: one the system picks, the same for
    // UDP and TCP) at config.dns.listen, and takes the rest of the
    // settings as apply() does. False, with why naming the address and
    // the port, and nothing left open.
    bool start(const server::Config &config, std::string *why);
    // The servers, the cache bound and the hosts file of a new snapshot;
    // the listening sockets stay.
    void apply(const server::Config &config);
    void stop();

    std::uint16_t port() const;
    std::string listening_text() const;  // "127.0.0.1:53, [::1]:53"
    Counts counts() const;
    std::size_t cache_entries() const;
    Forwarder::Counts forwarder_counts() const;
    // All of the above, as the status page shows them.
    server::DnsFigures figures() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

}  // namespace kel::dns
