/* The public header compiles as C, and a C program links the library. */
#include "valdrin_http.h"

int main(void) {
    int32_t (*start)(void) = demarre_serveur_http;
    /* Nothing is started yet, so nothing listens. */
    return (start != 0 && valdrin_http_etat() == 0) ? 0 : 1;
}
