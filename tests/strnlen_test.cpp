// SPDX-License-Identifier: MIT
// __strnlen_sse2 against the reference model, at every placement.
#include <initializer_list>

#include "check.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {
namespace {

using strnlen_stages::kAlignedPasses;
using strnlen_stages::kProbedBytes;

// Bytes from the start up to the end of the aligned passes, at most.
constexpr size_t kAlignedReach = kProbedBytes + kAlignedPasses * kLineSize;

// Puts a few zero bytes into [p, p + n): they lie outside what the routine
// may count and must never change its result.
void sprinkle_zeros(TestRandom& random, unsigned char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (random.below(4) == 0) p[i] = '\0';
}

// Bounds 0 to 16 are answered by the byte probes alone: with the string's
// last needed byte (the terminator, or the last byte inside the bound) at
// the end of a page, any read past it faults.
TEST(Strnlen, ShortBoundsReadOnlyUpToTheBoundOrTheTerminator) {
  GuardedPages pages(1);
  TestRandom random(1);
  size_t bound = 0, terminator = 0;
  const auto at = where("bound", bound, "terminator at", terminator);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (bound = 0; bound <= kProbedBytes; ++bound) {
      for (terminator = 0; terminator <= kProbedBytes + 1; ++terminator) {  // 17: none
        Trial t = trial_of(Routine::strnlen, {true, 0}, bound);
        std::vector<unsigned char>& needed = t.first.bytes;
        needed.resize(terminator < bound ? terminator + 1 : bound);
        random.fill_string(needed.data(), needed.size());
        if (terminator < bound) needed[terminator] = '\0';
        if (!agrees(t)) return;
      }
    }
  });
}

TEST(Strnlen, ZeroBoundReadsNothing) {
  expect_touches_nothing([](const char* start) { EXPECT_EQ(__strnlen_sse2(start, 0), 0u); });
}

// Every start offset in a line, with the bounds at each stage limit: 17 and
// 18 (just past the probes), and those that leave exactly one line, one
// line and a byte, two lines, all the aligned passes, all of them and a
// byte, one line more and one line and a byte more after them, so the
// aligned passes, the line loop and the tail each end just before, at and
// just after a block or line.
// The terminator sweeps every index up to just past the bound; zero bytes
// in front of the start and after the terminator are decoys.
TEST(Strnlen, MatchesReferenceAtEveryStageLimit) {
  GuardedPages pages(2);
  TestRandom random(2);
  size_t offset = 0, bound = 0, terminator = 0;
  const auto at = where("offset", offset, "bound", bound, "terminator at", terminator);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      const size_t skew = offset % kBlockSize;
      constexpr size_t kPasses = kAlignedPasses * kLineSize;
      for (size_t after_probes :
           {size_t{1}, size_t{2}, kLineSize, kLineSize + 1, 2 * kLineSize, kPasses, kPasses + 1,
            kPasses + kLineSize, kPasses + kLineSize + 1}) {
        // 17 and 18 exactly; the others counted from the first aligned block.
        bound = after_probes <= 2 ? kProbedBytes + after_probes
                                  : after_probes + kProbedBytes - skew;
        Trial t = trial_of(Routine::strnlen, {false, kLineSize + offset}, bound);
        // The bounded bytes with a line of surroundings on each side.
        std::vector<unsigned char> area(kLineSize + bound + kLineSize);
        unsigned char* const start = area.data() + kLineSize;
        for (terminator = 0; terminator <= bound + 1; ++terminator) {
          random.fill_string(area.data(), area.size());
          sprinkle_zeros(random, area.data(), kLineSize);
          start[terminator] = '\0';
          sprinkle_zeros(random, start + terminator + 1, bound + kLineSize - terminator - 1);
          cut(t.first, area, kLineSize, bound);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// The last byte the routine must read is the last byte of a page followed
// by an unmapped page: a terminator there with bounds at, above and far
// above the length, or no terminator and the bound ending there.  Strings
// that begin a page preceded by an unmapped page check the other side.
TEST(Strnlen, NeverReadsAPageItHasNoBusinessIn) {
  GuardedPages pages(2);
  TestRandom random(3);
  constexpr size_t kMaxLength = 700;
  size_t length = 0, bound = 0, offset = 0;
  const auto at = where("length", length, "bound", bound, "page offset", offset);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (length = 0; length <= kMaxLength; ++length) {
      // Terminated at the page's last byte; the start offset sweeps with
      // the length.
      Trial t = trial_of(Routine::strnlen, {true, 0});
      t.first.bytes = random.string(length);
      for (size_t b : {length + 1, length + 2, length + kProbedBytes + 1, length + 200,
                       size_t{0x80000000u}, size_t{0xFFFFFFFFu}}) {
        t.count = static_cast<uint32_t>(bound = b);
        if (!agrees(t)) return;
      }
      // Not terminated within a bound that ends at the page's last byte.
      t.count = static_cast<uint32_t>(bound = length);
      t.first.bytes.pop_back();
      random.fill_string(t.first.bytes.data(), bound);
      if (!agrees(t)) return;
      // Beginning a page, at every offset in its line.
      for (offset = 0; offset < kLineSize; ++offset) {
        t.first.anchor = {false, offset};
        t.first.bytes = random.string(length);
        bound = random.below(2) ? length + 1 + random.below(100) : size_t{0xFFFFFFFFu};
        t.count = static_cast<uint32_t>(bound);
        if (!agrees(t)) return;
      }
    }
  });
}

// The bound is unsigned and never added to the start: any bound with its
// top bit set gives the string's length, from every start offset.
TEST(Strnlen, BoundsWithTheTopBitSetGiveTheLength) {
  GuardedPages pages(2);
  TestRandom random(4);
  size_t offset = 0, length = 0, bound = 0;
  const auto at = where("offset", offset, "length", length, "bound", bound);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      for (length = 0; length < 600; length += 1 + random.below(9)) {
        Trial t = trial_of(Routine::strnlen, {false, kLineSize + offset});
        t.first.bytes = random.string(length);
        for (size_t b : {0x80000000u, 0x80000001u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
          t.count = static_cast<uint32_t>(bound = b);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// The line loop folds four blocks into one minimum: a zero byte in any of
// the four blocks at any of the 16 positions, with later zero bytes in the
// same line, must give the lowest one.  The terminator sweeps three lines
// past the aligned passes, from starts in every block position of a line.
TEST(Strnlen, LineLoopFindsTheLowestZeroInAnyBlock) {
  GuardedPages pages(2);
  TestRandom random(5);
  size_t offset = 0, terminator = 0, bound = 0;
  const auto at = where("offset", offset, "terminator at", terminator, "bound", bound);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; offset += 3) {
      Trial t = trial_of(Routine::strnlen, {false, offset});
      for (terminator = kAlignedReach; terminator < kAlignedReach + 3 * kLineSize; ++terminator) {
        // The string, and two lines after it with more zero bytes.
        std::vector<unsigned char> area(terminator + 2 * kLineSize);
        random.fill_string(area.data(), area.size());
        area[terminator] = '\0';
        area[terminator + 1 + random.below(kLineSize)] = '\0';
        area[terminator + 1 + random.below(4)] = '\0';
        cut(t.first, area, 0, terminator + 1);
        for (size_t b : {terminator + 1 + random.below(2 * kLineSize), size_t{0xFFFFFFFFu}}) {
          t.count = static_cast<uint32_t>(bound = b);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// Long strings, random bounds and random zero densities.
TEST(Strnlen, LongStringsMatchReference) {
  expect_random_trials_agree(4, 6, 3000, [](TestRandom& random, const Window& window) {
    const size_t span = random.below(window.size() - kLineSize);
    Trial t = trial_of(Routine::strnlen, {true, random.below(kLineSize)});
    std::vector<unsigned char>& bytes = t.first.bytes = random.string(span);
    bytes.pop_back();
    const size_t zeros = random.below(4);
    for (size_t i = 0; i < zeros && span > 0; ++i) bytes[random.below(span)] = '\0';
    // Unterminated, the bound must stop inside the readable bytes.
    const bool terminated = span > 0 && bytes[span - 1] == '\0';
    t.count = !terminated || random.below(2) ? random.below(span + 1) : 0xFFFFFFFFu;
    return t;
  });
}

// Calls that take each path of the routine, for the frame checks.
std::vector<FrameCase> frame_cases() {
  alignas(64) static char data[kAlignedReach + 12 * kLineSize];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<char>('a' + i % 16);
  data[sizeof data - 1] = '\0';
  alignas(64) static char early[64] = "abcdefghijklmnopqrstuvwxyz";  // zero at 26
  // No path saves a register (the cases' default): the routine runs in the
  // scratch ones.
  auto call = [](const char* label, const char* start, size_t bound) {
    return FrameCase{label, {word(start), word(bound)}, word(ref::strnlen(start, bound))};
  };
  return {
      call("zero bound", nullptr, 0),
      call("bound inside the probes", data + 3, 6),
      call("terminator inside the probes", early + 20, 100),
      call("terminator in an aligned pass", early + 3, 100),
      call("terminator in the line loop", data + 3, 5000),
      call("bound inside the tail", data + 3, kAlignedReach + 6 * kLineSize + 44),
      call("terminator past the bound in the tail", data + sizeof data - 1 - (kAlignedReach + 67),
           kAlignedReach + 38),
      call("bound before the line loop", data + 3, kAlignedReach - 2 * kLineSize + 6),
  };
}

SSE2STR_FRAME_TESTS(StrnlenFrame, __strnlen_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
