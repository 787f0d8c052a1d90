#ifndef KELCHAINE_H
#define KELCHAINE_H

#include <stdint.h>

#include "kelapi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Owned texts are heap blocks of the C runtime; release them with
   kelstr_detruit() or free(). Null arguments are refused with a diagnostic
   line on standard error and the documented result. */

KEL_API char *kelstr_cree(const char *texte);
KEL_API char *kelstr_cree_n(const char *texte, uint32_t n);
KEL_API void kelstr_detruit(char **variable);

KEL_API uint32_t kelstr_longeur(const char *texte);
KEL_API int32_t kelstr_contient(const char *texte, char caractere);
KEL_API int32_t kelstr_compare(const char *a, const char *b, uint32_t n);
KEL_API char *kelstr_cherche(const char *texte, const char *motif);

KEL_API char *kelstr_concat(char **variable, const char *suffixe);
KEL_API int32_t kelstr_print(char **variable, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

KEL_API char *kelstr_saute(const char *texte, const char *separateurs);
KEL_API char *kelstr_isole(char *texte, const char *separateurs);
KEL_API char *kelstr_extrait(const char **curseur, const char *separateurs);

KEL_API int32_t kelstr_enint(const char *texte);

#ifdef __cplusplus
}
#endif

#endif
