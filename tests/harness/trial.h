// Differential trials: one call of a routine on operands placed against
// unreadable memory, checked against the plain-loop model byte for byte.
//
// The fuzz targets, the stress test and the hostile-placement test all run
// their calls through run_trial; they differ only in where the trials come
// from (fuzzer input, a random generator, hand-made hostile placements).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

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
  Anchor anchor;
  unsigned char backdrop = 0;  // every other byte of its window
};

// One call.  What each routine takes from it:
//   memchr   first: the range (bytes readable as far as the call may look);
//            count; value
//   strnlen  first: the string; count: the bound
//   strrchr  first: the string, terminator included; value
//   stpcpy   first: the source, terminator included; second: the
//            destination, as long as the source (its bytes are not used)
//   wcscmp   first, second: the two strings, 4-byte characters in
//            memory order, terminators included
//   memset   first: the destination, count bytes (its bytes are not used);
//            count; value; cache_size
//   bzero    as memset, without the value
struct Trial {
  Routine routine = Routine::kMemchr;
  Operand first, second;
  uint32_t count = 0;
  int value = 0;
  // __x86_data_cache_size during the call (fills only); unset leaves it.
  std::optional<uint32_t> cache_size;
};

// The two windows the operands of one call go into.
struct Stage {
  Window first, second;
};

// Fills both windows with the operands' backdrops, places the operands,
// then calls the routine on the windows and the model on a copy of them,
// and compares the results and every byte of both windows.  Returns an
// empty string when routine and model agree, else a description of the
// trial and of the first difference.  A read or write outside the windows
// faults; catching that is the caller's matter.
std::string run_trial(const Trial& trial, const Stage& stage);

// Runs `trials`, which returns the first difference run_trial reported or
// an empty string, with faults caught: returns that difference, or where
// the fault that ended the trials hit.
std::string first_failure(const std::function<std::string()>& trials);

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
