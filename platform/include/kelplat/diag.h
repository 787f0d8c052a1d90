// Diagnostic lines: the one report of a failure, on standard error.
// Each line goes out in a single write so that lines of concurrent threads
// never interleave.
#pragma once

#include <cstdarg>

namespace kel::diag {

// "ERROR: <module> line <n>\n"
void line(const char *module, int line_no) noexcept;
// "ERROR: <message>\n<module> line <n>\n"
void message(const char *text, const char *module, int line_no) noexcept;
// Free-form text on standard error or standard output, written whole.
void err_printf(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));
void out_printf(const char *format, ...) noexcept __attribute__((format(printf, 1, 2)));

}  // namespace kel::diag

// Each source file defines kModule with its module name.
#define KEL_DIAG() ::kel::diag::line(kModule, __LINE__)
#define KEL_DIAG_MSG(text) ::kel::diag::message((text), kModule, __LINE__)
