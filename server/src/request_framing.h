// Checks of a request head before it is forwarded. The proxy re-writes the
// head from its parsed form and then relays the body blindly, so a head that
// an origin could read two ways (where the body ends, where a field ends,
// which line is which) is refused instead of forwarded.
//
// Lines must end in CR LF. The header parser splits lines on any run of CR
// and LF, so a bare CR or bare LF would make the proxy see a line boundary
// where an origin may not; every bare one is refused, and so is anything
// after the first empty line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "kelhttpe.h"

namespace kel::server {

// A request head read once, strictly: what framing checks, the access log
// records and dispatch acts on. The views point into the text it was read
// from.
struct RequestHead {
    struct Field {
        std::string_view name;
        std::string_view value;  // everything after the colon
    };
    std::string_view request_line;
    std::string_view method;
    std::string_view target;
    std::string_view version;
    std::vector<Field> fields;
    // The value of the first field of that name, without its blanks;
    // empty when there is none.
    std::string_view field(std::string_view name) const;
};

// Reads the head (the received text, up to and including its blank line)
// into *out. Null when it may be forwarded; otherwise a short static reason
// for the diagnostic line, with *out holding what was read before the
// fault (the request line at least, when it has one). Thread-safe.
const char *parse_request_head(std::string_view text, RequestHead *out);

// The header record of a head that parsed: the request line's parts, the
// URI decomposed, and the fields as the record keeps them (the value from
// its first character that is neither blank nor colon). Null when memory
// ran out or the URI does not decompose, after a diagnostic line.
kelHttpEntete *request_record(const RequestHead &head);

// Null when the head (the received text, up to and including its blank
// line) may be forwarded; otherwise a short static reason for the
// diagnostic line. A null head is refused. Thread-safe: no state is kept.
const char *request_framing_fault(const char *head);

// The text with every byte from 0x80 to 0xFF written as %XX in upper-case
// hex, which is how browsers send such a URL; every other byte as it is.
std::string percent_encode_non_ascii(std::string_view text);

// Encodes the path and query of a parsed request that way: the part of the
// target that reaches the origin and libcurl, where only visible ASCII is
// valid. The host is left as it came: it is only ever resolved. False when
// memory ran out (the record is then unchanged).
bool encode_target_non_ascii(kelHttpEntete *che);

}  // namespace kel::server
