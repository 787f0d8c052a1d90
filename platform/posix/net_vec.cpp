#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>

#include "kelplat/netvec.h"

namespace kel::net {
namespace {

thread_local std::uint64_t t_gathered_calls = 0;

// Chunks per call when the caller gives more than the system takes.
constexpr int kMaxChunksPerCall = 64;

}  // namespace

bool send_gathered(Socket s, const Chunk *chunks, int count) noexcept {
    if (count < 0 || (chunks == nullptr && count > 0)) {
        set_last_error(kErrInvalid);
        return false;
    }
    iovec vec[kMaxChunksPerCall];
    int next = 0;              // first chunk not yet wholly sent
    std::size_t offset = 0;    // bytes of chunks[next] already sent
    for (;;) {
        while (next < count && chunks[next].len == offset) {
            ++next;
            offset = 0;
        }
        if (next == count) return true;
        int used = 0;
        for (int i = next; i < count && used < kMaxChunksPerCall; ++i) {
            if (chunks[i].len == 0) continue;
            const std::size_t skip = i == next ? offset : 0;
            vec[used].iov_base = const_cast<char *>(static_cast<const char *>(chunks[i].data) + skip);
            vec[used].iov_len = chunks[i].len - skip;
            ++used;
        }
        msghdr msg{};
        msg.msg_iov = vec;
        msg.msg_iovlen = static_cast<decltype(msg.msg_iovlen)>(used);
        ++t_gathered_calls;
        const ssize_t n = ::sendmsg(static_cast<int>(s), &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            set_last_error(code_from_errno(errno));
            return false;
        }
        if (n == 0) {
            // Nothing taken from a non-empty write: the peer is gone.
            set_last_error(code_from_errno(EPIPE));
            return false;
        }
        // Advance over what left.
        std::size_t left = static_cast<std::size_t>(n);
        while (left > 0 && next < count) {
            const std::size_t rest = chunks[next].len - offset;
            if (left < rest) {
                offset += left;
                left = 0;
            } else {
                left -= rest;
                ++next;
                offset = 0;
            }
        }
    }
}

std::uint64_t gathered_send_calls_on_this_thread() noexcept { return t_gathered_calls; }

}  // namespace kel::net
