// Detached threads with an explicit stack size.
#pragma once

#include <cstddef>

namespace kel::thread {

// Stack of every connection thread (and of the threads that listen or
// relay). Measured on a painted stack with bench/stack, libcurl loaded so
// that its static TLS counts: the deepest path is 38,440 bytes (a %Lf of
// LDBL_MAX, which glibc builds with alloca when the stack is large), the
// deepest path the server runs 16,936 (a host-name look-up that goes to
// DNS; an FTP transfer through libcurl takes 15,272). Twice the deepest,
// rounded up to a page multiple. Sanitizer builds: the probe peaks at
// 41,064 bytes, but every frame of our own code grows with red zones, so
// they get a wider margin. ThreadSanitizer keeps its per-thread state in
// static TLS, which comes out of the stack: an empty thread already takes
// 794,536 bytes, the probe peaks at 824,456, and the runtime raises any
// smaller size to that TLS plus 128 KiB. Its builds get 1 MiB, which
// leaves about the margin of the other sanitizer builds.
// KELPLAT_THREAD_SANITIZER is defined in ThreadSanitizer builds.
#if defined(__SANITIZE_THREAD__)
#define KELPLAT_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KELPLAT_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kConnectionStackBytes = 256 * 1024;
#elif defined(KELPLAT_THREAD_SANITIZER)
inline constexpr std::size_t kConnectionStackBytes = 1024 * 1024;
#else
inline constexpr std::size_t kConnectionStackBytes = 80 * 1024;
#endif

using Routine = void (*)(void *arg);

// Starts routine(arg) on a detached thread of its own; nobody joins it.
// The thread is an idle pooled one of the same stack size when one waits,
// else a new one. A thread runs one routine at a time; once its routine
// returns it waits a while (10 s; at most 64 threads wait) for the next,
// then ends. Every routine starts with errno and the socket layer's last
// error cleared, as on a new thread. Returns 0, or the system's error
// number when no idle thread waits and none can be created (arg is then
// still the caller's).
int start_detached(Routine routine, void *arg,
                   std::size_t stack_bytes = kConnectionStackBytes) noexcept;

// The system's own start (idle thread or new one), whatever hook is
// installed.
int start_detached_system(Routine routine, void *arg, std::size_t stack_bytes) noexcept;

// Pooled threads that wait for a routine, and all pooled threads alive.
struct PoolCounts {
    std::size_t idle;
    std::size_t live;
};
PoolCounts pool_counts() noexcept;

// How long an idle thread waits for its next routine; applies at once to
// those already waiting. For tests. Returns the previous value.
int set_idle_ms(int ms) noexcept;

// Replaces the start, so that tests can make it fail; null puts the
// system's back. Returns the previous hook.
using StartHook = int (*)(Routine routine, void *arg, std::size_t stack_bytes);
StartHook set_start_hook(StartHook hook) noexcept;

// Text of an error number returned by start_detached.
const char *error_text(int err) noexcept;

// Suspends the calling thread.
void sleep_ms(int ms) noexcept;

}  // namespace kel::thread
