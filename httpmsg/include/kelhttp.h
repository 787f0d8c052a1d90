#ifndef KELHTTP_H
#define KELHTTP_H

#include <stdint.h>

#include "kelhttpe.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Sends a complete response on sd: status line "HTTP/1.1 <code> <phrase>",
   the fields Connection: close, Content-Type and Content-Length, the blank
   line and the ptr_len body bytes. 0 once handed to the socket (a failed
   send has its own diagnostic line); -1 for a null or negative argument or
   when the header cannot be built. The socket stays open. */
KELHTTP_API int32_t kelHttp_envoie_E(uint32_t sd, const void *ptr, int32_t ptr_len,
                                     const char *cs_cnt_type, int32_t i_code);
KELHTTP_API int32_t kelHttp_envoie_str_E(uint32_t sd, const char *str, const char *cs_cnt_type,
                                         int32_t i_code);
/* Status 200. */
KELHTTP_API int32_t kelHttp_envoie_str(uint32_t sd, const char *str, const char *cs_cnt_type);

/* Fetches url with one GET over a new connection to the URL's host and port.
   On 0, *content holds the body (malloc'ed, NUL-terminated, the caller frees
   it), *longueur its length in bytes, and *content_type a malloc'ed copy of
   the response's Content-Type, or null when it has none; content_type and
   longueur may be null. On failure the outputs are left untouched:
   -1 request not built, host unresolved, connection or send failed, or no
   response header; -2 a status other than 200 (both headers are printed on
   standard output); -3 the body could not be received. The socket opened
   here is closed on every return path. */
KELHTTP_API int32_t kelHttp_recup_str(char **content, char **content_type, const char *url,
                                      int32_t *longueur);

#ifdef __cplusplus
}
#endif

#endif
