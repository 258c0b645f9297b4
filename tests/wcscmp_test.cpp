// SPDX-License-Identifier: MIT
// __wcscmp_sse2 against the reference model, at every pair of placements.
#include <stdint.h>

#include <vector>

#include "check.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"
#include "wide.h"

namespace sse2str::test {
namespace {

// A comparison of two strings with room for `chars` characters each, the
// first at `a` and the second at `b`; the sweeps write them through text().
Trial compare_trial(size_t chars, Anchor a, Anchor b) {
  Trial t = trial_of(Routine::wcscmp, a);
  t.second.anchor = b;
  t.first.bytes.resize(chars * kCharSize);
  t.second.bytes.resize(chars * kCharSize);
  return t;
}

char* text(Operand& o) { return reinterpret_cast<char*>(o.bytes.data()); }

// The same comparison the other way round.
Trial swapped(Trial t) {
  std::swap(t.first, t.second);
  return t;
}

// Non-zero characters of every shape that matters to a lane compare: small
// values (three zero bytes), values with zero bytes inside, negative ones,
// the extremes, and arbitrary words.
Char nonzero_char(TestRandom& random) {
  Char c = 0;
  while (c == 0) {
    switch (random.below(6)) {
      case 0: c = static_cast<Char>(1 + random.below(255)); break;
      case 1: c = static_cast<Char>(random.word() & 0xFF00FF00u); break;
      case 2: c = static_cast<Char>(random.word() | 0x80000000u); break;
      case 3: c = random.below(2) ? INT32_MAX : INT32_MIN; break;
      case 4: c = -static_cast<Char>(1 + random.below(255)); break;
      default: c = static_cast<Char>(random.word()); break;
    }
  }
  return c;
}

// The ways a pair can decide the result.
enum class Decider { kDiffer, kBothEnd, kFirstEnds, kSecondEnds };
constexpr Decider kDeciders[] = {Decider::kDiffer, Decider::kBothEnd, Decider::kFirstEnds,
                                 Decider::kSecondEnds};

std::ostream& operator<<(std::ostream& out, Decider d) {
  static const char* const kNames[] = {"differing", "both ending", "first ending", "second ending"};
  return out << kNames[static_cast<int>(d)];
}

// Writes a deciding pair of kind `d` at position k of both strings.
void put_decider(Trial& t, size_t k, Decider d, TestRandom& random) {
  Char a = nonzero_char(random), b = nonzero_char(random);
  while (b == a) b = nonzero_char(random);
  if (d == Decider::kBothEnd) a = b = 0;
  if (d == Decider::kFirstEnds) a = 0;
  if (d == Decider::kSecondEnds) b = 0;
  put(text(t.first), k, a);
  put(text(t.second), k, b);
}

// Fills positions [from, to) of both strings with the same non-zero
// characters: pairs that agree.
void put_agreeing(Trial& t, size_t from, size_t to, TestRandom& random) {
  for (size_t k = from; k < to; ++k) {
    const Char c = nonzero_char(random);
    put(text(t.first), k, c);
    put(text(t.second), k, c);
  }
}

// The sweeps below place each string in guarded pages of its own.
class Wcscmp : public ::testing::Test {
 protected:
  GuardedPages first_pages{2}, second_pages{2};
  const Arena arena = sweep_arena(first_pages.window(), second_pages.window());
};

// Every combination of the two start offsets in a line (multiples of 4 or
// not), with the deciding pair at every position from the first stage
// through the lead-in and every lane of every block of two passes, decided
// in each way: so every cell of the placement table and every block
// position of every pass kind.
TEST_F(Wcscmp, MatchesReferenceForEveryPairOfOffsetsAndDecidingPosition) {
  TestRandom random(1);
  size_t first_offset = 0, second_offset = 0, k = 0;
  Decider decider = Decider::kDiffer;
  const auto at = where("first offset", first_offset, "second offset", second_offset, "pair", k,
                        "decided by", decider);
  expect_trials_agree(at, arena, [&](auto&& agrees) {
    for (first_offset = 0; first_offset < kLineSize; ++first_offset) {
      for (second_offset = 0; second_offset < kLineSize; ++second_offset) {
        constexpr size_t kChars = kDecidingPositions + kLineSize / kCharSize;
        Trial t = compare_trial(kChars, {false, kLineSize + first_offset},
                                {false, kLineSize + second_offset});
        put_agreeing(t, 0, kChars, random);
        for (k = 0; k < kDecidingPositions; ++k) {
          const Char kept = get(text(t.first), k);
          for (Decider d : kDeciders) {
            put_decider(t, k, decider = d, random);
            if (!agrees(t)) return;
          }
          put(text(t.first), k, kept);
          put(text(t.second), k, kept);
        }
      }
    }
  });
}

// Characters order as signed 32-bit integers and the result is only ever
// the sign, wherever the deciding pair lies and however the strings sit.
TEST_F(Wcscmp, OrdersCharactersAsSignedIntegers) {
  const Char cases[][2] = {{INT32_MAX, INT32_MIN},
                           {-1, 1},
                           {0, -1},
                           {INT32_MIN, 0},
                           {1, 0},
                           {0, INT32_MAX},
                           {0x100, 0x1},
                           {0x1, 0x01000000},
                           {INT32_MIN, INT32_MIN + 1},
                           {-2, -1},
                           {0x7FFFFF00, 0x00FFFFFF},
                           {INT32_MAX, INT32_MAX - 1}};
  TestRandom random(2);
  size_t first_offset = 0, k = 0;
  const auto at = where("first offset", first_offset, "pair", k);
  expect_trials_agree(at, arena, [&](auto&& agrees) {
    for (first_offset = 0; first_offset < kLineSize; ++first_offset) {
      Trial t = compare_trial(kDecidingPositions, {false, first_offset},
                              {false, random.below(kLineSize)});
      for (k = 0; k < kDecidingPositions; ++k) {
        put_agreeing(t, 0, k, random);
        for (const auto& c : cases) {
          put(text(t.first), k, c[0]);
          put(text(t.second), k, c[1]);
          if (!agrees(t) || !agrees(swapped(t))) return;
        }
      }
    }
  });
}

// A string against itself extended by one character: the shorter orders
// first when that character is positive, last when it is negative.
TEST_F(Wcscmp, OrdersAPrefixByTheSignOfTheNextCharacter) {
  TestRandom random(3);
  size_t n = 0;
  int round = 0;
  expect_trials_agree(where("length", n, "round", round), arena, [&](auto&& agrees) {
    for (n = 0; n <= 300; ++n) {
      for (round = 0; round < 8; ++round) {
        const Anchor shorter_at{false, random.below(kLineSize)};
        Trial t = compare_trial(n + 2, shorter_at, {false, random.below(kLineSize)});
        put_agreeing(t, 0, n, random);
        const Char next = round % 2 ? -static_cast<Char>(1 + random.below(INT32_MAX))
                                    : static_cast<Char>(1 + random.below(INT32_MAX));
        put(text(t.first), n, 0);
        put(text(t.second), n, next);
        if (!agrees(t) || !agrees(swapped(t))) return;
      }
    }
  });
}

// Equal strings of every length at every offset, and one string passed
// twice.
TEST_F(Wcscmp, EqualStringsAndTheSamePointerGiveZero) {
  TestRandom random(4);
  size_t n = 0, first_offset = 0;
  const auto at = where("length", n, "first offset", first_offset);
  expect_trials_agree(at, arena, [&](auto&& agrees) {
    for (n = 0; n <= 300; ++n) {
      for (first_offset = 0; first_offset < kLineSize; ++first_offset) {
        Trial t = compare_trial(n + 1, {false, first_offset}, {false, random.below(kLineSize)});
        put_agreeing(t, 0, n, random);
        if (!agrees(t)) return;
        // Both operands placed alike in one window: the same pointer twice.
        t.second = t.first;
        const Arena one_window = sweep_arena(first_pages.window(), first_pages.window());
        if (!agrees(t, &one_window)) return;
      }
    }
  });
}

// What follows the deciding pair is never looked at for the result:
// terminators, copies of the other string, the same characters in both
// (so that the strings would agree on), or anything else.
TEST_F(Wcscmp, BytesAfterTheDecidingPairNeverChangeTheResult) {
  TestRandom random(5);
  int round = 0, junk = 0;
  size_t k = 0;
  Decider decider = Decider::kDiffer;
  const auto at = where("round", round, "pair", k, "decided by", decider, "junk", junk);
  expect_trials_agree(at, arena, [&](auto&& agrees) {
    Trial t = compare_trial(kDecidingPositions + 20, {}, {});
    char* const a = text(t.first);
    char* const b = text(t.second);
    for (round = 0; round < 20000; ++round) {
      t.first.anchor = {false, random.below(kLineSize)};
      t.second.anchor = {false, random.below(kLineSize)};
      k = random.below(kDecidingPositions);
      decider = kDeciders[random.below(4)];
      put_agreeing(t, 0, k, random);
      put_decider(t, k, decider, random);
      for (junk = 0; junk < 5; ++junk) {
        for (size_t j = k + 1; j < k + 20; ++j) {
          if (junk == 0) put(a, j, 0), put(b, j, 0);
          if (junk == 1) put(a, j, get(b, j));
          if (junk == 2) put(b, j, get(a, j));
          if (junk == 3) put(a, j, nonzero_char(random)), put(b, j, get(a, j));
          if (junk == 4) put(a, j, nonzero_char(random)), put(b, j, nonzero_char(random));
        }
        if (!agrees(t)) return;
      }
    }
  });
}

// One string's deciding character ends as close to the end of a readable
// page as its start offset allows, with a PROT_NONE page after it; the other
// string sits at every offset in a line.  Then both strings end at their
// pages' ends.  Pairs cover the first stage, the lead-in and two passes.
TEST_F(Wcscmp, NeverReadsPastTheDecidingCharacterIntoAnUnreadablePage) {
  TestRandom random(6);
  size_t k = 0, pad = 0, other_offset = 0;
  int which = 0;
  Decider decider = Decider::kDiffer;
  const auto at =
      where("case", which, "pair", k, "pad", pad, "offset", other_offset, "decided by", decider);
  expect_trials_agree(at, arena, [&](auto&& agrees) {
    for (which = 0; which < 3; ++which) {  // first at the end, second, both
      for (k = 0; k < kDecidingPositions; ++k) {
        for (pad = 0; pad < kCharSize; ++pad) {
          for (other_offset = 0; other_offset < kLineSize; ++other_offset) {
            const Anchor at_end{true, pad};
            const Anchor other = which == 2 ? Anchor{true, other_offset % kCharSize}
                                            : Anchor{false, kLineSize + other_offset};
            Trial t = which == 1 ? compare_trial(k + 1, other, at_end)
                                 : compare_trial(k + 1, at_end, other);
            put_agreeing(t, 0, k, random);
            for (Decider d : kDeciders) {
              put_decider(t, k, decider = d, random);
              if (!agrees(t)) return;
            }
          }
        }
      }
    }
  });
}

// Strings that begin at the very start of a page after a PROT_NONE page:
// nothing in front of either start is read.
TEST_F(Wcscmp, NeverReadsBeforeTheStart) {
  TestRandom random(7);
  size_t k = 0, offset = 0;
  expect_trials_agree(where("pair", k, "offset", offset), arena, [&](auto&& agrees) {
    for (k = 0; k < kDecidingPositions; ++k) {
      for (offset = 0; offset < kLineSize; ++offset) {
        Trial t = compare_trial(k + 1, {false, offset % kCharSize}, {false, offset});
        for (Decider d : kDeciders) {
          put_agreeing(t, 0, k, random);
          put_decider(t, k, d, random);
          if (!agrees(t) || !agrees(swapped(t))) return;
        }
      }
    }
  });
}

// Long strings with random agreeing stretches: the passes run many times.
TEST_F(Wcscmp, LongStringsMatchReference) {
  expect_random_trials_agree(2, 8, 2000, [](TestRandom& random, const Window& window) {
    const size_t n = random.below(window.size() / kCharSize - kLineSize);
    const Anchor first_at{false, random.below(kLineSize)};
    Trial t = compare_trial(n + 1, first_at, {false, random.below(kLineSize)});
    put_agreeing(t, 0, n, random);
    put_decider(t, n, kDeciders[random.below(4)], random);
    return t;
  });
}

// Calls that take each path of the routine, for the frame checks.
std::vector<FrameCase> frame_cases() {
  constexpr size_t kBytes = 7 * kLineSize;  // room for 80 characters after a line offset
  alignas(64) static char storage[20][2][kBytes];
  size_t used = 0;
  // Strings whose character 4 lies at the given line offsets, agreeing up
  // to pair k and differing there, or ending there together.
  auto call = [&](const char* label, size_t first_line_offset, size_t second_line_offset, size_t k,
                  bool end) {
    using wcscmp_stages::kFirstStageBytes;
    char* const first =
        storage[used][0] + (kLineSize + first_line_offset - kFirstStageBytes) % kLineSize;
    char* const second =
        storage[used][1] + (kLineSize + second_line_offset - kFirstStageBytes) % kLineSize;
    ++used;
    for (size_t j = 0; j < k; ++j) {
      put(first, j, static_cast<Char>(j + 1));
      put(second, j, static_cast<Char>(j + 1));
    }
    put(first, k, end ? 0 : 7);
    put(second, k, end ? 0 : -7);
    // No path saves a register (the cases' default).
    return FrameCase{label,
                     {word(first), word(second)},
                     word(ref::wcscmp(reinterpret_cast<const wchar_t*>(first),
                                      reinterpret_cast<const wchar_t*>(second)))};
  };
  return {
      call("first pair differs", 16, 16, 0, false),
      call("empty strings", 3, 5, 0, true),
      call("fourth pair ends", 1, 2, 3, true),
      call("both aligned, third pass", 0, 16, 40, false),
      call("both aligned, equal", 0, 16, 40, true),
      call("first aligned, lead-in", 0, 1, 6, false),
      call("first aligned, aligned-side test, no terminator", 0, 1, 17, false),
      call("first aligned, aligned-side test, terminator", 0, 1, 18, true),
      call("first aligned, aligned-side test, last pair", 0, 1, 19, true),
      call("first aligned, pass", 0, 30, 40, false),
      call("second aligned, aligned-side test", 9, 0, 16, true),
      call("second aligned, pass", 41, 0, 45, false),
      call("distance 0", 3, 7, 50, false),
      call("distance 1", 2, 18, 50, true),
      call("distance 2, scalar block", 55, 19, 6, false),
      call("distance 3", 50, 1, 60, false),
  };
}

SSE2STR_FRAME_TESTS(WcscmpFrame, __wcscmp_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
