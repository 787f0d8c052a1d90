#include "response_framing.h"

#include <algorithm>
#include <limits>

#include "field_text.h"

namespace kel::server {
namespace {

// Calls `each` with every member of a comma-separated list, blanks trimmed,
// empty members included (so that "5,,5" is seen for what it is).
template <class Each>
void for_each_member(std::string_view list, Each each) {
    for (;;) {
        const size_t comma = list.find(',');
        each(trim_blanks(list.substr(0, comma)));
        if (comma == std::string_view::npos) return;
        list.remove_prefix(comma + 1);
    }
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

BodyFraming response_body_framing(std::string_view method, int status, const char *transfer_encoding,
                                  const char *content_length) {
    if (equals_ignoring_case(method, "HEAD") || (status >= 100 && status < 200) || status == 204 || status == 304 ||
        (equals_ignoring_case(method, "CONNECT") && status >= 200 && status < 300))
        return {BodyKind::kNone, 0, nullptr};
    if (transfer_encoding != nullptr) {
        // A response with both could be read two ways by the hops after us.
        if (content_length != nullptr)
            return {BodyKind::kInvalid, 0, "both Transfer-Encoding and Content-Length"};
        int chunked = 0;
        std::string_view last;
        for_each_member(transfer_encoding, [&](std::string_view coding) {
            if (coding.empty()) return;
            if (equals_ignoring_case(coding, "chunked")) ++chunked;
            last = coding;
        });
        if (chunked > 1) return {BodyKind::kInvalid, 0, "chunked applied more than once"};
        // Chunked last: its end is the body's. Otherwise the close is.
        if (chunked == 1 && equals_ignoring_case(last, "chunked")) return {BodyKind::kChunked, 0, nullptr};
        if (chunked == 1) return {BodyKind::kInvalid, 0, "a coding applied after chunked"};
        return {BodyKind::kUntilClose, 0, nullptr};
    }
    if (content_length != nullptr) {
        bool valid = true, first = true;
        uint64_t length = 0;
        for_each_member(content_length, [&](std::string_view member) {
            uint64_t value = 0;
            if (member.empty() || member.size() > 18 ||
                member.find_first_not_of("0123456789") != std::string_view::npos) {
                valid = false;
                return;
            }
            for (char c : member) value = value * 10 + static_cast<uint64_t>(c - '0');
            if (!first && value != length) valid = false;
            length = value;
            first = false;
        });
        if (!valid) return {BodyKind::kInvalid, 0, "a malformed or differing Content-Length"};
        return {BodyKind::kLength, length, nullptr};
    }
    return {BodyKind::kUntilClose, 0, nullptr};
}

size_t ChunkedReader::fail(const char *why, size_t consumed) {
    state_ = State::kFault;
    fault_ = why;
    return consumed;
}

size_t ChunkedReader::feed(std::string_view bytes) {
    size_t i = 0;
    while (i < bytes.size()) {
        const char c = bytes[i];
        switch (state_) {
        case State::kDone:
        case State::kFault:
            return i;
        case State::kSize:
        case State::kExtension:
            if (++line_bytes_ > kMaxLineBytes) return fail("an over-long chunk-size line", i);
            if (c == '\r') {
                if (!any_digit_) return fail("a chunk-size line without a size", i);
                state_ = State::kSizeLf;
            } else if (c == '\n') {
                return fail("a bare LF in a chunk-size line", i);
            } else if (state_ == State::kExtension) {
                // Extensions are read past, not interpreted.
            } else if (const int digit = hex_value(c); digit >= 0) {
                if (remaining_ > (std::numeric_limits<uint64_t>::max() >> 4))
                    return fail("a chunk size that overflows", i);
                remaining_ = remaining_ * 16 + static_cast<uint64_t>(digit);
                any_digit_ = true;
            } else if ((c == ';' || c == ' ' || c == '\t') && any_digit_) {
                state_ = State::kExtension;
            } else {
                return fail("a chunk size that is not hexadecimal", i);
            }
            ++i;
            break;
        case State::kSizeLf:
            if (c != '\n') return fail("a chunk-size line not ended by CR LF", i);
            ++i;
            line_bytes_ = 0;
            state_ = remaining_ == 0 ? State::kTrailer : State::kData;
            break;
        case State::kData: {
            const size_t take = static_cast<size_t>(std::min<uint64_t>(remaining_, bytes.size() - i));
            remaining_ -= take;
            i += take;
            if (remaining_ == 0) state_ = State::kDataCr;
            break;
        }
        case State::kDataCr:
            if (c != '\r') return fail("a chunk longer than its size", i);
            ++i;
            state_ = State::kDataLf;
            break;
        case State::kDataLf:
            if (c != '\n') return fail("a chunk not ended by CR LF", i);
            ++i;
            any_digit_ = false;
            state_ = State::kSize;
            break;
        case State::kTrailer:
            if (++trailer_bytes_ > kMaxTrailerBytes) return fail("an over-long trailer section", i);
            if (c == '\n') return fail("a bare LF in the trailer section", i);
            if (c == '\r') {
                state_ = State::kTrailerLf;
            } else {
                ++line_bytes_;
            }
            ++i;
            break;
        case State::kTrailerLf:
            if (c != '\n') return fail("a trailer line not ended by CR LF", i);
            ++i;
            // An empty line ends the trailer section, and the body.
            state_ = line_bytes_ == 0 ? State::kDone : State::kTrailer;
            line_bytes_ = 0;
            if (state_ == State::kDone) return i;
            break;
        }
    }
    return i;
}

}  // namespace kel::server
