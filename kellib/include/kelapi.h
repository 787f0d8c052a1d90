#ifndef KELAPI_H
#define KELAPI_H

/* Symbols of the support library's C interface; everything else stays hidden. */
#if defined(__GNUC__)
#define KEL_API __attribute__((visibility("default")))
#else
#define KEL_API
#endif

#endif
