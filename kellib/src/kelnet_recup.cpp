// Reception of data of unknown length into a growing heap block: up to a
// terminator (the blank line of a header), a maximum, or the peer's close.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string_view>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"

namespace kel::kelnet {
namespace {

constexpr int32_t kGrowthBytes = 1024;
constexpr int32_t kHeaderLimitBytes = 0x80000;
constexpr char kBlankLine[] = "\r\n\r\n";

// Takes exactly len bytes that a peek has already seen.
bool consume(uint32_t sd, char *dst, int32_t len) {
    int32_t got = 0;
    while (got < len) {
        const long n = net::recv(sd, dst + got, static_cast<std::size_t>(len - got));
        if (n <= 0) return false;
        got += static_cast<int32_t>(n);
    }
    return true;
}

// With a terminator, each turn peeks at whatever has arrived, searches the
// new bytes (and the terminator length - 1 before them, where a terminator
// split across arrivals begins), then takes from the socket exactly the
// bytes up to the end of the terminator, or all it saw. Nothing behind the
// terminator is read, as if the data were taken one byte per receive, at a
// few calls per arrival instead of one per byte.
// Peeks at what has arrived; with a deadline, waits for it no longer.
// Past the deadline: -1 with the last error kErrTimedOut.
long peek_until(uint32_t sd, char *buf, std::size_t len, const std::optional<Clock::time_point> &deadline) {
    if (!deadline) return net::recv(sd, buf, len, /*peek=*/true);
    for (;;) {
        const long n = net::recv_nowait(sd, buf, len, /*peek=*/true);
        if (n >= 0 || net::last_error() != net::kErrWouldBlock) return n;
        const long long left_ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        if (left_ms <= 0) {
            net::set_last_error(net::kErrTimedOut);
            return -1;
        }
        bool ready = false;
        const net::Socket socks[1] = {sd};
        const int w = net::wait_readable_for(socks, &ready, 1, static_cast<int>(left_ms));
        if (w < 0) return -1;
    }
}

int32_t receive_block(uint32_t sd, char **buffer, int32_t *length, int32_t maximum,
                      const char *terminator, int32_t terminator_len, bool tolerant,
                      const std::optional<Clock::time_point> &deadline = std::nullopt) {
    if (buffer == nullptr) {
        KEL_DIAG_MSG("Parametre null");
        return -1;
    }
    *buffer = nullptr;
    if (maximum < 0) {
        KEL_DIAG_MSG("Parametre non valide : maximum negatif");
        return -1;
    }
    int32_t local_length = 0;
    int32_t &len = length != nullptr ? *length : local_length;
    len = 0;

    int32_t capacity = maximum >= 1 && maximum <= kGrowthBytes ? maximum : kGrowthBytes;
    // One byte always stays free behind the data for a NUL.
    char *block = static_cast<char *>(std::malloc(static_cast<std::size_t>(capacity) + 1));
    if (block == nullptr) {
        KEL_DIAG();
        return -1;
    }
    *buffer = block;
    block[0] = '\0';

    const bool has_terminator = terminator != nullptr && terminator_len > 0;
    const std::string_view wanted(has_terminator ? terminator : "",
                                  has_terminator ? static_cast<std::size_t>(terminator_len) : 0);
    for (;;) {
        const auto room = static_cast<std::size_t>(capacity - len);
        long n;
        bool found = false;
        if (has_terminator) {
            n = peek_until(sd, block + len, room, deadline);
            if (n > 0) {
                const int32_t from = len > terminator_len - 1 ? len - (terminator_len - 1) : 0;
                const int32_t end = len + static_cast<int32_t>(n);
                const std::string_view seen(block + from, static_cast<std::size_t>(end - from));
                const std::size_t at = seen.find(wanted);
                if (at != std::string_view::npos) {
                    found = true;
                    n = from + static_cast<int32_t>(at) + terminator_len - len;
                }
                if (!consume(sd, block + len, static_cast<int32_t>(n))) n = -1;
            }
        } else {
            n = net::recv(sd, block + len, room);
        }
        if (n < 0) {
            block[len] = '\0';
            KEL_DIAG_MSG(net::last_error() == net::kErrTimedOut
                             ? "délai de réception de l'en-tête dépassé"
                             : "Erreur de connexion");
            return -3;
        }
        if (n == 0) {
            block[len] = '\0';
            if (!tolerant) KEL_DIAG_MSG("Connexion fermée prématurément");
            return -2;
        }
        len += static_cast<int32_t>(n);
        if (len == capacity) {
            if (capacity > std::numeric_limits<int32_t>::max() - kGrowthBytes - 1) {
                std::free(block);
                *buffer = nullptr;
                KEL_DIAG();
                return -1;
            }
            capacity += kGrowthBytes;
            if (maximum > 0 && capacity > maximum) capacity = maximum;
            char *grown =
                static_cast<char *>(std::realloc(block, static_cast<std::size_t>(capacity) + 1));
            if (grown == nullptr) {
                std::free(block);
                *buffer = nullptr;
                KEL_DIAG();
                return -1;
            }
            block = grown;
            *buffer = block;
        }
        block[len] = '\0';
        if (found) return 0;
        if (maximum > 0 && len >= maximum) return 0;
    }
}

}  // namespace
}  // namespace kel::kelnet

using namespace kel;
using kel::kelnet::kModule;

extern "C" int32_t kelnet_recup_brut(uint32_t sd, char **buffer, int32_t *longueur, int32_t maximum,
                                     const char *terminateur, int32_t terminateur_lng,
                                     int32_t tolerant) {
    return guard(__func__, int32_t{-1}, [&] {
        return kelnet::receive_block(sd, buffer, longueur, maximum, terminateur, terminateur_lng,
                                     tolerant != 0);
    });
}

extern "C" int32_t kelnet_recup_str(uint32_t sd, char **buffer, int32_t maximum,
                                    const char *terminateur, int32_t tolerant) {
    return guard(__func__, int32_t{-1}, [&] {
        // The block always ends with a NUL behind the data, terminator or not.
        int32_t length = 0;
        const auto terminator_len =
            terminateur != nullptr ? static_cast<int32_t>(std::strlen(terminateur)) : 0;
        return kelnet::receive_block(sd, buffer, &length, maximum, terminateur, terminator_len,
                                     tolerant != 0);
    });
}

extern "C" int32_t kelnet_recup(uint32_t sd, char **buffer, int32_t *longueur, int32_t maximum,
                                int32_t tolerant) {
    return guard(__func__, int32_t{-1}, [&] {
        return kelnet::receive_block(sd, buffer, longueur, maximum, nullptr, 0, tolerant != 0);
    });
}

extern "C" int32_t kelnet_recup_entete(uint32_t sd, char **buffer) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        // On a connection thread, the header must be whole by the deadline
        // counted from accept, however slowly its bytes arrive.
        int32_t length = 0;
        if (kelnet::receive_block(sd, buffer, &length, kelnet::kHeaderLimitBytes,
                                  kelnet::kBlankLine, 4, false, kelnet::header_deadline()) < 0) {
            KEL_DIAG_MSG("erreur de réception");
            return -1;
        }
        const std::size_t len = std::strlen(*buffer);
        if (len >= static_cast<std::size_t>(kelnet::kHeaderLimitBytes)) {
            KEL_DIAG_MSG("requête énorme : erreur ?");
            return -1;
        }
        char *shrunk = static_cast<char *>(std::realloc(*buffer, len + 1));
        if (shrunk == nullptr) {
            KEL_DIAG();
            return -1;
        }
        shrunk[len] = '\0';
        *buffer = shrunk;
        return static_cast<int32_t>(len + 1);
    });
}

extern "C" int32_t kelnet_recv_str(uint32_t sd, char *buffer, int32_t taille, int32_t tolerant) {
    return guard(__func__, int32_t{-3}, [&]() -> int32_t {
        if (taille <= 0) {
            KEL_DIAG_MSG("Buffer vide");
            return -1;
        }
        for (int32_t i = 0; i < taille; ++i) {
            const long n = net::recv(sd, buffer + i, 1);
            if (n < 0) {
                KEL_DIAG_MSG("Erreur de connexion");
                return -3;
            }
            if (n == 0) {
                if (tolerant == 0) KEL_DIAG_MSG("Connexion fermée prématurément");
                return -2;
            }
            if (buffer[i] == '\0') return i;
        }
        return taille;
    });
}
