// __wcscmp_sse2 against the reference model, at every pair of placements.
#include <stdint.h>

#include <vector>

#include "check.h"
#include "frame_suite.h"
#include "reference.h"
#include "routines.h"
#include "wide.h"

namespace sse2str::test {
namespace {

int routine(const char* first, const char* second) {
  return __wcscmp_sse2(reinterpret_cast<const wchar_t*>(first),
                       reinterpret_cast<const wchar_t*>(second));
}

int reference(const char* first, const char* second) {
  return ref::wcscmp(reinterpret_cast<const wchar_t*>(first),
                     reinterpret_cast<const wchar_t*>(second));
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

Char nonzero_char_other_than(Char avoid, TestRandom& random) {
  Char c = nonzero_char(random);
  while (c == avoid) c = nonzero_char(random);
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
void put_decider(char* first, char* second, size_t k, Decider d, TestRandom& random) {
  Char a = nonzero_char(random);
  Char b = nonzero_char_other_than(a, random);
  if (d == Decider::kBothEnd) a = b = 0;
  if (d == Decider::kFirstEnds) a = 0;
  if (d == Decider::kSecondEnds) b = 0;
  put(first, k, a);
  put(second, k, b);
}

// Fills positions [from, to) of both strings with the same non-zero
// characters: pairs that agree.
void put_agreeing(char* first, char* second, size_t from, size_t to, TestRandom& random) {
  for (size_t k = from; k < to; ++k) {
    const Char c = nonzero_char(random);
    put(first, k, c);
    put(second, k, c);
  }
}

// Every combination of the two start offsets in a line (multiples of 4 or
// not), with the deciding pair at every position from the first stage
// through the lead-in and every lane of every block of two passes, decided
// in each way: so every cell of the placement table and every block
// position of every pass kind.
TEST(Wcscmp, MatchesReferenceForEveryPairOfOffsetsAndDecidingPosition) {
  GuardedPages pages(2);
  TestRandom random(1);
  char* const first_area = pages.begin() + kLineSize;
  char* const second_area = pages.begin() + pages.size() / 2 + kLineSize;
  size_t first_offset = 0, second_offset = 0, k = 0;
  Decider decider = Decider::kDiffer;
  const auto at = where("first offset", first_offset, "second offset", second_offset, "pair", k,
                        "decided by", decider);
  expect_no_fault(at, [&] {
    for (first_offset = 0; first_offset < kLineSize; ++first_offset) {
      for (second_offset = 0; second_offset < kLineSize; ++second_offset) {
        char* const first = first_area + first_offset;
        char* const second = second_area + second_offset;
        put_agreeing(first, second, 0, kDecidingPositions + kLineSize / kCharSize, random);
        for (k = 0; k < kDecidingPositions; ++k) {
          const Char kept = get(first, k);
          for (Decider d : kDeciders) {
            decider = d;
            put_decider(first, second, k, d, random);
            ASSERT_EQ(routine(first, second), reference(first, second))
                << at << " (" << get(first, k) << ", " << get(second, k) << ")";
          }
          put(first, k, kept);
          put(second, k, kept);
        }
      }
    }
  });
}

// Characters order as signed 32-bit integers and the result is only ever
// the sign, wherever the deciding pair lies and however the strings sit.
TEST(Wcscmp, OrdersCharactersAsSignedIntegers) {
  struct Case {
    Char first, second;
    int want;
  };
  const Case cases[] = {
      {INT32_MAX, INT32_MIN, 1}, {-1, 1, -1},          {0, -1, 1},
      {INT32_MIN, 0, -1},        {1, 0, 1},            {0, INT32_MAX, -1},
      {0x100, 0x1, 1},           {0x1, 0x01000000, -1}, {INT32_MIN, INT32_MIN + 1, -1},
      {-2, -1, -1},              {0x7FFFFF00, 0x00FFFFFF, 1}, {INT32_MAX, INT32_MAX - 1, 1},
  };
  alignas(64) static char first_area[2 * kLineSize + kDecidingPositions * kCharSize];
  alignas(64) static char second_area[2 * kLineSize + kDecidingPositions * kCharSize];
  TestRandom random(2);
  for (size_t first_offset = 0; first_offset < kLineSize; ++first_offset) {
    const size_t second_offset = random.below(kLineSize);
    char* const first = first_area + first_offset;
    char* const second = second_area + second_offset;
    for (size_t k = 0; k < kDecidingPositions; ++k) {
      put_agreeing(first, second, 0, k, random);
      for (const Case& c : cases) {
        put(first, k, c.first);
        put(second, k, c.second);
        ASSERT_EQ(routine(first, second), c.want)
            << c.first << " against " << c.second << " at pair " << k << ", offsets "
            << first_offset << " and " << second_offset;
        ASSERT_EQ(routine(second, first), -c.want)
            << c.second << " against " << c.first << " at pair " << k << ", offsets "
            << second_offset << " and " << first_offset;
      }
    }
  }
}

// A string against itself extended by one character: the shorter orders
// first when that character is positive, last when it is negative.
TEST(Wcscmp, OrdersAPrefixByTheSignOfTheNextCharacter) {
  alignas(64) static char first_area[kLineSize + 302 * kCharSize];
  alignas(64) static char second_area[kLineSize + 302 * kCharSize];
  TestRandom random(3);
  for (size_t n = 0; n <= 300; ++n) {
    for (int round = 0; round < 8; ++round) {
      char* const shorter = first_area + random.below(kLineSize);
      char* const longer = second_area + random.below(kLineSize);
      put_agreeing(shorter, longer, 0, n, random);
      const Char next = round % 2 ? -static_cast<Char>(1 + random.below(INT32_MAX))
                                  : static_cast<Char>(1 + random.below(INT32_MAX));
      put(shorter, n, 0);
      put(longer, n, next);
      put(longer, n + 1, 0);
      const int want = next > 0 ? -1 : 1;
      ASSERT_EQ(routine(shorter, longer), want) << "length " << n << ", next " << next;
      ASSERT_EQ(routine(longer, shorter), -want) << "length " << n << ", next " << next;
    }
  }
}

// Equal strings of every length at every offset, and one string passed
// twice.
TEST(Wcscmp, EqualStringsAndTheSamePointerGiveZero) {
  alignas(64) static char first_area[kLineSize + 301 * kCharSize];
  alignas(64) static char second_area[kLineSize + 301 * kCharSize];
  TestRandom random(4);
  for (size_t n = 0; n <= 300; ++n) {
    for (size_t first_offset = 0; first_offset < kLineSize; ++first_offset) {
      char* const first = first_area + first_offset;
      char* const second = second_area + random.below(kLineSize);
      put_agreeing(first, second, 0, n, random);
      put(first, n, 0);
      put(second, n, 0);
      ASSERT_EQ(routine(first, second), 0) << "length " << n << ", offset " << first_offset;
      ASSERT_EQ(routine(first, first), 0) << "length " << n << ", offset " << first_offset;
    }
  }
}

// What follows the deciding pair is never looked at for the result:
// terminators, copies of the other string, the same characters in both
// (so that the strings would agree on), or anything else.
TEST(Wcscmp, BytesAfterTheDecidingPairNeverChangeTheResult) {
  alignas(64) static char first_area[2 * kLineSize + (kDecidingPositions + 20) * kCharSize];
  alignas(64) static char second_area[2 * kLineSize + (kDecidingPositions + 20) * kCharSize];
  TestRandom random(5);
  for (int round = 0; round < 20000; ++round) {
    char* const first = first_area + random.below(kLineSize);
    char* const second = second_area + random.below(kLineSize);
    const size_t k = random.below(kDecidingPositions);
    const Decider d = kDeciders[random.below(4)];
    put_agreeing(first, second, 0, k, random);
    put_decider(first, second, k, d, random);
    const int want = reference(first, second);
    for (int junk = 0; junk < 5; ++junk) {
      for (size_t j = k + 1; j < k + 20; ++j) {
        switch (junk) {
          case 0: put(first, j, 0), put(second, j, 0); break;
          case 1: put(first, j, get(second, j)); break;
          case 2: put(second, j, get(first, j)); break;
          case 3: put(first, j, nonzero_char(random)), put(second, j, get(first, j)); break;
          default: put(first, j, nonzero_char(random)), put(second, j, nonzero_char(random));
        }
      }
      ASSERT_EQ(routine(first, second), want)
          << "pair " << k << " decided by " << d << ", junk " << junk;
    }
  }
}

// One string's deciding character ends as close to the end of a readable
// page as its start offset allows, with a PROT_NONE page after it; the other
// string sits at every offset in a line.  Then both strings end at their
// pages' ends.  Pairs cover the first stage, the lead-in and two passes.
TEST(Wcscmp, NeverReadsPastTheDecidingCharacterIntoAnUnreadablePage) {
  GuardedPages end_pages(1), other_pages(1);
  TestRandom random(6);
  size_t k = 0, pad = 0, other_offset = 0;
  int which = 0;
  Decider decider = Decider::kDiffer;
  const auto at =
      where("case", which, "pair", k, "pad", pad, "offset", other_offset, "decided by", decider);
  expect_no_fault(at, [&] {
    for (which = 0; which < 3; ++which) {  // first at the end, second, both
      for (k = 0; k < kDecidingPositions; ++k) {
        for (pad = 0; pad < kCharSize; ++pad) {
          char* const at_end = end_pages.end() - (k + 1) * kCharSize - pad;
          for (other_offset = 0; other_offset < kLineSize; ++other_offset) {
            char* const other = which == 2 ? other_pages.end() - (k + 1) * kCharSize - other_offset % kCharSize
                                           : other_pages.begin() + kLineSize + other_offset;
            char* const first = which == 1 ? other : at_end;
            char* const second = which == 1 ? at_end : other;
            put_agreeing(first, second, 0, k, random);
            for (Decider d : kDeciders) {
              decider = d;
              put_decider(first, second, k, d, random);
              ASSERT_EQ(routine(first, second), reference(first, second)) << at;
            }
          }
        }
      }
    }
  });
}

// Strings that begin at the very start of a page after a PROT_NONE page:
// nothing in front of either start is read.
TEST(Wcscmp, NeverReadsBeforeTheStart) {
  GuardedPages first_pages(1), second_pages(1);
  TestRandom random(7);
  size_t k = 0, offset = 0;
  const auto at = where("pair", k, "offset", offset);
  expect_no_fault(at, [&] {
    for (k = 0; k < kDecidingPositions; ++k) {
      for (offset = 0; offset < kLineSize; ++offset) {
        char* const first = first_pages.begin() + offset % kCharSize;
        char* const second = second_pages.begin() + offset;
        for (Decider d : kDeciders) {
          put_agreeing(first, second, 0, k, random);
          put_decider(first, second, k, d, random);
          ASSERT_EQ(routine(first, second), reference(first, second)) << at;
          ASSERT_EQ(routine(second, first), reference(second, first)) << at;
        }
      }
    }
  });
}

// Long strings with random agreeing stretches: the passes run many times.
TEST(Wcscmp, LongStringsMatchReference) {
  GuardedPages pages(4);
  TestRandom random(8);
  const size_t half = pages.size() / 2;
  int round = 0;
  expect_no_fault(where("round", round), [&] {
    for (round = 0; round < 2000; ++round) {
      const size_t n = random.below(half / kCharSize - kLineSize);
      char* const first = pages.begin() + random.below(kLineSize);
      char* const second = pages.begin() + half + random.below(kLineSize);
      put_agreeing(first, second, 0, n, random);
      put_decider(first, second, n, kDeciders[random.below(4)], random);
      ASSERT_EQ(routine(first, second), reference(first, second)) << "round " << round;
    }
  });
}

// Calls that take each path of the routine, for the frame checks.
std::vector<FrameCase> frame_cases() {
  constexpr size_t kBytes = 7 * kLineSize;  // room for 80 characters after a line offset
  alignas(64) static char storage[20][2][kBytes];
  size_t used = 0;
  // Strings whose character 4 lies at the given line offsets, agreeing up
  // to pair k and differing there, or ending there together.
  auto call = [&](const char* label, size_t first_line_offset, size_t second_line_offset,
                  size_t k, bool end) {
    constexpr size_t kStage = 4 * kCharSize;
    char* const first = storage[used][0] + (kLineSize + first_line_offset - kStage) % kLineSize;
    char* const second = storage[used][1] + (kLineSize + second_line_offset - kStage) % kLineSize;
    ++used;
    for (size_t j = 0; j < k; ++j) {
      put(first, j, static_cast<Char>(j + 1));
      put(second, j, static_cast<Char>(j + 1));
    }
    put(first, k, end ? 0 : 7);
    put(second, k, end ? 0 : -7);
    FrameCase c{label, {word(first), word(second)}, word(reference(first, second))};
    if (k < kStage / kCharSize) c.max_saved_words = 0;  // the first stage saves no register
    return c;
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
