// Shared between the source files of the kelnet module.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include <span>

#include "kelnet.h"
#include "kelplat/inet.h"
#include "kelplat/net.h"

namespace kel::kelnet {

inline constexpr const char *kModule = "kelnet";

// Receives exactly len bytes (len > 0) into buf. Result as kelnet_recv
// (len, -2 peer closed, -3 receive failed), with the same diagnostic
// lines; *received always holds the bytes that did arrive.
int32_t receive_exact(uint32_t sd, char *buf, int32_t len, bool tolerant, int32_t *received);

}  // namespace kel::kelnet

namespace kel::kelnet {

using Clock = std::chrono::steady_clock;

// Limits set by kelnet_fixe_delais, in milliseconds; 0 means none.
int header_timeout_ms() noexcept;
int idle_timeout_ms() noexcept;
int connect_timeout_ms() noexcept;

// The calling thread's deadline for its request header: set on the
// connection threads of kelnet_gen_ecouteur_thread when a header time-out
// applies.
std::optional<Clock::time_point> header_deadline() noexcept;

// The peer of an accepted connection, of either family (a mapped IPv4
// peer of a dual-stack socket is the IPv4 peer it is).
struct Peer {
    net::IpAddress address;
    std::uint16_t port_net = 0;
};
// The record the C interface carries: an IPv4 peer as it is; an IPv6 peer
// with family 0 and no address (kelnet_pair_courant gives it whole).
kelnet_sockaddr to_record(const Peer &peer) noexcept;
// Makes peer the one kelnet_pair_courant reports on this thread for the
// scope: a connection thread's client, or the connection the listener's
// thread is admitting or refusing.
class PeerScope {
public:
    explicit PeerScope(const Peer &peer) noexcept;
    ~PeerScope();
    PeerScope(const PeerScope &) = delete;
    PeerScope &operator=(const PeerScope &) = delete;

private:
    const Peer *previous_;
};

// The peer PeerScope gave this thread; null outside any.
const Peer *current_peer() noexcept;

// What a listener does with its connections. The process-wide routines
// of kelnet_fixe_admission, kelnet_fixe_max_clients and
// kelnet_fixe_max_attente serve where a member is unset and global is
// true (the listeners of the original contract).
struct Routines {
    kelnet_routine_thread routine = nullptr;
    kelnet_routine_admission admission = nullptr;
    kelnet_routine_refus refus = nullptr;
    kelnet_routine_refus refus_waiting = nullptr;
    // Null with global: the request header's blank line; null otherwise:
    // no waiting.
    kelnet_routine_complet complete = nullptr;
    bool global = true;
    uint32_t stop = KELNET_INVALIDE;
};

// Serves one accepted connection of kelnet_gen_ecouteur_thread: on a
// thread of its own, or, past the cap, through the refusal and a close
// that does not hold the listener. 0; -1 when its record can't be
// allocated, or the thread start's error number (the socket is then still
// the caller's).
int serve_connection(const Routines &routines, uint32_t client, const Peer &peer,
                     Clock::time_point accepted_at);

// Shuts the sending side of a refused connection and leaves its close to
// the closer thread, which drains what the client still sends.
void close_refused(uint32_t client);
// Asks the admission routine of kelnet_fixe_admission about a new
// connection; a refused one is closed. True when it may go on.
bool admit(const Routines &routines, uint32_t client, const Peer &peer);
// True when connections wait for their header before they get a thread.
bool waiting_room_open() noexcept;
// True when the waiting room has room for one more; otherwise the
// connection gets the refusal of kelnet_fixe_max_attente and is closed.
bool room_to_wait(const Routines &routines, uint32_t client, const Peer &peer);
// Keeps the count kelnet_nb_attente reports.
void count_waiting(int32_t change) noexcept;

// Reports a failed accept as the listeners do, pausing when descriptors or
// memory ran out. False when the loop must end.
bool survive_accept_failure();

// The accept loop of kelnet_gen_ecouteur_thread on its listening sockets
// (of either family): admission, the waiting room, hand-off to connection
// threads. Returns only when accepting fails for good (-3), or, with a stop
// descriptor, once that is readable (0).
int32_t run_threaded_listener(std::span<const uint32_t> listeners, const Routines &routines);
// Connections that have entered a waiting room so far, for tests.
std::uint64_t connections_that_waited() noexcept;

// Gives the accepted sockets of a listener the idle bound on sends and
// receives, by setting it on the listening socket.
void apply_idle_bound(uint32_t listener) noexcept;

// A listener accepting on the socket: it gets the idle bound now and
// whenever kelnet_fixe_delais changes it, until removed.
void add_listener(uint32_t listener);
void remove_listener(uint32_t listener) noexcept;

// Registers a listening socket for the length of a scope.
class ListenerScope {
public:
    explicit ListenerScope(uint32_t listener) : listener_(listener) { add_listener(listener); }
    ~ListenerScope() { remove_listener(listener_); }
    ListenerScope(const ListenerScope &) = delete;
    ListenerScope &operator=(const ListenerScope &) = delete;

private:
    uint32_t listener_;
};

}  // namespace kel::kelnet
