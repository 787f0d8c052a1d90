// The response framer: the input's first byte picks how the rest is split
// into reads, and the rest is fed to the chunked reader as a body followed
// by whatever comes after it. The split must change nothing: the same bytes
// taken, the same end or fault. What it takes, fed again in one piece, ends
// the same way. The input as Transfer-Encoding and Content-Length values
// goes through the framing rules, whose lengths must be the digits given.
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "response_framing.h"

namespace {

using kel::server::BodyKind;
using kel::server::ChunkedReader;

void check(bool ok) {
    if (!ok) __builtin_trap();
}

struct Outcome {
    size_t taken = 0;
    bool done = false;
    const char *fault = nullptr;
};

Outcome read(std::string_view body, size_t step) {
    ChunkedReader reader;
    Outcome o;
    for (size_t at = 0; at < body.size(); at += step) {
        const std::string_view piece = body.substr(at, step);
        const size_t n = reader.feed(piece);
        check(n <= piece.size());
        o.taken += n;
        if (n < piece.size()) {
            // Only an end or a fault stops the reader short.
            check(reader.done() || reader.fault() != nullptr);
            break;
        }
    }
    o.done = reader.done();
    o.fault = reader.fault();
    check(!(o.done && o.fault));
    // Nothing more is taken once it stopped.
    if (o.done || o.fault) check(reader.feed("0\r\n\r\n") == 0);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const size_t step = static_cast<size_t>(data[0] % 17) + 1;
    const std::string_view body(reinterpret_cast<const char *>(data) + 1, size - 1);

    const Outcome whole = read(body, body.size() + 1);
    const Outcome split = read(body, step);
    check(whole.taken == split.taken && whole.done == split.done);
    check((whole.fault == nullptr) == (split.fault == nullptr));
    if (whole.fault) check(std::strcmp(whole.fault, split.fault) == 0);
    if (whole.done) {
        const Outcome again = read(body.substr(0, whole.taken), 1);
        check(again.done && again.taken == whole.taken);
    }

    const std::string value(body.substr(0, body.find('\0')));
    const auto te = kel::server::response_body_framing("GET", 200, value.c_str(), nullptr);
    check(te.kind != BodyKind::kLength && te.kind != BodyKind::kNone);
    check((te.kind == BodyKind::kInvalid) == (te.fault != nullptr));
    const auto cl = kel::server::response_body_framing("GET", 200, nullptr, value.c_str());
    check(cl.kind == BodyKind::kLength || cl.kind == BodyKind::kInvalid);
    if (cl.kind == BodyKind::kLength) check(value.find_first_of("0123456789") != std::string::npos);
    check(kel::server::response_body_framing("HEAD", 200, value.c_str(), value.c_str()).kind == BodyKind::kNone);
    return 0;
}
