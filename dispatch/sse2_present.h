// SPDX-License-Identifier: MIT
/* Whether the processor runs SSE2 code: CPUID leaf 1 reports it in EDX
 * bit 26.  A processor too old for CPUID at all (the compiler's helper
 * tests the identification flag first) has no SSE2 either.
 *
 * Called from indirect-function resolvers, which run while the program is
 * being relocated, before the C library is set up: it uses nothing but the
 * instruction itself. */
#ifndef SSE2STR_SSE2_PRESENT_H
#define SSE2STR_SSE2_PRESENT_H

#include <cpuid.h>

static inline int sse2_present(void) {
  unsigned int eax, ebx, ecx, edx;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (edx & bit_SSE2) != 0;
}

#endif /* SSE2STR_SSE2_PRESENT_H */
