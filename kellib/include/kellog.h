#ifndef KELLOG_H
#define KELLOG_H

#include <stdint.h>

#include "kelapi.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__GNUC__)
#define KELLOG_FORMAT(f, a) __attribute__((format(printf, f, a)))
#else
#define KELLOG_FORMAT(f, a)
#endif

/* Paths of at most 1023 characters. 0, or -1 when a file can't be opened. */
KEL_API int32_t kellog_init(const char *fichier_log, const char *fichier_err, int32_t verbeux);
/* Writes the 20-character timestamp and its NUL; buffer of at least 21. */
KEL_API int32_t kellog_timestamp(char *buffer);
KEL_API int32_t kellog_log(const char *format, ...) KELLOG_FORMAT(1, 2);
KEL_API int32_t kellog_msg(const char *format, ...) KELLOG_FORMAT(1, 2);
KEL_API int32_t kellog_err(const char *fichier, int32_t ligne, const char *format, ...)
    KELLOG_FORMAT(3, 4);

#ifdef __cplusplus
}
#endif

#endif
