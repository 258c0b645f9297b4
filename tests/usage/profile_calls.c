// SPDX-License-Identifier: MIT
/* Profiled with gprof: every routine is called kShortCalls times from
   short_calls, on operands its first stage finishes, and then from
   long_calls, on operands of kLong bytes that run through its loops, for
   kSampledCpuNanoseconds of CPU time of its own.  The profiling timer
   samples 100 times a second, so each routine gets some 40 samples however
   fast the machine fills or scans: a fixed number of long calls left the
   fills, which fast string stores finish in a fraction of a microsecond,
   with no sample on some runs.  The program prints each routine's calls
   from each caller; with the profiling entry frame, the profiling
   runtime's _mcount records each call arc from the return addresses the
   frame hands it, and gprof must then show each routine with exactly those
   counts and callers, and, in either build, charge every sample taken
   inside a routine to the routine's own name. */
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wchar.h>

#include "sse2str.h"

enum { kShort = 7, kLong = 48 * 1024 };
enum { kShortCalls = 100000 };
static const long long kSampledCpuNanoseconds = 400 * 1000 * 1000;
/* Long calls between two readings of the clock, which are long_calls' own
   time, not the routine's. */
enum { kCallsPerClockReading = 64 };

enum Routine {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) k_##name,
#include "routines.def"
#undef SSE2STR_ROUTINE
  kRoutines
};
static const char* const kSymbols[kRoutines] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) #symbol,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

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

/* One call of `routine` on the operands of `n` bytes; inlined into both
   callers, so that the calls are theirs. */
static inline __attribute__((always_inline)) void call_routine(enum Routine routine, size_t n) {
  switch (routine) {
    case k_memchr:
      sink += (unsigned long)__memchr_sse2(text, 'z', n);
      break;
    case k_strnlen:
      sink += __strnlen_sse2(text, n + 1);
      break;
    case k_strrchr:
      sink += (unsigned long)__strrchr_sse2(text, 'z');
      break;
    case k_stpcpy:
      sink += (unsigned long)__stpcpy_sse2(copy, text);
      break;
    case k_wcscmp:
      sink += (unsigned long)__wcscmp_sse2(wide, wider);
      break;
    case k_memset:
      sink += (unsigned long)__memset_sse2_rep(copy, 'x', n);
      break;
    case k_bzero:
      __bzero_sse2_rep(copy, n);
      break;
    case kRoutines:
      break;
  }
}

static long long cpu_nanoseconds(void) {
  struct timespec now;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1000000000LL + now.tv_nsec;
}

__attribute__((noinline)) void short_calls(void) {
  make_operands(kShort);
  for (int i = 0; i < kShortCalls; ++i)
    for (int routine = 0; routine < kRoutines; ++routine) call_routine(routine, kShort);
}

/* Calls each routine until it has run for the sampled time; `calls`
   receives the count of each. */
__attribute__((noinline)) void long_calls(unsigned long calls[kRoutines]) {
  make_operands(kLong);
  for (int routine = 0; routine < kRoutines; ++routine) {
    const long long end = cpu_nanoseconds() + kSampledCpuNanoseconds;
    calls[routine] = 0;
    do {
      for (int i = 0; i < kCallsPerClockReading; ++i) call_routine(routine, kLong);
      calls[routine] += kCallsPerClockReading;
    } while (cpu_nanoseconds() < end);
  }
}

int main(void) {
  unsigned long calls[kRoutines];
  short_calls();
  long_calls(calls);
  for (int routine = 0; routine < kRoutines; ++routine)
    printf("%s short_calls=%d long_calls=%lu\n", kSymbols[routine], kShortCalls, calls[routine]);
  return sink == 0;
}
