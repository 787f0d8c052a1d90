#include "kelplat/random.h"

#include <sys/random.h>

#include <cerrno>

namespace kel::rnd {

void fill(void *out, std::size_t size) noexcept {
    auto *at = static_cast<unsigned char *>(out);
    while (size > 0) {
        const ssize_t n = getrandom(at, size, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // only before the pool is seeded, with GRND_NONBLOCK: not asked for
        }
        at += n;
        size -= static_cast<std::size_t>(n);
    }
}

std::uint16_t random16() noexcept {
    std::uint16_t v = 0;
    fill(&v, sizeof v);
    return v;
}

}  // namespace kel::rnd
