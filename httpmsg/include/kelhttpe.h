#ifndef KELHTTPE_H
#define KELHTTPE_H

#include <stdint.h>

/* Symbols of the HTTP message library's C interface. The library is a static
   archive linked whole into the proxy server library, which re-exports them. */
#if defined(__GNUC__)
#define KELHTTP_API __attribute__((visibility("default")))
#else
#define KELHTTP_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* What a header record holds. The two bounds only widen the enumeration to
   every signed 32-bit value, so that a record or argument carrying any other
   value is still well defined and is refused as "Type inconnu". */
typedef enum kelHttpE_type {
    KEL_HE_REQUETE = 0,
    KEL_HE_REPONSE = 1,
    KEL_HE_TYPE_MIN_ = -2147483647 - 1,
    KEL_HE_TYPE_MAX_ = 2147483647
} kelHttpE_type;

#define KEL_HE_MAX_PARAMS 100

/* One HTTP/1.x header in memory. Every string is a NUL-terminated heap copy
   owned by the record (malloc), null when absent, and released by
   kelHttpE_detruit(). Entries 0 to param_nb-1 of the field list are in use;
   names compare case-sensitively and are unique. A record belongs to one
   thread at a time. */
typedef struct kelHttpEntete {
    char *param[KEL_HE_MAX_PARAMS];
    char *param_val[KEL_HE_MAX_PARAMS];
    int32_t param_nb;
    kelHttpE_type type;
    char *methode;   /* request method as received ("GET", "CONNECT", ...) */
    char *protocole; /* scheme of the request URI as written, or "http" */
    char *hote;      /* host of the request URI without port; "" when none */
    char *chemin;    /* path with query, starting with "/"; may be "" */
    int32_t port;    /* 1 to 65535 after a successful URI decomposition */
    char *message;   /* reason phrase of a parsed or built response */
    int32_t code;    /* status code of a response */
    char *version;   /* "HTTP/1.1", "HTTP/1.0", ... */
} kelHttpEntete;

/* Every failure writes one diagnostic line on standard error. Null
   arguments are refused that way and never dereferenced. */

/* Creation and destruction. Creators return null on any failure, never a
   half-filled record. */
KELHTTP_API kelHttpEntete *kelHttpE_cree_vide(void);
KELHTTP_API kelHttpEntete *kelHttpE_cree_str(const char *cs_str, kelHttpE_type type);
/* Reads one header (up to the first blank line) from the socket; any body
   stays in the socket. */
KELHTTP_API kelHttpEntete *kelHttpE_cree_net(uint32_t sd, kelHttpE_type type);
/* Releases everything and sets *che to null. */
KELHTTP_API void kelHttpE_detruit(kelHttpEntete **che);

/* Field list. Adding an existing name replaces its value in place; removing
   moves the last entry into the freed slot. */
KELHTTP_API void kelHttpE_vire_params(kelHttpEntete *che);
KELHTTP_API int32_t kelHttpE_ajoute_param(kelHttpEntete *che, const char *prm, const char *prm_val);
KELHTTP_API int32_t kelHttpE_enleve_param(kelHttpEntete *che, const char *prm);
/* The value stays owned by the record; null when absent. */
KELHTTP_API const char *kelHttpE_recup_param(const kelHttpEntete *che, const char *etiquette);

/* Parsing. Results: 0, or negative as documented per operation. */
KELHTTP_API int32_t kelHttpE_decortique_uri(kelHttpEntete *che, const char *uri);
KELHTTP_API int32_t kelHttpE_remplit_str(kelHttpEntete *che, const char *str, kelHttpE_type type);
KELHTTP_API int32_t kelHttpE_remplit_str_requete(kelHttpEntete *che, const char *str);
KELHTTP_API int32_t kelHttpE_remplit_str_reponse(kelHttpEntete *che, const char *str);

/* Builders. */
KELHTTP_API int32_t kelHttpE_remplit_requete(kelHttpEntete *che, const char *methode,
                                             const char *uri, const char *version);
KELHTTP_API int32_t kelHttpE_remplit_get(kelHttpEntete *che, const char *uri);
KELHTTP_API int32_t kelHttpE_remplit_reponse(kelHttpEntete *che, int32_t i_code,
                                             const char *version);

/* Serialisation. Each returned text is malloc'ed and owned by the caller.
   A non-zero proxy flag writes the absolute request URI, 0 the origin form
   (an empty path is written as "/"). */
KELHTTP_API char *kelHttpE_params_en_str(const kelHttpEntete *che);
KELHTTP_API char *kelHttpE_en_str_requete(const kelHttpEntete *che, int32_t i_requete_proxy);
KELHTTP_API char *kelHttpE_en_str_reponse(const kelHttpEntete *che);
KELHTTP_API char *kelHttpE_en_str(const kelHttpEntete *che, int32_t i_proxy);
KELHTTP_API char *kelHttpE_en_str_uri(const kelHttpEntete *che, int32_t i_requete_proxy);
/* 0 once sent whole; -1 when the text could not be built (nothing sent);
   otherwise the failure of the send. */
KELHTTP_API int32_t kelHttpE_en_net(uint32_t sd, const kelHttpEntete *che, int32_t i_proxy);

/* Reason phrase of a status code: a constant string, never released;
   "Unknown" for codes without a phrase of their own. */
KELHTTP_API const char *kelHttpE_code_en_str(int32_t code);

#ifdef __cplusplus
}
#endif

#endif
