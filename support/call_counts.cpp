// SPDX-License-Identifier: MIT
// A counting profiling hook: how often a program entered each routine.
//
// Linked into a program in place of the profiling runtime's `_mcount`, it
// counts the calls of each routine and, when the program exits, writes one
// line of counts:
//
//   sse2str calls: __memchr_sse2=22714 ... __bzero_sse2_rep=0
//
// to standard error, or appends it to the file named by SSE2STR_CALL_COUNTS
// when that is set (so that programs whose standard error is checked, and
// many processes of one test suite, can be profiled alike).  Only routines
// linked into the program are listed.
//
// Each routine calls `_mcount` from its entry frame, the first bytes of its
// code; the hook's own return address therefore lies inside the entry frame
// of the routine that was entered, which is how the routine is told.  Calls
// from anywhere else (code compiled with -pg) are not counted.
//
// The hook is plain C++: the contract it must keep (return normally; leave
// the stack pointer, the frame pointer, the callee-saved registers and the
// caller's argument area as they were; leave the direction flag clear) is the
// ordinary calling convention of a function without arguments, and the
// scratch registers it may clobber are those a function may.  What makes it
// safe is how it is built (with the modules' flags): no `-pg` (the hook
// would enter itself), only 4-byte stack alignment assumed (the routines
// call it with no more), and nothing the compiler could turn into a call of
// a routine (`-fno-builtin`), since the hook must call nothing while it
// counts.
#include <fcntl.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "include/sse2str.h"

// A routine that is not linked in leaves its address null and is not listed.
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  extern "C" __attribute__((weak)) decltype(symbol) symbol;
#include "routines.def"
#undef SSE2STR_ROUTINE

namespace sse2str {
namespace {

// The entry frame (push, move, call) lies in the first 16 bytes of each
// routine, where the body starts on the next 16-byte boundary.
inline constexpr uintptr_t kEntryFrameSpan = 16;

inline constexpr const char* kCountsFileVariable = "SSE2STR_CALL_COUNTS";

struct Counted {
  const char* name;
  const void* entry;
};

// In the order the counts are printed, that of the list of routines.
const Counted kCounted[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  {#symbol, reinterpret_cast<const void*>(&symbol)},
#include "routines.def"
#undef SSE2STR_ROUTINE
};
inline constexpr int kRoutines = sizeof kCounted / sizeof kCounted[0];

// Each count is 64 bits wide (a long run passes four billion calls of memchr
// easily), kept as two words: the low word is incremented atomically and the
// high one when the low one wraps, which is exact and costs one locked
// increment per call, where a 64-bit atomic add needs a compare-and-swap
// loop.  The two are read together only at exit.
uint32_t low_counts[kRoutines];
uint32_t high_counts[kRoutines];

uint64_t count_of(int routine) {
  return (uint64_t{__atomic_load_n(&high_counts[routine], __ATOMIC_RELAXED)} << 32) |
         __atomic_load_n(&low_counts[routine], __ATOMIC_RELAXED);
}

// Room for the line: the prefix and, per routine, its name, '=' and twenty
// digits.
inline constexpr size_t kLineSize = 512;

// Appends the counts line to the named file, or writes it to standard error.
// One write call, so that the lines of concurrent processes do not mix.
void write_line(const char* line, size_t length) {
  const char* path = getenv(kCountsFileVariable);
  int fd = STDERR_FILENO;
  if (path != nullptr && *path != '\0') {
    fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) fd = STDERR_FILENO;
  }
  while (length > 0) {
    const ssize_t written = write(fd, line, length);
    if (written <= 0) break;
    line += written;
    length -= static_cast<size_t>(written);
  }
  if (fd != STDERR_FILENO) close(fd);
}

// A child of fork() reports its own calls only, not its parent's again.
void forget_counts() {
  for (int i = 0; i < kRoutines; ++i) low_counts[i] = high_counts[i] = 0;
}

__attribute__((constructor)) void count_per_process() {
  pthread_atfork(nullptr, nullptr, forget_counts);
}

// Runs at exit, after main returns or exit() is called.
__attribute__((destructor)) void report_counts() {
  char line[kLineSize];
  size_t length = static_cast<size_t>(snprintf(line, sizeof line, "sse2str calls:"));
  for (int i = 0; i < kRoutines; ++i) {
    if (kCounted[i].entry == nullptr) continue;
    const unsigned long long count = count_of(i);
    length += static_cast<size_t>(
        snprintf(line + length, sizeof line - length, " %s=%llu", kCounted[i].name, count));
  }
  length += static_cast<size_t>(snprintf(line + length, sizeof line - length, "\n"));
  write_line(line, length);
}

}  // namespace
}  // namespace sse2str

// Calls nothing: a call of a routine from here would enter the hook again.
extern "C" void _mcount() {
  using namespace sse2str;
  const uintptr_t from = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
  for (int i = 0; i < kRoutines; ++i) {
    if (from - reinterpret_cast<uintptr_t>(kCounted[i].entry) < kEntryFrameSpan) {
      if (__atomic_add_fetch(&low_counts[i], 1, __ATOMIC_RELAXED) == 0)
        __atomic_add_fetch(&high_counts[i], 1, __ATOMIC_RELAXED);
      return;
    }
  }
}
