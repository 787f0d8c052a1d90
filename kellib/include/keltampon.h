#ifndef KELTAMPON_H
#define KELTAMPON_H

#include <stdint.h>

#include "kelapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A byte buffer that carries its length; no terminating NUL. */
typedef struct keltmp_tampon {
    uint32_t longueur;
    unsigned char *donnees;
} keltmp_tampon;

/* Records made here own their data block; keltmp_detruit releases both. */
KEL_API keltmp_tampon *keltmp_cree(uint32_t taille);
KEL_API void keltmp_detruit(keltmp_tampon **variable);
KEL_API keltmp_tampon *keltmp_duplique(const keltmp_tampon *tampon);

/* 256 for a null argument; otherwise the first byte difference or 0. */
KEL_API int32_t keltmp_compare(const keltmp_tampon *a, const keltmp_tampon *b, uint32_t n);
KEL_API void *keltmp_cherche_e(const void *donnees, uint32_t longueur, const void *motif,
                               uint32_t motif_lng);
KEL_API void *keltmp_cherche(const keltmp_tampon *tampon, const keltmp_tampon *motif);
KEL_API int32_t keltmp_concat(keltmp_tampon *a, const keltmp_tampon *b);

#ifdef __cplusplus
}
#endif

#endif
