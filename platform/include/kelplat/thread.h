// Detached threads with an explicit stack size.
#pragma once

#include <cstddef>

namespace kel::thread {

// Stack of every connection thread (and of the threads that relay or
// listen). Chosen by measuring the deepest path such a thread runs (name
// look-up through the system resolver, an FTP transfer through libcurl,
// formatted output) on a painted stack, with twice the peak as margin;
// see bench/stack. Sanitizer builds grow frames several-fold.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::size_t kConnectionStackBytes = 1024 * 1024;
#else
inline constexpr std::size_t kConnectionStackBytes = 256 * 1024;
#endif

using Routine = void (*)(void *arg);

// Starts routine(arg) on a new detached thread; nobody joins it. Returns 0,
// or the system's error number when the thread can't be started (arg is
// then still the caller's).
int start_detached(Routine routine, void *arg,
                   std::size_t stack_bytes = kConnectionStackBytes) noexcept;

// The system's own start, whatever hook is installed.
int start_detached_system(Routine routine, void *arg, std::size_t stack_bytes) noexcept;

// Replaces the start, so that tests can make it fail; null puts the
// system's back. Returns the previous hook.
using StartHook = int (*)(Routine routine, void *arg, std::size_t stack_bytes);
StartHook set_start_hook(StartHook hook) noexcept;

// Text of an error number returned by start_detached.
const char *error_text(int err) noexcept;

// Suspends the calling thread.
void sleep_ms(int ms) noexcept;

}  // namespace kel::thread
