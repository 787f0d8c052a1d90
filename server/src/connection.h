// One client connection of the HTTP proxy, from admission to close: the
// socket, the peer of either family, the configuration snapshot it was
// admitted with, and what it did, for the access log and the counters. The
// request path gets it passed down; the socket is closed exactly once,
// here.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>

#include "access_log.h"
#include "config.h"
#include "kelplat/inet.h"
#include "request_framing.h"

namespace kel::server {

// What one connection did.
struct Exchange {
    std::string client;            // address text
    std::time_t started_wall = 0;  // for the log's time stamp
    std::chrono::steady_clock::time_point started;
    std::string request_line;   // as received
    std::string origin_target;  // the target when it is a path ("/..."), as received
    std::string referer;
    std::string user_agent;
    int status = 0;
    uint64_t bytes_to_client = 0;
    uint64_t bytes_to_origin = 0;
    Verdict verdict = Verdict::Error;
};

// Logs and counts an exchange that is over.
void finish_exchange(const Exchange &e);

class Connection {
public:
    // A connection of the listener: it owns sd, closes it at its end unless
    // a relay took it, and logs its exchange then.
    Connection(uint32_t sd, const net::IpAddress &peer, std::shared_ptr<const Config> config);
    // A socket that stays the caller's, for the contract's routines called
    // outside a connection thread: closed only where a handler closes it,
    // nothing logged, the snapshot in force (the factory settings before
    // start-up).
    static Connection borrowed(uint32_t sd);
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;
    Connection(Connection &&) = delete;

    uint32_t sd() const { return sd_; }
    const net::IpAddress &peer() const { return peer_; }
    const Config &config() const { return *config_; }
    const Exchange &exchange() const { return exchange_; }

    // Closes the client socket; later calls do nothing.
    void close();
    // A relay took the socket and closes it itself.
    void handed_off() { closed_ = true; }
    bool is_closed() const { return closed_; }

    // The notes the handlers make of the exchange.
    void note_head(const RequestHead &head);
    // A reply the proxy made itself: its status and the bytes it sent.
    void note_reply(int status, uint64_t bytes);
    void note_verdict(Verdict v) { exchange_.verdict = v; }
    // What the thread's last relay moved; the origin's status is read from
    // the first bytes it sent (0 when they are not a status line).
    void note_relay(bool origin_first, Verdict v);
    void add_bytes_to_client(uint64_t bytes) { exchange_.bytes_to_client += bytes; }

private:
    Connection(uint32_t sd, const net::IpAddress &peer, std::shared_ptr<const Config> config, bool owned);

    uint32_t sd_;
    net::IpAddress peer_;
    std::shared_ptr<const Config> config_;
    Exchange exchange_;
    bool owned_;
    bool closed_ = false;
};

}  // namespace kel::server
