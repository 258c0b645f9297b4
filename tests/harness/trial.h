// SPDX-License-Identifier: MIT
// Differential trials: one call of a routine on operands placed against
// unreadable memory, checked against the plain-loop model byte for byte.
//
// Every differential test runs its calls through run_trial: the routine
// tests' sweeps, the fuzz targets, the stress test and the hostile-placement
// test differ only in where the trials come from (loops over offsets,
// counts and positions; fuzzer input; a random generator; hand-made
// hostile placements).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

#include "frame/geometry.h"
#include "guard.h"
#include "routine_table.h"

namespace sse2str::test {

// Where an operand lies in its window: `slack` bytes after the window's
// begin, or `slack` bytes before its end.  With a slack below 64 the
// operand's first or last line borders the unreadable memory.
struct Anchor {
  bool at_end = true;
  size_t slack = 0;
};

struct Operand {
  std::vector<unsigned char> bytes;  // what it holds before the call
  // Bytes right in front of it and right after it that are not part of it
  // (decoys such as matches or terminators the routine must not take in);
  // they lie in the slack.
  std::vector<unsigned char> before, after;
  Anchor anchor;
  unsigned char backdrop = 0;  // every other byte of its window
};

// Makes `o` the `size` bytes that follow the first `before` bytes of
// `area`, with the bytes in front of them and the rest of the area as its
// surroundings.
void cut(Operand& o, const std::vector<unsigned char>& area, size_t before, size_t size);

// The placements of an operand against the guard pages that a read or write
// past its ends would cross: edge 0 ends it at the window's last byte, edges
// 1 to 64 begin it 0 to 63 bytes in.
inline constexpr size_t kEdges = 1 + kLineSize;

inline Anchor edge_anchor(size_t edge) {
  return edge == 0 ? Anchor{true, 0} : Anchor{false, edge - 1};
}

// Bytes of `window` after an operand of `size` bytes placed at `anchor`.
inline size_t room_after(Anchor anchor, size_t size, const Window& window) {
  return anchor.at_end ? anchor.slack : window.size() - anchor.slack - size;
}

// One call.  What each routine takes from it is in its traits (trial.cpp).
struct Trial {
  Routine routine = Routine::memchr;
  Operand first, second;
  uint32_t count = 0;
  int value = 0;
  // __x86_data_cache_size during the call (fills only); unset leaves it.
  std::optional<uint32_t> cache_size;
};

// Whether a trial of `routine` lays out a second operand (a destination, a
// second string).
bool has_second_operand(Routine routine);

// A trial of `routine` with its first operand at `anchor`.
inline Trial trial_of(Routine routine, Anchor anchor, size_t count = 0, int value = 0) {
  Trial t;
  t.routine = routine;
  t.first.anchor = anchor;
  t.count = static_cast<uint32_t>(count);
  t.value = value;
  return t;
}

// A result made comparable between the windows and the model's copy: a
// pointer as its offset in its window (-1 for null; a pointer outside the
// window keeps its address, above any offset); anything else as itself.
using Result = int64_t;
constexpr Result kNull = -1;
constexpr Result kNoResult = -2;

inline Result position_in(const void* p, const Window& w) {
  if (p == nullptr) return kNull;
  const char* c = static_cast<const char*>(p);
  if (c >= w.begin && c <= w.end) return c - w.begin;
  return (int64_t{1} << 32) + static_cast<int64_t>(reinterpret_cast<uintptr_t>(p));
}

// The memory one call works on: the two operand addresses in their windows.
struct Memory {
  char* first;
  char* second;
};

// Calls the routine (Sse2Routines or ModelRoutines) the trial names on the
// operands at `m`, which lie in windows `w1` and `w2`: run_trial's call,
// and that of tests that lay out their operands themselves.
template <class Routines>
Result call_routine(const Trial& t, const Memory& m, const Window& w1, const Window& w2);

// The two windows the operands of one call go into.  A trial lays out and
// compares its operands and their surroundings with `margin` bytes on each
// side, all of the window at most: sweeps of millions of short calls keep
// to the lines around them.
struct Arena {
  Window first, second;
  size_t margin = SIZE_MAX;
};

// Fills the windows (as far as the margin reaches) with the operands'
// backdrops, places the operands and their surroundings, then calls the
// routine on the windows and the model on a copy of them, and compares the
// results and every byte laid out.  Returns an empty string when routine
// and model agree, else a description of the trial and of the first
// difference.  A read or write outside the windows faults; catching that
// is the caller's matter.
std::string run_trial(const Trial& trial, const Arena& arena);

// The arena of a sweep over the windows of guarded pages: operands in
// `first` (and `second`), laid out and compared as far as a line beyond
// their surroundings.
inline Arena sweep_arena(const Window& first, const Window& second = {}) {
  return {first, second, kLineSize};
}

// A trial within the routine's contract made from arbitrary bytes, for
// operands in windows of `window_size` bytes: the decoder of the fuzz
// targets and the stress test.  Every byte string gives a valid trial.
Trial decode_trial(Routine routine, const uint8_t* data, size_t size, size_t window_size);

// When set, run_trial reports each placement class a call exercised (start
// and end offsets in their lines, length class, where the result lies) as
// a feature number.  The fuzz targets count these as coverage, since the
// routines themselves are not instrumented.
extern void (*trial_observer)(uint32_t feature);

}  // namespace sse2str::test
