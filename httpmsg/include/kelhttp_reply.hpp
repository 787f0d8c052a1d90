// The C++ side of the message library for the programs built with it: what
// the C operations do, with the results a caller needs to account for
// what it sent. Not part of the exported C interface.
#pragma once

#include <cstdint>

namespace kel::http {

// kelHttp_envoie_E: sends the status line, the fields Connection: close,
// Content-Type and Content-Length, the blank line and the body. The bytes
// handed to the socket, head and body; 0 when the send failed (after its
// diagnostic line); -1 when the reply could not be built (nothing sent).
int64_t send_reply(uint32_t sd, const void *body, int32_t body_len, const char *content_type, int32_t code);

}  // namespace kel::http
