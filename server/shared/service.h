// What the services beside the HTTP proxy (the SOCKS server, the port
// redirector) share: their listening sockets, admission by the allow-list
// on accept, where they say they listen, and the hooks a reload runs.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config.h"
#include "kelplat/inet.h"
#include "stats.h"

namespace kel::server {

// The listening sockets of one service on one port.
struct Listening {
    std::vector<uint32_t> sockets;
    uint16_t port = 0;
    std::string text;  // "127.0.0.1:1080, [::1]:1080"
};

// Listens on port at each address; no address: one dual-stack socket (or
// IPv4 alone where IPv6 is not to be had). With port 0 the first socket
// takes the port the system picks and the others the same. False, with why
// naming the address, the port and the reason, and nothing left open.
bool open_listening(const std::vector<std::string> &addresses, uint16_t port, Listening *out, std::string *why);
// Closes the sockets; later calls do nothing.
void close_listening(Listening *listening);

// The client of the calling connection thread, or of the connection the
// listener admits; the unspecified address outside those.
net::IpAddress current_client();

// Admission on accept for a service: true for a client of the allow-list
// of the snapshot in force; otherwise false after the log line
// "Connection from <client> refused (<label>)" and the count.
bool admit_client(Service service, const char *label);

// A connection past the cap on connections, on the listener's thread:
// counted and logged as "Connection from <client> refused: too many
// connections (HTTPMaxClients n)"; the listener closes it.
void refuse_busy(Service service);

// Where each service listens, for the host's ports file: "socks
// 127.0.0.1:1080" lines. An empty text forgets the service's lines.
void set_listening(const std::string &service, const std::vector<std::string> &texts);
// Every service's lines, each ending in a line feed, in the order set.
std::string listening_lines();
// Where the HTTP proxy listens, "[::]:3128, 127.0.0.1:3128", for its
// status page; set by the server as it opens its listeners.
void set_http_listening(const std::string &text);
// Every listening address, one pair each: {"http", "[::]:3128"} first,
// then {"socks", "[::]:1080"} and the rest in the order set.
std::vector<std::pair<std::string, std::string>> listeners();

// Runs after each reload has published its snapshot, on the reloading
// thread, one reload at a time; added once, at a service's start.
using ReloadHook = void (*)(const std::shared_ptr<const Config> &config);
void add_reload_hook(ReloadHook hook);
void run_reload_hooks(const std::shared_ptr<const Config> &config);
// True once a service beside the HTTP proxy has started.
bool services_running();
void note_service_started();

// One access-log line and the counters of a session that is over.
struct Session {
    Service service = Service::Socks;
    std::string client;
    std::time_t started_wall = 0;
    int64_t duration_ms = 0;
    std::string request;  // "SOCKS5-CONNECT example.org:443"
    std::string user;
    int status = 0;       // as an HTTP proxy would say it: 200, 403, 407, 502, ...
    uint64_t bytes_to_client = 0;
    uint64_t bytes_from_client = 0;
    Verdict verdict = Verdict::Error;
};
void log_session(const Session &s);

}  // namespace kel::server
