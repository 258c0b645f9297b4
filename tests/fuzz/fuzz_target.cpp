// SPDX-License-Identifier: MIT
// Differential fuzz target for one routine (SSE2STR_FUZZ_ROUTINE): every
// input becomes a trial (operands against guard pages, compared with the
// plain-loop model); a difference aborts with a description, a read or
// write outside the operands faults, and libFuzzer keeps the input.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "guard.h"
#include "trial.h"

using namespace sse2str::test;

namespace {

// The routines are GCC-built and carry no coverage instrumentation, so the
// trials report placement classes instead (see trial_observer); libFuzzer
// takes any non-zero byte of this section as a feature of the input.
constexpr uint32_t kFeatureSlots = 1 << 14;
__attribute__((section("__libfuzzer_extra_counters"), used)) uint8_t features[kFeatureSlots];

void count_feature(uint32_t feature) { features[feature % kFeatureSlots] = 1; }

// Two pages per window: large enough for a line loop of several hundred
// passes, small enough to lay out afresh on every input.
constexpr size_t kWindowPages = 2;

Routine routine;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!find_routine(SSE2STR_FUZZ_ROUTINE, &routine)) {
    fprintf(stderr, "fuzz target: no routine %s\n", SSE2STR_FUZZ_ROUTINE);
    exit(2);
  }
  trial_observer = count_feature;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static GuardedPages first(kWindowPages), second(kWindowPages);
  const Arena arena{first.window(), second.window()};
  const std::string difference = run_trial(decode_trial(routine, data, size, first.size()), arena);
  if (!difference.empty()) {
    fprintf(stderr, "\n==sse2str== %s\n", difference.c_str());
    abort();
  }
  return 0;
}
