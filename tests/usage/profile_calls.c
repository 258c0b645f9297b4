/* Profiled with gprof: every routine is called from two
   callers, FIRST_CALLS times from first_caller and SECOND_CALLS times from
   second_caller.  The profiling runtime's _mcount records each call arc from
   the return addresses the routine's entry frame hands it; gprof must then
   show each routine with exactly those counts and callers. */
#include <stdio.h>

#include "sse2str.h"

/* Operands of the calls. */
static const char text[] = "/usr/share/doc/sse2str/README";
static const wchar_t wide[] = L"wide characters";
static const wchar_t wider[] = L"wide characters, more";
static char copy[sizeof text];
static char buffer[300];
static volatile unsigned long sink;

/* Inlined into both callers, so that the calls are theirs. */
static inline __attribute__((always_inline)) void call_each_routine(void) {
  sink += (unsigned long)__memchr_sse2(text, 'R', sizeof text);
  sink += __strnlen_sse2(text, 20);
  sink += (unsigned long)__strrchr_sse2(text, '/');
  sink += (unsigned long)__stpcpy_sse2(copy, text);
  sink += (unsigned long)__wcscmp_sse2(wide, wider);
  sink += (unsigned long)__memset_sse2_rep(buffer, 'x', sizeof buffer);
  __bzero_sse2_rep(buffer, sizeof buffer);
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
