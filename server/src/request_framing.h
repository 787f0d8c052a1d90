// Checks of a request head before it is forwarded: a head that an origin
// could read two ways is refused instead.
#pragma once

namespace kel::server {

// Null when the head (the received text, up to and including its blank
// line) may be forwarded; otherwise a short reason for the diagnostic line.
const char *request_framing_fault(const char *head);

}  // namespace kel::server
