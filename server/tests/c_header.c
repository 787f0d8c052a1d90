/* The public header compiles as C, and a C program links the library. */
#include "valdrin_http.h"

int main(void) {
    int32_t (*start)(void) = demarre_serveur_http;
    int32_t (*folders)(const char *, const char *) = valdrin_http_fixe_dossiers;
    /* Nothing is started yet, so nothing listens and nothing reloads. */
    return (start != 0 && folders != 0 && valdrin_http_etat() == 0 && valdrin_http_recharge() == -2)
               ? 0
               : 1;
}
