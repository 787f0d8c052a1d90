// The proxy's own replies on a connection: its error pages.
#pragma once

#include <cstdint>

#include "connection.h"

namespace kel::server {

// Sends the error page of the code (an http_Erreurs or ssl_Erreurs value)
// when the client is still there, and notes it: verdict Error, the status
// and the bytes sent.
void send_error_page(Connection &conn, int code);

// A reply built by the message library, noted with what it sent.
void send_reply(Connection &conn, const void *body, int32_t length, const char *content_type, int32_t status);

}  // namespace kel::server
