/* Compiled as C: proves the public headers are plain C and link by name. */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kelhttp.h"
#include "kelhttpe.h"

int main(void) {
    kelHttpEntete *che = kelHttpE_cree_str("GET http://h:8080/x HTTP/1.1\r\nHost: h\r\n\r\n",
                                           KEL_HE_REQUETE);
    if (che == NULL || che->port != 8080 || strcmp(che->chemin, "/x") != 0) return 1;
    if (sizeof(kelHttpE_type) != 4 || offsetof(kelHttpEntete, param_val) != 100 * sizeof(char *))
        return 1;
    char *text = kelHttpE_en_str(che, 1);
    int ok = text != NULL && strcmp(text, "GET http://h:8080/x HTTP/1.1\r\nHost: h\r\n\r\n") == 0;
    free(text);
    kelHttpE_detruit(&che);
    if (!ok || che != NULL) {
        fprintf(stderr, "round trip through the C interface failed\n");
        return 1;
    }
    return strcmp(kelHttpE_code_en_str(404), "Not Found") == 0 ? 0 : 1;
}
