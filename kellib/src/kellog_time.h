// The timestamp that starts every log entry, apart from the clock so that
// its layout can be checked for any date.
#pragma once

#include <ctime>

namespace kel::log {

inline constexpr int kTimestampChars = 20;

// "DD/MM/YYYY @ HH:MM  " and its NUL into out, which holds at least 21
// characters; a year past 9999 is cut rather than overflowing.
void format_timestamp(const std::tm &when, char *out) noexcept;

}  // namespace kel::log
