// The request handlers of the HTTP proxy, each on the connection it serves.
// The contract's extern "C" routines of the same jobs are adapters over
// these.
#pragma once

#include <cstdint>

#include <curl/curl.h>

#include "connection.h"
#include "kelhttpe.h"

namespace kel::server {

// Forwarding: the listed host gets the image, any other the origin's reply.
int32_t forward_get(Connection &conn, kelHttpEntete *che);
// Sends the snapshot's image for a listed host; -1 when it has none.
int32_t send_ad_image(Connection &conn);
// Connects to the origin, sends the head and relays both ways until one
// side ends.
int32_t forward(Connection &conn, kelHttpEntete *che);

// An ftp:// URL fetched with libcurl and streamed back; a null handle
// makes one for this request.
int32_t fetch_ftp(Connection &conn, kelHttpEntete *che, CURL *curl);

// CONNECT: the listed host gets the "Blocked host" page, any other a
// tunnel (0) or its error page (-2 name unresolved, -3 refused, -1 other).
int32_t serve_connect(Connection &conn, kelHttpEntete *che);
// Opens the tunnel: -2 when the name does not resolve, -3 when nothing
// connects, -1 when the reply can't be sent, else 0 once the relay ended.
int32_t open_tunnel(Connection &conn, const char *host, int32_t port);

// A GET for the proxy itself: host "valdrin.status", or a target in origin
// form ("/metrics"), which only a request to the proxy's own port has.
bool is_status_request(const Connection &conn, const kelHttpEntete *che);
// Answers it: "/" the HTML page, "/metrics" the Prometheus text,
// "/status.json" JSON, anything else the 404 page.
void serve_status(Connection &conn, const kelHttpEntete *che);

// Reads the request head and serves it.
int32_t serve_request(Connection &conn, CURL *curl);

}  // namespace kel::server
