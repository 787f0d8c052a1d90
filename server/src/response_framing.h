// Where a response ends (RFC 9112 §6.3), which a proxy must know before it
// can keep either connection: by its status and the request's method, by
// Content-Length, by chunked coding, or at the origin's close.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kel::server {

enum class BodyKind {
    kNone,        // HEAD, 1xx, 204, 304, a 2xx to CONNECT
    kLength,      // exactly `length` bytes
    kChunked,     // chunked coding, read by ChunkedReader
    kUntilClose,  // everything up to the origin's close
    kInvalid,     // framing fields no two readers would agree on
};

struct BodyFraming {
    BodyKind kind = BodyKind::kUntilClose;
    uint64_t length = 0;
    const char *fault = nullptr;  // why kInvalid, a static text
};

// The framing of a response of `status` to a request of `method`, from its
// Transfer-Encoding and Content-Length values (null when absent; several
// fields of one name joined with ", ", as RFC 9110 §5.3 allows).
BodyFraming response_body_framing(std::string_view method, int status, const char *transfer_encoding,
                                  const char *content_length);

// Reads chunked coding strictly, in pieces of any size: size lines with
// optional extensions, the chunks and their CR LF, the last chunk and the
// trailer section. It consumes exactly the body's bytes and no more, so
// that what follows belongs to the next message.
class ChunkedReader {
public:
    // The longest size line (size and extensions) taken; longer is a fault.
    static constexpr size_t kMaxLineBytes = 4096;
    // The longest trailer section taken.
    static constexpr size_t kMaxTrailerBytes = 16384;

    // How many of `bytes` belong to the body; fewer than given only once it
    // is done or at fault.
    size_t feed(std::string_view bytes);
    bool done() const { return state_ == State::kDone; }
    // Why the coding is malformed, a static text; null while it is not.
    const char *fault() const { return fault_; }

private:
    enum class State { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kTrailer, kTrailerLf, kDone, kFault };
    size_t fail(const char *why, size_t consumed);

    State state_ = State::kSize;
    uint64_t remaining_ = 0;  // of the current chunk
    bool any_digit_ = false;
    size_t line_bytes_ = 0;     // of the size line or the trailer line under way
    size_t trailer_bytes_ = 0;  // of the whole trailer section
    const char *fault_ = nullptr;
};

}  // namespace kel::server
