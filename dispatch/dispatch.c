// SPDX-License-Identifier: MIT
/* The seven standard names, each bound once per process to the SSE2 routine
 * when the processor has SSE2 and to its plain-C twin (generic.c) when it
 * has not.
 *
 * Each name is a GNU indirect function: the linker leaves its address to a
 * resolver that runs with the program's own relocations, in a dynamic
 * program when the dynamic linker relocates it, in a static one at the
 * start of the C library's start-up code, before that code calls any of
 * these names.  A call then costs one indirect jump through the slot the
 * resolver filled; nothing is tested again.  The resolvers run before the C
 * library is usable, so they call nothing but the processor's CPUID. */
#include "dispatch/generic.h"
#include "dispatch/sse2_present.h"

#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  static __typeof__(symbol) *choose_##name(void) {             \
    return sse2_present() ? symbol : SSE2STR_GENERIC(name);    \
  }                                                            \
  __typeof__(symbol) name __attribute__((ifunc("choose_" #name)));
#include "routines.def"
#undef SSE2STR_ROUTINE
