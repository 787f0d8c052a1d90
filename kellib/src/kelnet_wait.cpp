// The accept loop of the threaded listener and its waiting room. A
// connection costs a thread only once its request header has arrived: until
// then it waits here, on the listener's own thread, as an entry of an event
// loop. Its thread then finds the whole header in the socket.
#include <atomic>
#include <chrono>
#include <cstring>
#include <queue>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/net.h"
#include "kelplat/poller.h"
#include "kelplat/thread.h"

namespace kel::kelnet {
namespace {

// Past this many bytes of a header that is not complete yet, the
// connection goes to its thread, which reads on where a peek would copy
// everything again: a header trickling in by the byte then costs the loop
// no more than a few KiB per arrival.
constexpr std::size_t kScanBytes = 16 * 1024;
constexpr std::string_view kBlankLine = "\r\n\r\n";
// Listening sockets are told from waiting ones by this bit of their tag;
// the rest of the tag is the listener's index. The stop descriptor has
// a tag of its own.
constexpr std::uint64_t kListenerTag = std::uint64_t{1} << 63;
constexpr std::uint64_t kStopTag = std::uint64_t{1} << 62;
// Accepts per turn of the loop, so that the waiting connections are served
// between the accepts of a burst.
constexpr int kAcceptsPerTurn = 64;
constexpr int kEventsPerWait = 256;

enum class Head { Waiting, Ready };

std::atomic<std::uint64_t> g_waited{0};

struct Waiter {
    Peer peer;
    Clock::time_point accepted_at;
    std::uint64_t serial;  // tells a waiter from a later one on the same descriptor
    std::uint32_t scanned;  // bytes of the header searched already
};

struct Deadline {
    Clock::time_point at;
    std::uint32_t sd;
    std::uint64_t serial;
    bool operator>(const Deadline &o) const { return at > o.at; }
};

// Looks at what has arrived without taking it. Ready when the header is
// complete, too long to go on scanning, or the connection has closed or
// failed: the connection thread then finds out which, as it always did.
Head look(std::uint32_t sd, std::uint32_t &scanned, char *buf, kelnet_routine_complet complete) {
    const long n = net::recv_nowait(sd, buf, kScanBytes, /*peek=*/true);
    if (n < 0) return net::last_error() == net::kErrWouldBlock ? Head::Waiting : Head::Ready;
    if (n == 0) return Head::Ready;
    const std::size_t got = static_cast<std::size_t>(n);
    if (complete != nullptr) {
        if (got >= kScanBytes || complete(buf, static_cast<int32_t>(got)) != 0) return Head::Ready;
        scanned = static_cast<std::uint32_t>(got);
        return Head::Waiting;
    }
    const std::size_t from = scanned > kBlankLine.size() - 1 ? scanned - (kBlankLine.size() - 1) : 0;
    if (std::string_view(buf + from, got - from).find(kBlankLine) != std::string_view::npos) return Head::Ready;
    if (got >= kScanBytes) return Head::Ready;
    scanned = static_cast<std::uint32_t>(got);
    return Head::Waiting;
}

class WaitingRoom {
public:
    WaitingRoom(std::span<const std::uint32_t> listeners, const Routines &routines)
        : listeners_(listeners.begin(), listeners.end()), routines_(routines), scan_(kScanBytes) {}

    ~WaitingRoom() {
        // The listener is done: connections that never got a thread end here.
        for (const auto &[sd, waiter] : waiters_) net::close(sd);
        count_waiting(-static_cast<int32_t>(waiters_.size()));
    }

    int32_t run() {
        bool ready = poller_.valid() && !listeners_.empty();
        for (std::size_t i = 0; ready && i < listeners_.size(); ++i)
            ready = net::set_nonblocking(listeners_[i], true) &&
                    poller_.watch(listeners_[i], kListenerTag | i, /*edge=*/false);
        if (ready && routines_.stop != KELNET_INVALIDE) ready = poller_.watch(routines_.stop, kStopTag, /*edge=*/false);
        if (!ready) {
            KEL_DIAG_MSG("the listener's event loop cannot be set up");
            return -3;
        }
        std::vector<net::Readiness> events(kEventsPerWait);
        for (;;) {
            const int n = poller_.wait(events.data(), kEventsPerWait, wait_ms());
            if (n < 0) {
                KEL_DIAG_MSG("the listener's event loop failed");
                return -3;
            }
            for (int i = 0; i < n; ++i) {
                if (events[i].tag == kStopTag) return 0;
                if ((events[i].tag & kListenerTag) != 0) {
                    if (!accept_some(listeners_[events[i].tag & ~kListenerTag])) return -3;
                } else {
                    arrived(static_cast<std::uint32_t>(events[i].tag), events[i].closed);
                }
            }
            expire();
            if (out_of_memory_) return -3;
        }
    }

private:
    // Until the earliest header deadline; no limit when none waits.
    int wait_ms() {
        drop_stale_deadlines();
        if (deadlines_.empty()) return -1;
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadlines_.top().at - Clock::now()).count();
        return left > 0 ? static_cast<int>(left) + 1 : 0;
    }

    void drop_stale_deadlines() {
        while (!deadlines_.empty()) {
            const Deadline &d = deadlines_.top();
            const auto it = waiters_.find(d.sd);
            if (it != waiters_.end() && it->second.serial == d.serial) return;
            deadlines_.pop();
        }
    }

    // False when accepting can never succeed again.
    bool accept_some(std::uint32_t listener) {
        for (int i = 0; i < kAcceptsPerTurn; ++i) {
            Peer peer;
            const std::uint32_t client = net::accept_ip(listener, &peer.address, &peer.port_net);
            if (client == net::kInvalidSocket) return accept_failed();
            accepted(client, peer);
        }
        return true;
    }

    bool accept_failed() {
        // An empty queue: the listener is not blocking.
        if (net::last_error() == net::kErrWouldBlock) return true;
        return survive_accept_failure();
    }

    void accepted(std::uint32_t client, const Peer &peer) {
        const Clock::time_point now = Clock::now();
        if (!admit(routines_, client, peer)) return;
        if (!waits()) {
            hand_off(client, peer, now);
            return;
        }
        std::uint32_t scanned = 0;
        // A header that came with the connection goes to its thread at once.
        if (look(client, scanned, scan_.data(), routines_.complete) == Head::Ready) {
            hand_off(client, peer, now);
            return;
        }
        if (!room_to_wait(routines_, client, peer)) return;
        if (!poller_.watch(client, client, /*edge=*/true)) {
            // Cannot wait here: wait on a thread, as before.
            hand_off(client, peer, now);
            return;
        }
        const std::uint64_t serial = ++serial_;
        waiters_[client] = Waiter{peer, now, serial, scanned};
        count_waiting(1);
        g_waited.fetch_add(1, std::memory_order_relaxed);
        const int header_ms = header_timeout_ms();
        if (header_ms > 0) deadlines_.push({now + std::chrono::milliseconds(header_ms), client, serial});
    }

    // A close behind bytes already peeked at shows only in the event: a
    // peek still finds those bytes.
    void arrived(std::uint32_t sd, bool closed) {
        const auto it = waiters_.find(sd);
        if (it == waiters_.end()) return;
        if (closed || look(sd, it->second.scanned, scan_.data(), routines_.complete) == Head::Ready) leave(it);
    }

    // Past its deadline a connection goes to its thread, whose header read
    // then ends at once with the 400 page, as it did when the thread waited.
    void expire() {
        const Clock::time_point now = Clock::now();
        for (;;) {
            drop_stale_deadlines();
            if (deadlines_.empty() || deadlines_.top().at > now) return;
            const Deadline d = deadlines_.top();
            deadlines_.pop();
            leave(waiters_.find(d.sd));
        }
    }

    void leave(std::unordered_map<std::uint32_t, Waiter>::iterator it) {
        const std::uint32_t sd = it->first;
        const Waiter waiter = it->second;
        (void)poller_.forget(sd);
        waiters_.erase(it);
        count_waiting(-1);
        hand_off(sd, waiter.peer, waiter.accepted_at);
    }

    void hand_off(std::uint32_t client, const Peer &peer, Clock::time_point accepted_at) {
        const int err = serve_connection(routines_, client, peer, accepted_at);
        if (err == 0) return;
        if (err < 0) {
            // No record for the connection: the listener ends, as it always has.
            KEL_DIAG();
            net::close(client);
            out_of_memory_ = true;
            return;
        }
        // The connection can't be served: end it rather than leak it, and go
        // on accepting.
        const std::string ip = net::host_text(peer.address);
        char text[240];
        std::snprintf(text, sizeof text,
                      "echec du démarrage du thread de connexion (%d: %s), client %s:%u, connexion fermée",
                      err, thread::error_text(err), ip.c_str(),
                      static_cast<unsigned>(net::net_to_host16(peer.port_net)));
        KEL_DIAG_MSG(text);
        net::close(client);
    }

    // A service without its own test of the first bytes gives every
    // connection its thread at accept.
    bool waits() const noexcept { return waiting_room_open() && (routines_.global || routines_.complete != nullptr); }

    std::vector<std::uint32_t> listeners_;
    Routines routines_;
    net::Poller poller_;
    std::vector<char> scan_;
    std::unordered_map<std::uint32_t, Waiter> waiters_;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<Deadline>> deadlines_;
    std::uint64_t serial_ = 0;
    bool out_of_memory_ = false;
};

}  // namespace

std::uint64_t connections_that_waited() noexcept { return g_waited.load(std::memory_order_relaxed); }

int32_t run_threaded_listener(std::span<const std::uint32_t> listeners, const Routines &routines) {
    WaitingRoom room(listeners, routines);
    const int32_t result = room.run();
    for (const std::uint32_t listener : listeners) (void)net::set_nonblocking(listener, false);
    return result;
}

}  // namespace kel::kelnet
