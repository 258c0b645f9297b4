// SPDX-License-Identifier: MIT
/* Stops a program whose standard names are bound straight to the SSE2
 * routines (the interposition packages link this object) when it runs on a
 * processor without SSE2.  Without it the first routed call would die of an
 * illegal instruction, in a static program as early as the C library's
 * start-up code, which calls some of these names itself.
 *
 * The check is the resolver of an indirect function, so the program runs
 * it with its own relocations: in a static program before the C library's
 * start-up code runs, in a dynamic one while the dynamic linker relocates
 * the program, before any initialiser of any library runs.  The function
 * is named in the initialisation array, which every link keeps (unused
 * sections may be dropped, and the array is allowed in shared objects,
 * which may be given the interposition line too); when it is called there
 * it does nothing.  Neither the C library nor even its system-call path is
 * set up when the resolver runs, so the refusal is written and the process
 * ended by system calls made directly. */
#include <asm/unistd.h>

#include "dispatch/sse2_present.h"

static const char kRefusal[] =
    "sse2str: this processor has no SSE2, which the routines this program was linked with"
    " (sse2str-interpose) need; link it with sse2str-dispatch (CMake: sse2str::dispatch)"
    " instead\n";

enum { kStandardError = 2, kRefusedStatus = 1 };

static void refuse(void) {
  long written;
  __asm__ volatile("int $0x80"
                   : "=a"(written)
                   : "0"(__NR_write), "b"(kStandardError), "c"(kRefusal), "d"(sizeof kRefusal - 1)
                   : "memory");
  (void)written;
  __asm__ volatile("int $0x80" : : "a"(__NR_exit_group), "b"(kRefusedStatus));
  __builtin_unreachable();
}

static void proceed(void) {}

static void (*check_sse2(void))(void) {
  if (!sse2_present()) refuse();
  return proceed;
}

static void sse2_required(void) __attribute__((ifunc("check_sse2")));

__attribute__((used, section(".init_array"))) static void (*run_check)(void) = sse2_required;
