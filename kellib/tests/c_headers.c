/* Compiled as C: proves the public headers are plain C and link by name. */
#include <stdio.h>
#include <string.h>

#include "kelchaine.h"
#include "kelconfig.h"
#include "kellog.h"
#include "kelnet.h"
#include "keltampon.h"

int main(void) {
    char buf[16];
    kelnet_params params;
    if (sizeof(params.sock_dist) != 16) {
        fprintf(stderr, "socket address is %zu bytes\n", sizeof(params.sock_dist));
        return 1;
    }
    /* 10.1.2.3 in network order: lowest-addressed byte first. */
    uint32_t adresse;
    const unsigned char octets[4] = {10, 1, 2, 3};
    memcpy(&adresse, octets, 4);
    if (kelnet_aff_adresse(adresse, buf) != 8 || strcmp(buf, "10.1.2.3") != 0) {
        fprintf(stderr, "kelnet_aff_adresse gave '%s'\n", buf);
        return 1;
    }
    char *texte = kelstr_cree("ab");
    if (kelstr_concat(&texte, "cd") == NULL || strcmp(texte, "abcd") != 0) return 1;
    kelstr_detruit(&texte);
    return texte == NULL ? 0 : 1;
}
