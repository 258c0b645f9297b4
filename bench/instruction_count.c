// SPDX-License-Identifier: MIT
/* Instructions per call of each routine, counted by single-stepping.
 *
 *   instruction_count [--offset N] [--kinds] [SIZE...]
 *
 * Each call runs with the trap flag set, so the kernel stops it after every
 * instruction; the count covers the routine, its entry frame and whatever
 * _mcount the program was linked with (the benchmark's bare return, or the
 * platform C library's through the PLT), like an instruction-counting
 * profiler would, but needs nothing but the processor (or an emulator of
 * it).  The same calls are counted for an empty function and the
 * difference, plus its return, is the routine's.  Every routine is called
 * once before it is counted, so that a PLT slot bound lazily on the first
 * call counts as it stays.
 *
 * Built with SSE2STR_COUNT_DISPATCH, it calls the dispatch's standard names,
 * renamed dispatch_<name> by the script so that no call can reach the
 * platform C library's routines: each call then goes through the name's
 * PLT slot to the routine the dispatch chose.
 *
 * Built by scripts/count_instructions.sh against a set of module objects;
 * prints one line per routine: the counts at each SIZE (by default 0, 1, 7,
 * 15, 64, 256, 1000 and 4096).  For the searches the size is the range or
 * string length with nothing found in it; for the fills the count; for
 * wcscmp the length in bytes of two equal strings (size / 4 characters,
 * then the terminators).  Every operand starts N bytes (default 0) past a
 * 64-byte boundary; wcscmp's two strings both do.  With --kinds, wcscmp
 * alone, once for each of its seven pass kinds, which the two strings'
 * start offsets choose.
 */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sse2str.h"

/* What each count calls: the module's routine, or the dispatch's name. */
#ifdef SSE2STR_COUNT_DISPATCH
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  extern __typeof__(symbol) dispatch_##name;                   \
  static const void* const called_##name = dispatch_##name;
#else
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  static const void* const called_##name = symbol;
#endif
#include "routines.def"
#undef SSE2STR_ROUTINE

/* Read only by fills whose remaining count reaches 128: they take the block
   loop up to the largest size counted here, never the string store. */
unsigned int __x86_data_cache_size = 1u << 20;

static volatile unsigned steps;

static void on_trap(int signal, siginfo_t* info, void* context) {
  (void)signal;
  (void)info;
  (void)context;
  ++steps;
}

/* Calls fn(a, b, c) with the trap flag set from the call to the return. */
static unsigned stepped_call(const void* fn, uint32_t a, uint32_t b, uint32_t c) {
  steps = 0;
  __asm__ volatile(
      "pushl %[c]\n\t"
      "pushl %[b]\n\t"
      "pushl %[a]\n\t"
      "pushfl\n\t"
      "orl $0x100, (%%esp)\n\t"
      "popfl\n\t"
      "call *%[fn]\n\t"
      "pushfl\n\t"
      "andl $0xfffffeff, (%%esp)\n\t"
      "popfl\n\t"
      "addl $12, %%esp"
      :
      : [fn] "r"(fn), [a] "r"(a), [b] "r"(b), [c] "r"(c)
      : "eax", "ecx", "edx", "memory", "cc");
  return steps;
}

__asm__(".text\n\t.p2align 4\nempty_function:\n\tret\n");
extern void empty_function(void);

enum { kMaxSize = 8192, kLine = 64, kMaxSizes = 32 };
static const unsigned kDefaultSizes[] = {0, 1, 7, 15, 64, 256, 1000, 4096};

static char source[kMaxSize + 2 * kLine] __attribute__((aligned(64)));
static char destination[kMaxSize + 2 * kLine] __attribute__((aligned(64)));
static char first_wide[kMaxSize + 2 * kLine] __attribute__((aligned(64)));
static char second_wide[kMaxSize + 2 * kLine] __attribute__((aligned(64)));

static unsigned baseline;

/* The string of `n` non-zero bytes (none equal to 'z') at `offset`. */
static const char* string_of(unsigned n, unsigned offset) {
  char* s = source + offset;
  for (unsigned i = 0; i <= n; ++i) s[i] = (char)(i < n ? 'a' + i % 20 : 0);
  return s;
}

/* `n` bytes of characters, then the terminator, at `offset` of `buffer`. */
static const wchar_t* wide_of(char* buffer, unsigned n, unsigned offset) {
  const unsigned characters = n / sizeof(wchar_t);
  for (unsigned i = 0; i <= characters; ++i) {
    const wchar_t c = i < characters ? (wchar_t)('a' + i % 20) : 0;
    memcpy(buffer + offset + i * sizeof c, &c, sizeof c);
  }
  return (const wchar_t*)(void*)(buffer + offset);
}

static uint32_t word(const void* p) { return (uint32_t)(uintptr_t)p; }

static unsigned wcscmp_count(unsigned n, unsigned first_offset, unsigned second_offset) {
  const wchar_t* first = wide_of(first_wide, n, first_offset);
  const wchar_t* second = wide_of(second_wide, n, second_offset);
  return stepped_call(called_wcscmp, word(first), word(second), 0) - baseline;
}

/* Each routine's count on `n` bytes whose first lies `offset` bytes past a
   64-byte boundary. */
static unsigned count_memchr(unsigned n, unsigned offset) {
  return stepped_call(called_memchr, word(string_of(n, offset)), 'z', n) - baseline;
}

static unsigned count_strnlen(unsigned n, unsigned offset) {
  return stepped_call(called_strnlen, word(string_of(n, offset)), n + 32, 0) - baseline;
}

static unsigned count_strrchr(unsigned n, unsigned offset) {
  return stepped_call(called_strrchr, word(string_of(n, offset)), 'z', 0) - baseline;
}

static unsigned count_stpcpy(unsigned n, unsigned offset) {
  const char* s = string_of(n, offset);
  return stepped_call(called_stpcpy, word(destination + offset), word(s), 0) - baseline;
}

static unsigned count_wcscmp(unsigned n, unsigned offset) {
  return wcscmp_count(n, offset, offset);
}

static unsigned count_memset(unsigned n, unsigned offset) {
  return stepped_call(called_memset, word(destination + offset), 'x', n) - baseline;
}

static unsigned count_bzero(unsigned n, unsigned offset) {
  return stepped_call(called_bzero, word(destination + offset), n, 0) - baseline;
}

/* The routines in the order of the list of routines. */
static const struct {
  const char* name;
  unsigned (*count)(unsigned n, unsigned offset);
} kRoutines[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) {#name, count_##name},
#include "routines.def"
#undef SSE2STR_ROUTINE
};

/* wcscmp's pass kinds and start offsets that choose them: the class of each
   string is taken at its fifth character, 16 bytes on. */
static const struct {
  const char* name;
  unsigned first_offset, second_offset;
} kKinds[] = {
    {"both-aligned", 0, 0}, {"first-aligned", 0, 4}, {"second-aligned", 4, 0}, {"distance-0", 4, 4},
    {"distance-1", 4, 20},  {"distance-2", 4, 36},   {"distance-3", 52, 36},
};

static void header(const char* title, const unsigned* sizes, unsigned n) {
  printf("%-16s", title);
  for (unsigned k = 0; k < n; ++k) printf(" %6u", sizes[k]);
  printf("\n");
}

int main(int argc, char** argv) {
  unsigned offset = 0, kinds = 0, sizes[kMaxSizes], n = 0;
  for (int i = 1; i < argc; ++i) {
    if (!strcmp(argv[i], "--offset") && i + 1 < argc)
      offset = (unsigned)strtoul(argv[++i], NULL, 0) % kLine;
    else if (!strcmp(argv[i], "--kinds"))
      kinds = 1;
    else if (n < kMaxSizes && strtoul(argv[i], NULL, 0) <= kMaxSize)
      sizes[n++] = (unsigned)strtoul(argv[i], NULL, 0);
    else {
      fprintf(stderr, "usage: %s [--offset N] [--kinds] [SIZE...] (sizes up to %u)\n", argv[0],
              kMaxSize);
      return 2;
    }
  }
  if (n == 0) {
    n = sizeof kDefaultSizes / sizeof kDefaultSizes[0];
    memcpy(sizes, kDefaultSizes, sizeof kDefaultSizes);
  }

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_trap;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTRAP, &action, NULL);
  baseline = stepped_call(empty_function, 0, 0, 0) - 1;
  /* A first call binds the lazily bound PLT slots it goes through. */
  for (unsigned r = 0; r < sizeof kRoutines / sizeof kRoutines[0]; ++r)
    kRoutines[r].count(0, offset);

  if (kinds) {
    header("wcscmp kind", sizes, n);
    for (unsigned r = 0; r < sizeof kKinds / sizeof kKinds[0]; ++r) {
      printf("%-16s", kKinds[r].name);
      for (unsigned k = 0; k < n; ++k)
        printf(" %6u", wcscmp_count(sizes[k], kKinds[r].first_offset, kKinds[r].second_offset));
      printf("\n");
    }
    return 0;
  }
  char title[32];
  snprintf(title, sizeof title, "size (offset %u)", offset);
  header(title, sizes, n);
  for (unsigned r = 0; r < sizeof kRoutines / sizeof kRoutines[0]; ++r) {
    printf("%-16s", kRoutines[r].name);
    for (unsigned k = 0; k < n; ++k) printf(" %6u", kRoutines[r].count(sizes[k], offset));
    printf("\n");
  }
  return 0;
}
