/* Instructions per call of each routine, counted by single-stepping.
 *
 * Each call runs with the trap flag set, so the kernel stops it after every
 * instruction; the count covers the routine, its entry frame and the
 * benchmark's _mcount (a bare return), like an instruction-counting
 * profiler would, but needs nothing but the processor (or an emulator of
 * it).  The same calls are counted for an empty function and the
 * difference, plus its return, is the routine's.
 *
 * Built by scripts/count_instructions.sh against a set of module objects;
 * prints one line per routine: the counts at sizes 0, 1, 7 and 15.  For the
 * searches the size is the range or string length with nothing found in
 * it; for wcscmp it is the length in bytes of two equal strings (size / 4
 * characters, then the terminators).
 */
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "sse2str.h"

/* Read only by fills whose remaining count reaches 128; none here does. */
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

static const unsigned kSizes[] = {0, 1, 7, 15};
enum { kSizeCount = sizeof kSizes / sizeof kSizes[0] };

static char source[64] __attribute__((aligned(64)));
static char destination[64] __attribute__((aligned(64)));
static wchar_t first_wide[32] __attribute__((aligned(64)));
static wchar_t second_wide[32] __attribute__((aligned(64)));

/* The string of `n` non-zero bytes (none equal to 'z'), terminated. */
static const char* string_of(unsigned n) {
  for (unsigned i = 0; i < sizeof source; ++i) source[i] = (char)(i < n ? 'a' + i % 20 : 0);
  return source;
}

static uint32_t word(const void* p) { return (uint32_t)(uintptr_t)p; }

static unsigned count(const char* routine, unsigned n) {
  const char* s = string_of(n);
  if (!strcmp(routine, "memchr")) return stepped_call(__memchr_sse2, word(s), 'z', n);
  if (!strcmp(routine, "strnlen")) return stepped_call(__strnlen_sse2, word(s), n + 32, 0);
  if (!strcmp(routine, "strrchr")) return stepped_call(__strrchr_sse2, word(s), 'z', 0);
  if (!strcmp(routine, "stpcpy")) return stepped_call(__stpcpy_sse2, word(destination), word(s), 0);
  if (!strcmp(routine, "wcscmp")) {
    const unsigned characters = n / sizeof(wchar_t);
    for (unsigned i = 0; i < 32; ++i) first_wide[i] = second_wide[i] = i < characters ? 'a' + i : 0;
    return stepped_call(__wcscmp_sse2, word(first_wide), word(second_wide), 0);
  }
  if (!strcmp(routine, "memset")) return stepped_call(__memset_sse2_rep, word(destination), 'x', n);
  return stepped_call(__bzero_sse2_rep, word(destination), n, 0);
}

int main(void) {
  static const char* const kRoutines[] = {"memchr", "strnlen", "strrchr", "stpcpy",
                                          "wcscmp", "memset",  "bzero"};
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = on_trap;
  action.sa_flags = SA_SIGINFO;
  sigaction(SIGTRAP, &action, NULL);

  const unsigned baseline = stepped_call(empty_function, 0, 0, 0) - 1;
  printf("%-8s", "size");
  for (unsigned k = 0; k < kSizeCount; ++k) printf(" %5u", kSizes[k]);
  printf("\n");
  for (unsigned r = 0; r < sizeof kRoutines / sizeof kRoutines[0]; ++r) {
    printf("%-8s", kRoutines[r]);
    for (unsigned k = 0; k < kSizeCount; ++k)
      printf(" %5u", count(kRoutines[r], kSizes[k]) - baseline);
    printf("\n");
  }
  return 0;
}
