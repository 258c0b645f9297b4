// SPDX-License-Identifier: MIT
// Checks of the entry frame and the calling convention that every routine
// joins: each routine's test file lists a few calls that take its different
// paths and instantiates the suite with SSE2STR_FRAME_TESTS.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace sse2str::test {

// One call of a routine: its argument words and the result it must give
// (none for a routine without a result, whose %eax is left undefined).  The
// buffers the arguments point to must outlive the test.
struct FrameCase {
  std::string label;
  std::vector<uint32_t> args;
  uint32_t expected;
  bool has_result = true;
  // The most registers the call's path may save on the stack after the
  // entry frame (checked while single-stepping): none, unless the case says.
  unsigned max_saved_words = 0;
};

template <class T>
uint32_t word(T value) {
  if constexpr (std::is_pointer_v<T>)
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(value));
  else
    return static_cast<uint32_t>(value);
}

// [start, end) of the routine whose exported symbol is at `entry`.
struct Extent {
  uintptr_t start = 0;
  uintptr_t end = 0;
};
Extent routine_extent(const void* entry);

void check_abi(const void* entry, const std::vector<FrameCase>& cases);
void check_hook(const void* entry, const std::vector<FrameCase>& cases, bool profiled);
// Single-steps each case and unwinds one frame at every instruction it
// executes.  `reachable` names the file of the offsets of every instruction
// reachable from the entry (written by the static call-frame check): the
// test reports how many of them its cases step, and fails on a stepped
// instruction that is not among them.
void check_unwinding(const void* entry, const std::vector<FrameCase>& cases, bool profiled,
                     const char* reachable);

}  // namespace sse2str::test

// Instantiates the frame checks for `entry`; `cases` is a function returning
// std::vector<FrameCase>.  SSE2STR_PROFILE tells which configuration of the
// module the test links; SSE2STR_REACHABLE_FILE, the offsets of its
// reachable instructions.  SSE2STR_GENERIC set means the test links the
// plain-C twins under the routines' names: they keep the calling convention
// too, but have no entry frame, and their call-frame records and
// instructions are the compiler's, not the routines' contract, so only the
// calling convention is checked.
#define SSE2STR_ABI_TEST(Suite, entry, cases)                                   \
  TEST(Suite, KeepsTheCallingConventionAtEveryStackAlignment) {                 \
    ::sse2str::test::check_abi(reinterpret_cast<const void*>(&entry), cases()); \
  }
#if SSE2STR_GENERIC
#define SSE2STR_FRAME_TESTS(Suite, entry, cases) SSE2STR_ABI_TEST(Suite, entry, cases)
#else
#define SSE2STR_FRAME_TESTS(Suite, entry, cases)                                     \
  SSE2STR_ABI_TEST(Suite, entry, cases)                                              \
  TEST(Suite, ReportsItselfAndItsCallerToTheProfilingHook) {                         \
    ::sse2str::test::check_hook(reinterpret_cast<const void*>(&entry), cases(),      \
                                SSE2STR_PROFILE != 0);                               \
  }                                                                                  \
  TEST(Suite, UnwindsToTheCallerFromEveryExecutedInstruction) {                      \
    ::sse2str::test::check_unwinding(reinterpret_cast<const void*>(&entry), cases(), \
                                     SSE2STR_PROFILE != 0, SSE2STR_REACHABLE_FILE);  \
  }
#endif
