// SPDX-License-Identifier: MIT
// How the routine tests run a sweep over guarded memory.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include "guard.h"
#include "sweep.h"
#include "trial.h"

namespace sse2str::test {

// Runs `sweep` with faults caught: a read or write of an inaccessible page
// ends it and fails the test, reported with the place `at` it had reached.
template <class Place>
void expect_no_fault(const Place& at, const std::function<void()>& sweep) {
  const Fault fault = run_catching_faults(sweep);
  EXPECT_FALSE(fault) << "fault at " << std::hex << fault.address << std::dec << ", " << at;
}

// Runs a sweep of trials: `sweep(agrees)` calls agrees(trial) for each of
// its trials on `arena` (or agrees(trial, &other_arena)) and stops once it
// returns false.  The first difference from the model, or a fault, fails the
// test, reported with the place `at` the sweep had reached.
template <class Place, class Sweep>
void expect_trials_agree(const Place& at, const Arena& arena, Sweep&& sweep) {
  std::string difference;
  auto agrees = [&](const Trial& t, const Arena* on = nullptr) {
    difference = run_trial(t, on != nullptr ? *on : arena);
    return difference.empty();
  };
  expect_no_fault(at, [&] { sweep(agrees); });
  if (!difference.empty()) ADD_FAILURE() << at << ": " << difference;
}

// Runs `rounds` random trials, each made by make(random, window) for
// operands in windows of `pages` guarded pages (`window` is the first one,
// the second is as large): long operands, where the loops run many times.
template <class Make>
void expect_random_trials_agree(size_t pages, uint32_t seed, int rounds, Make&& make) {
  GuardedPages first(pages), second(pages);
  TestRandom random(seed);
  int round = 0;
  const Arena arena = sweep_arena(first.window(), second.window());
  expect_trials_agree(where("round", round), arena, [&](auto&& agrees) {
    for (round = 0; round < rounds; ++round)
      if (!agrees(make(random, first.window()))) return;
  });
}

// Only the low 8 bits of a search's value count, and bytes compare unsigned:
// from every offset in a line, the bytes 255 down to 0 searched with the
// values `extra`, then every byte from `first_byte` up with high bits of
// none, one, a far bit and all set.  `count` goes to memchr.
inline void expect_only_the_low_byte_counts(Routine routine, int first_byte, std::vector<int> extra,
                                            size_t count = 0) {
  for (int byte = first_byte; byte < 256; ++byte)
    for (int high : {0, 1, 0x1000, -256}) extra.push_back(static_cast<int>((high * 256u) | byte));
  GuardedPages pages(1);
  size_t offset = 0;
  int value = 0;
  const auto at = where("offset", offset, "value", value);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      for (int v : extra) {
        Trial t = trial_of(routine, {false, offset}, count, value = v);
        for (int i = 255; i >= 0; --i) t.first.bytes.push_back(i);
        if (!agrees(t)) return;
      }
    }
  });
}

// Runs `call(start)` with `start` at every byte of an inaccessible page, then
// with a null `start` (reported as the offset one past the page): for calls
// that must touch no memory at all, such as those with a count of 0.
template <class Call>
void expect_touches_nothing(Call&& call) {
  GuardedPages pages(1);
  char* const inaccessible = pages.begin() - page_size();
  size_t offset = 0;
  expect_no_fault(where("start at inaccessible page offset", offset), [&] {
    for (offset = 0; offset < page_size(); ++offset) call(inaccessible + offset);
    call(nullptr);
  });
}

}  // namespace sse2str::test
