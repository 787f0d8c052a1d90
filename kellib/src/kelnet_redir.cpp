// Relaying between two sockets until one side is done: two-way, one-way,
// and the forward of one incoming connection.
#include <cstdlib>
#include <memory>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"
#include "kelplat/thread.h"

namespace kel::kelnet {
namespace {

constexpr std::size_t kRelayBlockBytes = 16386;
constexpr int32_t kRelayReceiveBytes = 16382;

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using RelayBlock = std::unique_ptr<char, FreeDeleter>;

RelayBlock allocate_block() { return RelayBlock(static_cast<char *>(std::malloc(kRelayBlockBytes))); }

void close_both(uint32_t first, uint32_t second) {
    kelnet_fermer(first);
    kelnet_fermer(second);
}

kelnet_paire *make_pair(uint32_t sd1, uint32_t sd2) {
    auto *p = static_cast<kelnet_paire *>(std::malloc(sizeof(kelnet_paire)));
    if (p != nullptr) *p = kelnet_paire{sd1, sd2};
    return p;
}

}  // namespace
}  // namespace kel::kelnet

using namespace kel;
using kel::kelnet::kModule;

extern "C" int32_t kelnet_redir2(uint32_t sd1, uint32_t sd2) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        kelnet::RelayBlock block = kelnet::allocate_block();
        if (!block) {
            KEL_DIAG();
            return -1;
        }
        const net::Socket socks[2] = {sd1, sd2};
        for (;;) {
            bool ready[2] = {false, false};
            if (!net::wait_readable(socks, ready, 2)) {
                KEL_DIAG();
                return -1;
            }
            // One direction per turn; the first socket wins when both are ready.
            const uint32_t from = ready[0] ? sd1 : sd2;
            const uint32_t to = ready[0] ? sd2 : sd1;
            const long n = net::recv(from, block.get(), kelnet::kRelayReceiveBytes);
            if (n == 0) {
                kelnet::close_both(sd1, sd2);
                return -2;
            }
            if (n < 0) {
                KEL_DIAG();
                kelnet::close_both(sd1, sd2);
                return -4;
            }
            if (kelnet_envoie(to, block.get(), static_cast<int32_t>(n)) != 0) {
                KEL_DIAG_MSG("Le client d'une redirection a ferme sa connexion");
                kelnet::close_both(sd1, sd2);
                return -3;
            }
        }
    });
}

extern "C" void kelnet_redir2_thread(void *paire) {
    guard_void(__func__, [&] {
        if (paire == nullptr) {
            KEL_DIAG();
            return;
        }
        const kelnet_paire p = *static_cast<kelnet_paire *>(paire);
        std::free(paire);
        kelnet_redir2(p.sd1, p.sd2);
    });
}

extern "C" int32_t kelnet_redir1(uint32_t source, uint32_t destination) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        kelnet::RelayBlock block = kelnet::allocate_block();
        if (!block) {
            KEL_DIAG();
            return -1;
        }
        for (;;) {
            int32_t received = 0;
            const int32_t r = kelnet::receive_exact(source, block.get(),
                                                    kelnet::kRelayReceiveBytes, true, &received);
            if (r == -3) {
                KEL_DIAG();
                return -1;
            }
            // On the source's close, the last part of a block still goes out.
            const int32_t count = r == -2 ? received : kelnet::kRelayReceiveBytes;
            if (count > 0 && kelnet_envoie(destination, block.get(), count) != 0) {
                KEL_DIAG_MSG("Le client d'une redirection a ferme sa connexion");
                kelnet::close_both(source, destination);
                return -3;
            }
            if (r == -2) {
                kelnet::close_both(source, destination);
                return -2;
            }
        }
    });
}

extern "C" void kelnet_redir1_thread(void *paire) {
    guard_void(__func__, [&] {
        if (paire == nullptr) {
            KEL_DIAG();
            return;
        }
        const kelnet_paire p = *static_cast<kelnet_paire *>(paire);
        std::free(paire);
        kelnet_redir1(p.sd1, p.sd2);
    });
}

extern "C" int32_t kelnet_forward(uint32_t sd_ecoute, uint32_t sd_connecte) {
    return guard(__func__, int32_t{-1}, [&]() -> int32_t {
        kelnet_paire *pair = kelnet::make_pair(sd_ecoute, sd_connecte);
        if (pair == nullptr) {
            KEL_DIAG();
            return -1;
        }
        if (thread::start_detached(kelnet_forward_thread, pair) != 0) {
            std::free(pair);
            KEL_DIAG();
            return -1;
        }
        return 0;
    });
}

extern "C" void kelnet_forward_thread(void *paire) {
    guard_void(__func__, [&] {
        if (paire == nullptr) {
            KEL_DIAG();
            return;
        }
        const kelnet_paire given = *static_cast<kelnet_paire *>(paire);
        std::free(paire);
        const uint32_t accepted = net::accept(given.sd1, nullptr);
        if (accepted == net::kInvalidSocket) {
            KEL_DIAG();
            return;
        }
        kelnet_paire *pair = kelnet::make_pair(given.sd2, accepted);
        if (pair == nullptr) {
            KEL_DIAG();
            net::close(accepted);
            return;
        }
        // Without a thread of its own, the relay runs on this one.
        if (thread::start_detached(kelnet_redir2_thread, pair) != 0) kelnet_redir2_thread(pair);
    });
}
