// SPDX-License-Identifier: MIT
/* Profiled with gprof: every routine is called SHORT_CALLS times from
   short_calls, on operands its first stage finishes, and LONG_CALLS times
   from long_calls, on operands of kLong bytes that run through its loops.
   The long calls take long enough for the profiling timer to sample each
   routine many times.  With the profiling entry frame, the profiling
   runtime's _mcount records each call arc from the return addresses the
   frame hands it; gprof must then show each routine with exactly those
   counts and callers, and, in either build, charge every sample taken
   inside a routine to the routine's own name. */
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "sse2str.h"

enum { kShort = 7, kLong = 48 * 1024 };

static char text[kLong + 1];
static char copy[kLong + 1];
static wchar_t wide[kLong / sizeof(wchar_t) + 1];
static wchar_t wider[kLong / sizeof(wchar_t) + 1];
static volatile unsigned long sink;

/* Text of `n` bytes that holds no 'z' and ends with its terminator; the
   wide strings are equal up to `n` bytes of characters. */
static void make_operands(size_t n) {
  const size_t characters = n / sizeof(wchar_t);
  for (size_t i = 0; i < n; ++i) text[i] = (char)('a' + i % 23);
  text[n] = '\0';
  for (size_t i = 0; i < characters; ++i) wide[i] = wider[i] = (wchar_t)(L'a' + i % 23);
  wide[characters] = wider[characters] = L'\0';
}

/* One call of each routine on the operands of `n` bytes; inlined into both
   callers, so that the calls are theirs. */
static inline __attribute__((always_inline)) void call_each_routine(size_t n) {
  sink += (unsigned long)__memchr_sse2(text, 'z', n);
  sink += __strnlen_sse2(text, n + 1);
  sink += (unsigned long)__strrchr_sse2(text, 'z');
  sink += (unsigned long)__stpcpy_sse2(copy, text);
  sink += (unsigned long)__wcscmp_sse2(wide, wider);
  sink += (unsigned long)__memset_sse2_rep(copy, 'x', n);
  __bzero_sse2_rep(copy, n);
}

__attribute__((noinline)) void short_calls(void) {
  make_operands(kShort);
  for (int i = 0; i < SHORT_CALLS; ++i) call_each_routine(kShort);
}

__attribute__((noinline)) void long_calls(void) {
  make_operands(kLong);
  for (int i = 0; i < LONG_CALLS; ++i) call_each_routine(kLong);
}

int main(void) {
  short_calls();
  long_calls();
  return sink == 0;
}
