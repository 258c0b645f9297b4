// SPDX-License-Identifier: MIT
/* The routines' plain-C twins, one per routine of the list, named after the
 * standard routine with the variant `generic`: __memchr_generic, ...,
 * __bzero_generic.  Each has the type of its SSE2 routine and gives the
 * same result; they need nothing beyond an i686 (no MMX, no SSE). */
#ifndef SSE2STR_GENERIC_H
#define SSE2STR_GENERIC_H

#include "include/sse2str.h"

#define SSE2STR_GENERIC(name) __##name##_generic

#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  extern __typeof__(symbol) SSE2STR_GENERIC(name);
#include "routines.def"
#undef SSE2STR_ROUTINE

#endif /* SSE2STR_GENERIC_H */
