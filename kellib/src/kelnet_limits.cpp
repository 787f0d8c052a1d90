// Limits of the connection path: deadlines, the cap on connection threads,
// and the close of connections refused at the cap.
#include <atomic>
#include <cstddef>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"
#include "kelplat/thread.h"

namespace kel::kelnet {
namespace {

std::atomic<int> g_header_ms{0};
std::atomic<int> g_idle_ms{0};
std::atomic<int> g_connect_ms{0};
std::atomic<int32_t> g_max_clients{0};
std::atomic<kelnet_routine_refus> g_refus{nullptr};
std::atomic<int32_t> g_clients{0};
std::atomic<kelnet_routine_admission> g_admission{nullptr};
std::atomic<int32_t> g_max_waiting{0};
std::atomic<kelnet_routine_refus> g_refus_waiting{nullptr};
std::atomic<int32_t> g_waiting{0};

thread_local bool t_has_header_deadline = false;
thread_local Clock::time_point t_header_deadline;

int seconds_to_ms(int32_t seconds) {
    if (seconds <= 0) return 0;
    // poll() and the socket options take an int of milliseconds.
    constexpr int32_t kMaxSeconds = 2'000'000;
    return (seconds > kMaxSeconds ? kMaxSeconds : seconds) * 1000;
}

// The record a connection thread receives: the listener's kelnet_params
// first, so that the routine's free() of its argument releases it all.
struct Accepted {
    kelnet_params params;
    kelnet_routine_thread routine;
    Clock::time_point accepted_at;
    Peer peer;
};
static_assert(offsetof(Accepted, params) == 0);

void connection_entry(void *arg) {
    auto *rec = static_cast<Accepted *>(arg);
    const kelnet_routine_thread routine = rec->routine;
    const int header_ms = g_header_ms.load(std::memory_order_relaxed);
    t_has_header_deadline = header_ms > 0;
    if (t_has_header_deadline)
        t_header_deadline = rec->accepted_at + std::chrono::milliseconds(header_ms);
    const Peer peer = rec->peer;
    const PeerScope current(peer);
    routine(&rec->params);  // releases rec
    t_has_header_deadline = false;
    g_clients.fetch_sub(1, std::memory_order_acq_rel);
}

// Closes refused connections without holding the listener: what the client
// still sends is read and dropped until it closes or a short while passes,
// so that a request already on its way does not turn the close into a
// reset that would destroy the reply before the client reads it.
class Closer {
public:
    void add(uint32_t sd) {
        {
            std::lock_guard<std::mutex> hold(mutex_);
            if (pending_.size() < kMaxPending) {
                pending_.push_back({sd, Clock::now() + kLinger});
                if (!running_) running_ = thread::start_detached(run, this) == 0;
                if (running_) {
                    wake_.notify_one();
                    return;
                }
                pending_.pop_back();
            }
        }
        net::close(sd);
    }

private:
    struct Entry {
        uint32_t sd;
        Clock::time_point until;
    };
    static constexpr std::size_t kMaxPending = 4096;
    static constexpr auto kLinger = std::chrono::seconds(2);
    static constexpr int kTickMs = 50;

    static void run(void *self) { static_cast<Closer *>(self)->loop(); }

    void loop() {
        std::vector<Entry> mine;
        for (;;) {
            {
                std::unique_lock<std::mutex> hold(mutex_);
                if (mine.empty()) {
                    // The thread ends when nothing is left, and returns on demand.
                    if (!wake_.wait_for(hold, std::chrono::seconds(10),
                                        [this] { return !pending_.empty(); })) {
                        running_ = false;
                        return;
                    }
                }
                for (const Entry &e : pending_) mine.push_back(e);
                pending_.clear();
            }
            thread::sleep_ms(kTickMs);
            const auto now = Clock::now();
            std::size_t kept = 0;
            for (const Entry &e : mine) {
                if (!drained(e.sd) && now < e.until) {
                    mine[kept++] = e;
                } else {
                    net::close(e.sd);
                }
            }
            mine.resize(kept);
        }
    }

    // True once the peer has closed or failed.
    static bool drained(uint32_t sd) {
        char sink[1024];
        for (;;) {
            const long n = net::recv_nowait(sd, sink, sizeof sink);
            if (n > 0) continue;
            return n == 0 || net::last_error() != net::kErrWouldBlock;
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<Entry> pending_;
    bool running_ = false;
};

// Never destroyed: its thread may outlive the static objects at exit.
Closer &closer() {
    static Closer *const instance = new Closer;
    return *instance;
}

void refuse(const Routines &routines, uint32_t client, const Peer &peer) {
    const PeerScope current(peer);
    kelnet_routine_refus refus = routines.refus;
    if (refus == nullptr && routines.global) refus = g_refus.load();
    if (refus != nullptr) refus(client, to_record(peer));
    close_refused(client);
}

}  // namespace

void close_refused(uint32_t client) {
    // The end of the reply goes out now; the descriptor follows later.
    (void)net::shutdown_send(client);
    closer().add(client);
}

thread_local const Peer *t_peer = nullptr;

kelnet_sockaddr to_record(const Peer &peer) noexcept {
    kelnet_sockaddr sock_dist{};
    sock_dist.port = peer.port_net;
    if (peer.address.is_v4()) {
        sock_dist.famille = 2;
        sock_dist.adresse = net::ipv4_net(peer.address);
    } else {
        sock_dist.adresse = KELNET_AUCUNE_ADRESSE;
    }
    return sock_dist;
}

PeerScope::PeerScope(const Peer &peer) noexcept : previous_(t_peer) { t_peer = &peer; }
PeerScope::~PeerScope() { t_peer = previous_; }

const Peer *current_peer() noexcept { return t_peer; }

bool admit(const Routines &routines, uint32_t client, const Peer &peer) {
    kelnet_routine_admission admission = routines.admission;
    if (admission == nullptr && routines.global) admission = g_admission.load();
    if (admission == nullptr) return true;
    const PeerScope current(peer);
    if (admission(client, to_record(peer)) != 0) return true;
    close_refused(client);
    return false;
}

bool waiting_room_open() noexcept { return g_max_waiting.load(std::memory_order_relaxed) != 0; }

bool room_to_wait(const Routines &routines, uint32_t client, const Peer &peer) {
    const int32_t cap = g_max_waiting.load(std::memory_order_relaxed);
    if (cap <= 0 || g_waiting.load(std::memory_order_relaxed) < cap) return true;
    const PeerScope current(peer);
    kelnet_routine_refus refus = routines.refus_waiting;
    if (refus == nullptr && routines.global) refus = g_refus_waiting.load();
    if (refus != nullptr) refus(client, to_record(peer));
    close_refused(client);
    return false;
}

void count_waiting(int32_t change) noexcept { g_waiting.fetch_add(change, std::memory_order_relaxed); }

int header_timeout_ms() noexcept { return g_header_ms.load(std::memory_order_relaxed); }
int idle_timeout_ms() noexcept { return g_idle_ms.load(std::memory_order_relaxed); }
int connect_timeout_ms() noexcept { return g_connect_ms.load(std::memory_order_relaxed); }

std::optional<Clock::time_point> header_deadline() noexcept {
    if (!t_has_header_deadline) return std::nullopt;
    return t_header_deadline;
}

namespace {

// The sockets the listeners accept on, so that a change of the idle bound
// reaches the connections they accept from then on. Never destroyed: a
// detached listener may still leave it while the process exits.
std::mutex g_listeners_mutex;
std::vector<uint32_t> &g_listeners = *new std::vector<uint32_t>;

void set_idle_bound(uint32_t listener, int idle_ms) noexcept {
    // A bound of 0 lifts a former one.
    (void)net::set_io_timeouts(listener, idle_ms, idle_ms);
}

}  // namespace

void apply_idle_bound(uint32_t listener) noexcept {
    const int idle = idle_timeout_ms();
    if (idle > 0) set_idle_bound(listener, idle);
}

void add_listener(uint32_t listener) {
    std::lock_guard<std::mutex> hold(g_listeners_mutex);
    g_listeners.push_back(listener);
    apply_idle_bound(listener);
}

void remove_listener(uint32_t listener) noexcept {
    std::lock_guard<std::mutex> hold(g_listeners_mutex);
    for (size_t i = 0; i < g_listeners.size(); ++i) {
        if (g_listeners[i] == listener) {
            g_listeners[i] = g_listeners.back();
            g_listeners.pop_back();
            return;
        }
    }
}

int serve_connection(const Routines &routines, uint32_t client, const Peer &peer,
                     Clock::time_point accepted_at) {
    const int32_t cap = g_max_clients.load(std::memory_order_relaxed);
    if (cap > 0 && g_clients.load(std::memory_order_acquire) >= cap) {
        refuse(routines, client, peer);
        return 0;
    }
    auto *rec = static_cast<Accepted *>(std::malloc(sizeof(Accepted)));
    if (rec == nullptr) return -1;
    rec->params.sd = client;
    rec->params.sock_dist = to_record(peer);
    new (&rec->peer) Peer(peer);
    rec->routine = routines.routine;
    rec->accepted_at = accepted_at;
    g_clients.fetch_add(1, std::memory_order_acq_rel);
    const int err = thread::start_detached(connection_entry, rec);
    if (err != 0) {
        g_clients.fetch_sub(1, std::memory_order_acq_rel);
        std::free(rec);
    }
    return err;
}

}  // namespace kel::kelnet

using namespace kel;

extern "C" void kelnet_fixe_delais(int32_t entete, int32_t inactivite, int32_t connexion) {
    guard_void(__func__, [&] {
        kelnet::g_header_ms.store(kelnet::seconds_to_ms(entete));
        kelnet::g_connect_ms.store(kelnet::seconds_to_ms(connexion));
        const int idle = kelnet::seconds_to_ms(inactivite);
        std::lock_guard<std::mutex> hold(kelnet::g_listeners_mutex);
        if (kelnet::g_idle_ms.exchange(idle) != idle) {
            for (uint32_t listener : kelnet::g_listeners) kelnet::set_idle_bound(listener, idle);
        }
    });
}

extern "C" void kelnet_fixe_max_clients(int32_t maximum, kelnet_routine_refus refus) {
    guard_void(__func__, [&] {
        kelnet::g_max_clients.store(maximum > 0 ? maximum : 0);
        kelnet::g_refus.store(refus);
    });
}

extern "C" int32_t kelnet_nb_clients(void) {
    return guard(__func__, int32_t{0}, [] { return kelnet::g_clients.load(); });
}

extern "C" void kelnet_fixe_admission(kelnet_routine_admission admission) {
    guard_void(__func__, [&] { kelnet::g_admission.store(admission); });
}

extern "C" void kelnet_fixe_max_attente(int32_t maximum, kelnet_routine_refus refus) {
    guard_void(__func__, [&] {
        kelnet::g_max_waiting.store(maximum < 0 ? -1 : maximum);
        kelnet::g_refus_waiting.store(refus);
    });
}

extern "C" int32_t kelnet_nb_attente(void) {
    return guard(__func__, int32_t{0}, [] { return kelnet::g_waiting.load(); });
}
