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

#include "kelhttpe.h"

namespace kel::server {

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
