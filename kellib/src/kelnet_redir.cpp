// Relaying between two sockets until one side is done: two-way, one-way,
// and the forward of one incoming connection.
#include <cstdlib>
#include <memory>
#include <optional>

#include "kelnet.h"
#include "kelnet_internal.h"
#include "kelplat/diag.h"
#include "kelplat/guard.h"
#include "kelplat/net.h"
#include "kelplat/owned.h"
#include "kelplat/thread.h"

namespace kel::kelnet {
namespace {

// The tally of the thread's last two-way relay.
thread_local kelnet_bilan t_bilan{};

constexpr std::size_t kRelayBlockBytes = 16386;
constexpr int32_t kRelayReceiveBytes = 16382;

using RelayBlock = std::unique_ptr<char, FreeDeleter>;

RelayBlock allocate_block() { return RelayBlock(static_cast<char *>(std::malloc(kRelayBlockBytes))); }

void close_both(uint32_t first, uint32_t second) {
    kelnet_fermer(first);
    kelnet_fermer(second);
}

// Room asked for each kernel-side pipe. Against the default 64 KiB it
// takes a third less CPU per byte; a larger pipe saves a little more but
// lets one direction hold the turn longer while the other waits, and
// spends the per-user pipe allowance sooner.
constexpr std::size_t kPipeRoomBytes = 256u << 10;
// Stands in for the block when it can't be had once bytes have moved.
constexpr int32_t kSpareReceiveBytes = 512;

// Two-way relay state. Each direction starts by copying through a block
// taken for the turn and given back after it, so a quiet tunnel holds no
// memory; a receive that fills the block marks bulk traffic, and from then
// on that direction moves bytes inside the kernel through a pipe of its own.
class TwoWayRelay {
public:
    // With half_close, the close of one side's sending is passed on to the
    // other and the relay goes on the other way until that side closes too.
    TwoWayRelay(uint32_t first, uint32_t second, bool half_close = false)
        : socks_{first, second}, half_close_(half_close) {
        t_bilan = kelnet_bilan{};
    }

    // True once the peer of side `from` has closed its sending, under half_close.
    bool done(int from) const { return done_[from]; }

    // Serves one turn from side `from` to the other: 0 to go on, or the
    // relay's result, with both sockets closed unless it is -1.
    int32_t turn(int from) {
        Direction &d = dirs_[from];
        const uint32_t src = socks_[from];
        const uint32_t dst = socks_[1 - from];
        if (d.pipe.is_open()) {
            const int32_t r = splice_turn(d, src, dst);
            if (r != kRefused) return r;
        }
        return copy_turn(d, src, dst);
    }

private:
    struct Direction {
        net::RelayPipe pipe;
        bool splice_refused = false;
    };
    static constexpr int32_t kRefused = 1;

    int32_t end(int32_t result) {
        close_both(socks_[0], socks_[1]);
        return result;
    }

    // The peer of src has closed and nothing of it is left to read: its
    // socket needs no drain, only a close (which sends our end). The other
    // side gets the orderly close with its drain.
    int32_t end_at_close_of(uint32_t src) {
        const int from = src == socks_[0] ? 0 : 1;
        const uint32_t other = socks_[1 - from];
        if (half_close_ && !done_[1 - from]) {
            // The other side may still answer: it reads the end, we read on.
            done_[from] = true;
            (void)net::shutdown_send(other);
            return 0;
        }
        net::close(src);
        kelnet_fermer(other);
        return -2;
    }

    int32_t send_failed() {
        KEL_DIAG_MSG("Le client d'une redirection a ferme sa connexion");
        return end(-3);
    }

    int32_t splice_turn(Direction &d, uint32_t src, uint32_t dst) {
        const long n = d.pipe.fill_from(src);
        if (n == net::kSpliceRefused) {
            d.pipe.close();
            d.splice_refused = true;
            return kRefused;
        }
        if (n == 0) return end_at_close_of(src);
        if (n < 0) {
            KEL_DIAG();
            return end(-4);
        }
        const long r = d.pipe.drain_to(dst);
        if (r == net::kSpliceRefused) return copy_out_of_pipe(d, dst);
        if (r < 0) {
            KEL_DIAG_MSG("erreur a l'envoi : connexion fermee prematurement ?");
            return send_failed();
        }
        count(d, nullptr, n);
        return 0;
    }

    // Bytes that reached the other side. The first ones of a direction always
    // go by copy (splicing starts only after a full block), so they are seen.
    void count(const Direction &d, const char *bytes, long n) {
        const bool first_way = &d == &dirs_[0];
        uint64_t &total = first_way ? t_bilan.octets_1_vers_2 : t_bilan.octets_2_vers_1;
        int32_t &kept = first_way ? t_bilan.debut_lng_1_vers_2 : t_bilan.debut_lng_2_vers_1;
        char *start = first_way ? t_bilan.debut_1_vers_2 : t_bilan.debut_2_vers_1;
        total += static_cast<uint64_t>(n);
        if (bytes == nullptr) return;
        while (kept < KELNET_BILAN_DEBUT && n > 0) {
            start[kept++] = *bytes++;
            --n;
        }
    }

    // The destination takes no spliced bytes: what is in the pipe goes out
    // by copy, and this direction copies from now on.
    int32_t copy_out_of_pipe(Direction &d, uint32_t dst) {
        d.splice_refused = true;
        RelayBlock block = allocate_block();
        if (!block) return copy_out_of_pipe_spare(d, dst);
        return copy_out_of_pipe(d, dst, block.get(), kRelayReceiveBytes);
    }

    int32_t copy_out_of_pipe(Direction &d, uint32_t dst, char *buf, int32_t len) {
        while (d.pipe.pending() > 0) {
            const long n = d.pipe.take(buf, static_cast<std::size_t>(len));
            if (n <= 0) {
                KEL_DIAG();
                return end(-4);
            }
            if (kelnet_envoie(dst, buf, static_cast<int32_t>(n)) != 0) return send_failed();
            count(d, nullptr, n);
        }
        d.pipe.close();
        return 0;
    }

    int32_t copy_turn(Direction &d, uint32_t src, uint32_t dst) {
        RelayBlock block = allocate_block();
        if (!block) {
            // Before any byte has moved, the relay has not started: the
            // caller still owns both sockets.
            if (!moved_) {
                KEL_DIAG();
                return -1;
            }
            return copy_turn_spare(d, src, dst);
        }
        return copy_through(src, dst, block.get(), kRelayReceiveBytes, d, true);
    }

    // Once bytes have moved, a block that can't be had is no reason to drop
    // the exchange: a small buffer on the stack carries on. Out of line, so
    // that the usual path's frame stays small.
    [[gnu::noinline]] int32_t copy_turn_spare(Direction &d, uint32_t src, uint32_t dst) {
        char spare[kSpareReceiveBytes];
        return copy_through(src, dst, spare, kSpareReceiveBytes, d, false);
    }

    [[gnu::noinline]] int32_t copy_out_of_pipe_spare(Direction &d, uint32_t dst) {
        char spare[kSpareReceiveBytes];
        return copy_out_of_pipe(d, dst, spare, kSpareReceiveBytes);
    }

    // With may_splice, a receive that fills the buffer moves the direction
    // to the kernel path.
    int32_t copy_through(uint32_t src, uint32_t dst, char *buf, int32_t len, Direction &d,
                         bool may_splice) {
        const long n = net::recv(src, buf, static_cast<std::size_t>(len));
        if (n == 0) return end_at_close_of(src);
        if (n < 0) {
            KEL_DIAG();
            return end(-4);
        }
        moved_ = true;
        if (kelnet_envoie(dst, buf, static_cast<int32_t>(n)) != 0) return send_failed();
        count(d, buf, n);
        if (n == len && may_splice && !d.splice_refused) start_splicing(d);
        return 0;
    }

    // A pipe that can't be had, or that the per-user allowance keeps
    // smaller than the block, leaves the direction on the copy path.
    static void start_splicing(Direction &d) {
        if (d.pipe.open(kPipeRoomBytes) && d.pipe.room() >= kRelayReceiveBytes) return;
        d.pipe.close();
        d.splice_refused = true;
    }

    uint32_t socks_[2];
    Direction dirs_[2];
    bool moved_ = false;
    bool half_close_ = false;
    bool done_[2] = {false, false};
};

// Takes the pair a thread entry was given and releases its record; a null
// argument gets a diagnostic line and no pair.
std::optional<kelnet_paire> take_pair(void *paire, int line_no) {
    if (paire == nullptr) {
        diag::line(kModule, line_no);
        return std::nullopt;
    }
    const kelnet_paire p = *static_cast<kelnet_paire *>(paire);
    std::free(paire);
    return p;
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

namespace kel::kelnet {
namespace {

// The two-way relay's loop: one direction per turn, only the sides still
// sending watched, until the relay ends or nothing moves for the idle time.
int32_t relay_both_ways(uint32_t sd1, uint32_t sd2, bool half_close) {
    TwoWayRelay relay(sd1, sd2, half_close);
    const net::Socket socks[2] = {sd1, sd2};
    const int idle = idle_timeout_ms();
    for (;;) {
        net::Socket watched[2];
        int side[2];
        int count = 0;
        for (int i = 0; i < 2; ++i) {
            if (relay.done(i)) continue;
            watched[count] = socks[i];
            side[count++] = i;
        }
        bool ready[2] = {false, false};
        const int w = net::wait_readable_for(watched, ready, count, idle > 0 ? idle : -1);
        if (w == 0) {
            // Nothing moved either way for the idle time: end it.
            KEL_DIAG_MSG("redirection inactive, connexions fermées");
            close_both(sd1, sd2);
            return -5;
        }
        if (w < 0) {
            KEL_DIAG();
            return -1;
        }
        // The first socket wins when both are ready.
        const int32_t r = relay.turn(ready[0] ? side[0] : side[1]);
        if (r != 0) return r;
    }
}

}  // namespace
}  // namespace kel::kelnet

extern "C" int32_t kelnet_redir2(uint32_t sd1, uint32_t sd2) {
    return guard(__func__, int32_t{-1}, [&] { return kelnet::relay_both_ways(sd1, sd2, /*half_close=*/false); });
}

extern "C" int32_t kelnet_redir2_demi(uint32_t sd1, uint32_t sd2) {
    return guard(__func__, int32_t{-1}, [&] { return kelnet::relay_both_ways(sd1, sd2, /*half_close=*/true); });
}

extern "C" int32_t kelnet_derniere_erreur(void) {
    return guard(__func__, int32_t{0}, [] { return static_cast<int32_t>(net::last_error()); });
}

extern "C" void kelnet_bilan_redir(kelnet_bilan *bilan) {
    guard_void(__func__, [&] {
        if (bilan != nullptr) *bilan = kelnet::t_bilan;
    });
}

extern "C" void kelnet_redir2_thread(void *paire) {
    guard_void(__func__, [&] {
        if (const auto p = kelnet::take_pair(paire, __LINE__)) kelnet_redir2(p->sd1, p->sd2);
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
        if (const auto p = kelnet::take_pair(paire, __LINE__)) kelnet_redir1(p->sd1, p->sd2);
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
        const auto given = kelnet::take_pair(paire, __LINE__);
        if (!given) return;
        const uint32_t accepted = net::accept(given->sd1, nullptr);
        if (accepted == net::kInvalidSocket) {
            KEL_DIAG();
            return;
        }
        kelnet_paire *pair = kelnet::make_pair(given->sd2, accepted);
        if (pair == nullptr) {
            KEL_DIAG();
            net::close(accepted);
            return;
        }
        // Without a thread of its own, the relay runs on this one.
        if (thread::start_detached(kelnet_redir2_thread, pair) != 0) kelnet_redir2_thread(pair);
    });
}
