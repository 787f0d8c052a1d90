#include "kelplat/diag.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace kel::diag {
namespace {

void write_all(int fd, const char *data, size_t len) noexcept {
    while (len > 0) {
        ssize_t n = ::write(fd, data, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
}

void vwrite(int fd, const char *format, va_list ap) noexcept {
    char small[512];
    va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<size_t>(n) < sizeof small) {
        write_all(fd, small, static_cast<size_t>(n));
        return;
    }
    try {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        std::vsnprintf(big.data(), big.size(), format, ap);
        write_all(fd, big.data(), static_cast<size_t>(n));
    } catch (...) {
        write_all(fd, small, sizeof small - 1);
    }
}

void fwrite_fd(int fd, const char *format, ...) noexcept __attribute__((format(printf, 2, 3)));
void fwrite_fd(int fd, const char *format, ...) noexcept {
    va_list ap;
    va_start(ap, format);
    vwrite(fd, format, ap);
    va_end(ap);
}

}  // namespace

void line(const char *module, int line_no) noexcept {
    fwrite_fd(STDERR_FILENO, "ERROR: %s line %d\n", module, line_no);
}

void message(const char *text, const char *module, int line_no) noexcept {
    fwrite_fd(STDERR_FILENO, "ERROR: %s\n%s line %d\n", text, module, line_no);
}

void err_printf(const char *format, ...) noexcept {
    va_list ap;
    va_start(ap, format);
    vwrite(STDERR_FILENO, format, ap);
    va_end(ap);
}

void out_printf(const char *format, ...) noexcept {
    // Standard output may be buffered by stdio elsewhere in the process;
    // flush it first so that our lines keep their order.
    std::fflush(stdout);
    va_list ap;
    va_start(ap, format);
    vwrite(STDOUT_FILENO, format, ap);
    va_end(ap);
}

}  // namespace kel::diag
