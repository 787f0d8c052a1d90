// Formatted output into a growing heap block, shared by kelstr_print and the
// log writers so that both grow their block the same way.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace kel::format {

// The first block size tried.
inline constexpr std::size_t kInitialBytes = 64;
// A negative result from the formatter is taken as "did not fit" and the
// block is doubled; on this platform it really means an encoding error, so
// the doubling stops here instead of running until memory is exhausted.
inline constexpr std::size_t kMaxBlindBytes = std::size_t{16} << 20;

// Next block size after the formatter returned `result` for a block of
// `size` bytes: doubled for a negative result, the needed length plus one
// when that is not below the size, 0 when the output already fits.
constexpr std::size_t next_size(std::size_t size, int result) noexcept {
    if (result < 0) return size * 2;
    if (static_cast<std::size_t>(result) >= size) return static_cast<std::size_t>(result) + 1;
    return 0;
}

// Formats into a malloc'ed block (caller frees). Null when a resize fails
// or the formatter keeps failing; `length` receives the text length.
char *vformat(const char *fmt, va_list ap, std::size_t *length) noexcept;

}  // namespace kel::format
