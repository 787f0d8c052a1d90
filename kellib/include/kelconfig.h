#ifndef KELCONFIG_H
#define KELCONFIG_H

#include <stdint.h>

#include "kelapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The store keeps only the path (shorter than 1024 characters); every read
   and write goes to the file. */
KEL_API int32_t kelcfg_init(const char *chemin);
/* 0 when at least one character was copied, else -1; the buffer always
   holds a NUL-terminated text once the store is initialised. */
KEL_API int32_t kelcfg_recup_E(const char *section, const char *cle, char *buffer, int32_t taille,
                               const char *defaut);
KEL_API int32_t kelcfg_recup(const char *section, const char *cle, char *buffer, int32_t taille);
/* Copies the path given to kelcfg_init ("" before it) into buffer; its
   length, or -1 (buffer "") when it does not fit in taille bytes. */
KEL_API int32_t kelcfg_recup_chemin(char *buffer, int32_t taille);
/* A null value removes the key, a null key the whole section. */
KEL_API int32_t kelcfg_place(const char *section, const char *cle, const char *valeur);

#ifdef __cplusplus
}
#endif

#endif
