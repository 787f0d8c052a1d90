#include "kelplat/thread.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "kelplat/net.h"

namespace kel::thread {
namespace {

std::atomic<StartHook> g_hook{nullptr};

// An idle worker waits this long for its next routine, then ends.
constexpr int kIdleMs = 10'000;
// Idle workers kept at most; a worker that finds the pool full ends.
constexpr std::size_t kMaxIdle = 64;

// One pooled thread. Its routine and argument are written by whoever hands
// it work, under the pool's lock; a null routine means it has none.
struct Worker {
    Routine routine;
    void *arg;
    std::size_t stack_bytes;
    pthread_cond_t wake;
    timespec idle_since;
    Worker *prev;
    Worker *next;
};

struct Pool {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    // Most recently idle first: its stack is still warm in the cache, and
    // the oldest idle workers at the tail are the ones that time out.
    Worker *idle = nullptr;
    std::size_t idle_count = 0;
    std::size_t live = 0;
    int idle_ms = kIdleMs;
};

Pool *make_pool() noexcept;

// Never destroyed: idle workers may still wait on it while the process
// exits.
Pool &pool() noexcept {
    static Pool *const p = make_pool();
    return *p;
}

// A forked child has none of the parent's workers: it must not hand work
// to them, nor find the pool's lock held by a thread it doesn't have.
// Their records stay reachable, as the parent still uses them.
Worker *g_forked_away = nullptr;
thread_local bool t_is_worker = false;

void before_fork() noexcept { pthread_mutex_lock(&pool().lock); }
void after_fork_in_parent() noexcept { pthread_mutex_unlock(&pool().lock); }
void after_fork_in_child() noexcept {
    Pool &p = pool();
    pthread_mutex_init(&p.lock, nullptr);
    g_forked_away = p.idle;
    p.idle = nullptr;
    p.idle_count = 0;
    // The forking thread, if a worker, is the child's only one.
    p.live = t_is_worker ? 1 : 0;
}

Pool *make_pool() noexcept {
    auto *p = new (std::nothrow) Pool;
    if (p == nullptr) std::abort();
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    return p;
}

// Holds the pool's lock for a scope.
struct Hold {
    Pool &p;
    explicit Hold(Pool &pool) noexcept : p(pool) { pthread_mutex_lock(&p.lock); }
    ~Hold() { pthread_mutex_unlock(&p.lock); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
};

void push_idle(Pool &p, Worker *w) noexcept {
    w->prev = nullptr;
    w->next = p.idle;
    if (p.idle != nullptr) p.idle->prev = w;
    p.idle = w;
    ++p.idle_count;
}

void unlink_idle(Pool &p, Worker *w) noexcept {
    if (w->prev != nullptr) w->prev->next = w->next;
    else p.idle = w->next;
    if (w->next != nullptr) w->next->prev = w->prev;
    w->prev = w->next = nullptr;
    --p.idle_count;
}

timespec deadline_after(const timespec &start, int ms) noexcept {
    timespec t = start;
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (t.tv_nsec >= 1000000000L) {
        ++t.tv_sec;
        t.tv_nsec -= 1000000000L;
    }
    return t;
}

bool reached(const timespec &now, const timespec &deadline) noexcept {
    return now.tv_sec > deadline.tv_sec ||
           (now.tv_sec == deadline.tv_sec && now.tv_nsec >= deadline.tv_nsec);
}

// What the library keeps per thread starts afresh for every routine, as on
// a new thread.
void reset_thread_state() noexcept {
    net::set_last_error(0);
    errno = 0;
}

// Waits, with the pool's lock held, until work is handed over (true) or
// the idle time runs out (false, the worker has left the idle list).
bool wait_for_work(Pool &p, Worker *w) noexcept {
    clock_gettime(CLOCK_MONOTONIC, &w->idle_since);
    push_idle(p, w);
    while (w->routine == nullptr) {
        // Re-read every round: a test may shorten the idle time meanwhile.
        const timespec deadline = deadline_after(w->idle_since, p.idle_ms);
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (reached(now, deadline)) {
            unlink_idle(p, w);
            return false;
        }
        pthread_cond_timedwait(&w->wake, &p.lock, &deadline);
    }
    return true;
}

void *worker_main(void *arg) {
    auto *w = static_cast<Worker *>(arg);
    Pool &p = pool();
    t_is_worker = true;
    for (;;) {
        reset_thread_state();
        w->routine(w->arg);
        Hold hold(p);
        w->routine = nullptr;
        w->arg = nullptr;
        if (p.idle_count >= kMaxIdle || !wait_for_work(p, w)) {
            --p.live;
            break;
        }
    }
    pthread_cond_destroy(&w->wake);
    delete w;
    return nullptr;
}

// Hands the routine to an idle worker of the same stack size, if any.
bool hand_to_idle(Pool &p, Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    Hold hold(p);
    for (Worker *w = p.idle; w != nullptr; w = w->next) {
        if (w->stack_bytes != stack_bytes) continue;
        unlink_idle(p, w);
        w->routine = routine;
        w->arg = arg;
        // Signalled under the lock: once released, the worker may run the
        // routine, time out and free itself.
        pthread_cond_signal(&w->wake);
        return true;
    }
    return false;
}

// Destroys the attribute objects on every path.
struct Attr {
    pthread_attr_t attr;
    bool ok;
    Attr() noexcept : ok(pthread_attr_init(&attr) == 0) {}
    ~Attr() {
        if (ok) pthread_attr_destroy(&attr);
    }
};

struct CondAttr {
    pthread_condattr_t attr;
    bool ok;
    CondAttr() noexcept : ok(pthread_condattr_init(&attr) == 0) {}
    ~CondAttr() {
        if (ok) pthread_condattr_destroy(&attr);
    }
};

int start_worker(Pool &p, Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    Attr a;
    if (!a.ok) return ENOMEM;
    int rc = pthread_attr_setdetachstate(&a.attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && stack_bytes != 0) rc = pthread_attr_setstacksize(&a.attr, stack_bytes);
    if (rc != 0) return rc;
    CondAttr ca;
    if (!ca.ok) return ENOMEM;
    // Idle deadlines follow the monotonic clock, whatever happens to the
    // time of day.
    rc = pthread_condattr_setclock(&ca.attr, CLOCK_MONOTONIC);
    if (rc != 0) return rc;
    auto *w = new (std::nothrow) Worker{routine, arg, stack_bytes, {}, {}, nullptr, nullptr};
    if (w == nullptr) return ENOMEM;
    rc = pthread_cond_init(&w->wake, &ca.attr);
    if (rc != 0) {
        delete w;
        return rc;
    }
    {
        Hold hold(p);
        ++p.live;
    }
    pthread_t id;
    rc = pthread_create(&id, &a.attr, worker_main, w);
    if (rc != 0) {
        {
            Hold hold(p);
            --p.live;
        }
        pthread_cond_destroy(&w->wake);
        delete w;
    }
    return rc;
}

}  // namespace

int start_detached_system(Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    if (routine == nullptr) return EINVAL;
    Pool &p = pool();
    if (hand_to_idle(p, routine, arg, stack_bytes)) return 0;
    return start_worker(p, routine, arg, stack_bytes);
}

int start_detached(Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    const StartHook hook = g_hook.load();
    return hook != nullptr ? hook(routine, arg, stack_bytes)
                           : start_detached_system(routine, arg, stack_bytes);
}

StartHook set_start_hook(StartHook hook) noexcept { return g_hook.exchange(hook); }

PoolCounts pool_counts() noexcept {
    Pool &p = pool();
    Hold hold(p);
    return PoolCounts{p.idle_count, p.live};
}

int set_idle_ms(int ms) noexcept {
    Pool &p = pool();
    Hold hold(p);
    const int previous = p.idle_ms;
    p.idle_ms = ms < 0 ? 0 : ms;
    for (Worker *w = p.idle; w != nullptr; w = w->next) pthread_cond_signal(&w->wake);
    return previous;
}

const char *error_text(int err) noexcept {
    switch (err) {
        case EAGAIN: return "resources or thread limit exhausted";
        case ENOMEM: return "out of memory";
        case EINVAL: return "invalid thread attributes";
        case EPERM: return "not permitted";
        default: return "unknown error";
    }
}

void sleep_ms(int ms) noexcept {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

}  // namespace kel::thread
