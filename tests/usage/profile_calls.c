/* Profiled with gprof: every routine that is built is called from two
   callers, FIRST_CALLS times from first_caller and SECOND_CALLS times from
   second_caller.  The profiling runtime's _mcount records each call arc from
   the return addresses the routine's entry frame hands it; gprof must then
   show each routine with exactly those counts and callers. */
#include <stdio.h>

#include "sse2str.h"

/* Operands of the calls; unused ones belong to routines not built. */
#define OPERAND static __attribute__((unused))
OPERAND const char text[] = "/usr/share/doc/sse2str/README";
OPERAND const wchar_t wide[] = L"wide characters";
OPERAND const wchar_t wider[] = L"wide characters, more";
OPERAND char copy[sizeof text];
OPERAND char buffer[300];
static volatile unsigned long sink;

/* Inlined into both callers, so that the calls are theirs. */
static inline __attribute__((always_inline)) void call_each_routine(void) {
#if SSE2STR_HAVE_MEMCHR_SSE2
  sink += (unsigned long)__memchr_sse2(text, 'R', sizeof text);
#endif
#if SSE2STR_HAVE_STRNLEN_SSE2
  sink += __strnlen_sse2(text, 20);
#endif
#if SSE2STR_HAVE_STRRCHR_SSE2
  sink += (unsigned long)__strrchr_sse2(text, '/');
#endif
#if SSE2STR_HAVE_STPCPY_SSE2
  sink += (unsigned long)__stpcpy_sse2(copy, text);
#endif
#if SSE2STR_HAVE_WCSCMP_SSE2
  sink += (unsigned long)__wcscmp_sse2(wide, wider);
#endif
#if SSE2STR_HAVE_MEMSET_SSE2_REP
  sink += (unsigned long)__memset_sse2_rep(buffer, 'x', sizeof buffer);
#endif
#if SSE2STR_HAVE_BZERO_SSE2_REP
  __bzero_sse2_rep(buffer, sizeof buffer);
#endif
}

__attribute__((noinline)) void first_caller(void) {
  for (int i = 0; i < FIRST_CALLS; ++i) call_each_routine();
}

__attribute__((noinline)) void second_caller(void) {
  for (int i = 0; i < SECOND_CALLS; ++i) call_each_routine();
}

int main(void) {
  first_caller();
  second_caller();
  return sink == 0;
}
