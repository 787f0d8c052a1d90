// Header and data reception over a socket pair. A writer thread sends the
// payload in fuzzer-chosen chunks, each one only after the reader has taken
// everything before it, so that every chunk arrives on its own; then it
// closes its end. The reader runs one reception operation, then drains the
// socket: together they must give back exactly the bytes sent, and a header
// must end at the first blank line with nothing behind it taken.
//
// Input: byte 0 picks the operation (bits 4-5) and the number of chunk
// lengths that follow (bits 0-3); byte 1 a parameter (maximum or buffer
// size); then the chunk lengths, used in turn; the rest is the payload.
#include <sched.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "kelnet.h"
#include "kelplat/net.h"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void write_chunks(uint32_t writer, uint32_t reader, std::string_view payload,
                  const std::vector<size_t> &lengths) {
    size_t at = 0;
    for (size_t turn = 0; at < payload.size(); ++turn) {
        // The previous chunk is taken or the reader has stopped reading; the
        // drain afterwards takes whatever is left.
        for (int spins = 0; kel::net::unread_bytes(reader) > 0 && spins < 200000; ++spins)
            sched_yield();
        size_t n = lengths.empty() ? payload.size() : lengths[turn % lengths.size()];
        if (n > payload.size() - at) n = payload.size() - at;
        size_t sent = 0;
        while (sent < n) {
            const long k = kel::net::send(writer, payload.data() + at + sent, n - sent);
            if (k <= 0) return;
            sent += static_cast<size_t>(k);
        }
        at += n;
    }
}

std::string drain(uint32_t reader) {
    std::string rest;
    char buf[4096];
    for (;;) {
        const long n = kel::net::recv(reader, buf, sizeof buf);
        if (n <= 0) break;
        rest.append(buf, static_cast<size_t>(n));
    }
    return rest;
}

struct Pair {
    uint32_t s[2] = {kel::net::kInvalidSocket, kel::net::kInvalidSocket};
    Pair() { check(kel::net::stream_pair(s)); }
    ~Pair() {
        kel::net::close(s[0]);
        kel::net::close(s[1]);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const int operation = (data[0] >> 4) & 3;
    const size_t chunk_count = data[0] & 15;
    const int parameter = data[1];
    size_t at = 2;
    std::vector<size_t> lengths;
    for (size_t i = 0; i < chunk_count && at < size; ++i, ++at)
        lengths.push_back(static_cast<size_t>(data[at]) + 1);
    const std::string_view payload(reinterpret_cast<const char *>(data) + at, size - at);

    Pair pair;
    const uint32_t reader = pair.s[0];
    const uint32_t writer = pair.s[1];
    // The lowest free descriptors come back on every run unless one leaked.
    static const uint32_t first_reader = reader, first_writer = writer;
    check(reader == first_reader && writer == first_writer);
    std::thread sender([&] {
        write_chunks(writer, reader, payload, lengths);
        kel::net::shutdown_send(writer);
    });

    std::string taken;  // what the operation took from the socket
    switch (operation) {
        case 0:
        case 1: {
            char *text = nullptr;
            const int32_t rc = kelnet_recup_entete(reader, &text);
            const size_t end = payload.find("\r\n\r\n");
            if (end == std::string_view::npos) {
                check(rc == -1);
                taken = payload;
            } else {
                const std::string_view head = payload.substr(0, end + 4);
                const std::string_view up_to_nul = head.substr(0, head.find('\0'));
                check(rc == static_cast<int32_t>(up_to_nul.size()) + 1);
                check(text != nullptr && std::string_view(text) == up_to_nul);
                taken = head;
            }
            std::free(text);
            break;
        }
        case 2: {
            // No terminator: up to a maximum (0 for none) or the close.
            char *block = nullptr;
            int32_t length = -1;
            const int32_t rc = kelnet_recup(reader, &block, &length, parameter, 1);
            const size_t expected =
                parameter > 0 && static_cast<size_t>(parameter) <= payload.size()
                    ? static_cast<size_t>(parameter)
                    : payload.size();
            check(block != nullptr && length == static_cast<int32_t>(expected));
            check(rc == (parameter > 0 && expected == static_cast<size_t>(parameter) ? 0 : -2));
            check(std::string_view(block, expected) == payload.substr(0, expected));
            check(block[expected] == '\0');
            taken.assign(block, expected);
            std::free(block);
            break;
        }
        case 3: {
            // Byte by byte into a fixed buffer, up to a NUL or its size.
            const int32_t capacity = parameter % 64;
            std::vector<char> buf(static_cast<size_t>(capacity) + 1, 'x');
            const int32_t rc = kelnet_recv_str(reader, buf.data(), capacity, 1);
            if (capacity == 0) {
                check(rc == -1);
                break;
            }
            const size_t nul = payload.find('\0');
            if (nul != std::string_view::npos && nul < static_cast<size_t>(capacity)) {
                check(rc == static_cast<int32_t>(nul));
                taken = payload.substr(0, nul + 1);
            } else if (payload.size() >= static_cast<size_t>(capacity)) {
                check(rc == capacity);
                taken = payload.substr(0, static_cast<size_t>(capacity));
            } else {
                check(rc == -2);
                taken = payload;
            }
            check(std::string_view(buf.data(), taken.size()) == taken);
            break;
        }
    }
    const std::string rest = drain(reader);
    sender.join();
    check(taken + rest == payload);
    return 0;
}
