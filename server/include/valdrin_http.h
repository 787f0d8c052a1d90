#ifndef VALDRIN_HTTP_H
#define VALDRIN_HTTP_H

#include <stdint.h>

#if defined(__GNUC__)
#define VALDRIN_API __attribute__((visibility("default")))
#else
#define VALDRIN_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Starts the proxy server. The host initialises the configuration store
   (kelcfg_init) and the log (kellog_init) first, and calls this once.
   Reads section "HTTP" of the configuration, makes the host program's
   folder the current directory, builds the allow-list and the ad-host
   table, loads "valdrin.sys" and starts the server thread.
   1: the server thread has been started; 0: the HTTP proxy is disabled
   ("HTTPEnabled" not true), nothing was done; -1: start-up failed, a
   diagnostic line has been written and no thread was started. */
VALDRIN_API int32_t demarre_serveur_http(void);

/* State of the listener, for a host that must not report success while
   nothing listens. 0: not started yet, or the listening socket is not
   listening yet; 1: the listening socket listens; negative: the server
   thread has ended with this listener result (-2: the listening socket
   could not be created or bound, for instance the port is taken; -3: a
   connection record could not be allocated). Thread-safe; cheap enough
   to poll. */
VALDRIN_API int32_t valdrin_http_etat(void);

#ifdef __cplusplus
}
#endif

#endif
