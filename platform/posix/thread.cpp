#include "kelplat/thread.h"

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kel::thread {
namespace {

std::atomic<StartHook> g_hook{nullptr};

struct Start {
    Routine routine;
    void *arg;
};

void *trampoline(void *p) {
    const Start s = *static_cast<Start *>(p);
    delete static_cast<Start *>(p);
    s.routine(s.arg);
    return nullptr;
}

// Destroys the attribute object on every path.
struct Attr {
    pthread_attr_t attr;
    bool ok;
    Attr() noexcept : ok(pthread_attr_init(&attr) == 0) {}
    ~Attr() {
        if (ok) pthread_attr_destroy(&attr);
    }
};

}  // namespace

int start_detached_system(Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    if (routine == nullptr) return EINVAL;
    Attr a;
    if (!a.ok) return ENOMEM;
    int rc = pthread_attr_setdetachstate(&a.attr, PTHREAD_CREATE_DETACHED);
    if (rc == 0 && stack_bytes != 0) rc = pthread_attr_setstacksize(&a.attr, stack_bytes);
    if (rc != 0) return rc;
    auto *s = new (std::nothrow) Start{routine, arg};
    if (s == nullptr) return ENOMEM;
    pthread_t id;
    rc = pthread_create(&id, &a.attr, trampoline, s);
    if (rc != 0) delete s;
    return rc;
}

int start_detached(Routine routine, void *arg, std::size_t stack_bytes) noexcept {
    const StartHook hook = g_hook.load();
    return hook != nullptr ? hook(routine, arg, stack_bytes)
                           : start_detached_system(routine, arg, stack_bytes);
}

StartHook set_start_hook(StartHook hook) noexcept { return g_hook.exchange(hook); }

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
