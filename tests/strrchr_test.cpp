// SPDX-License-Identifier: MIT
// __strrchr_sse2 against the reference model, at every placement.
#include <algorithm>
#include <initializer_list>

#include "check.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {
namespace {

// Every start offset in a line and every length up to 300, a last match at
// every position of the string (with an earlier one in front of it) and no
// match at all.  Decoys the routine must ignore: matching and zero bytes in
// front of the start, inside its aligned block, and matching bytes right
// after the terminator, in its block and the next.
TEST(Strrchr, MatchesReferenceForEveryOffsetLengthAndPosition) {
  GuardedPages pages(2);
  TestRandom random(1);
  constexpr size_t kMaxLength = 300;
  size_t offset = 0, length = 0;
  long position = 0;
  const auto at = where("offset", offset, "length", length, "last match at", position);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      Trial t = trial_of(Routine::strrchr, {false, kLineSize + offset});
      for (length = 0; length <= kMaxLength; ++length) {
        // The string with a line of surroundings on each side.
        std::vector<unsigned char> area(length + 2 * kLineSize);
        unsigned char* const start = area.data() + kLineSize;
        const unsigned char needle = random.byte_other_than(0);
        random.fill_string(area.data(), area.size(), needle);
        for (size_t i = 1; i <= kBlockSize; ++i) start[-long(i)] = random.below(2) ? needle : 0;
        start[length] = '\0';
        for (size_t i = 1; i <= kBlockSize; ++i)
          if (random.below(3) == 0) start[length + i] = needle;
        for (position = -1; position < static_cast<long>(length); ++position) {
          long earlier = -1;
          if (position >= 0) {
            start[position] = needle;
            if (position > 0) {
              earlier = static_cast<long>(random.below(position));
              start[earlier] = needle;
            }
          }
          t.value = value_with_junk(needle, random);
          cut(t.first, area, kLineSize, length + 1);
          if (!agrees(t)) return;
          if (earlier >= 0) start[earlier] = 'x' == needle ? 'y' : 'x';
          if (position >= 0) start[position] = 'x' == needle ? 'y' : 'x';
        }
      }
    }
  });
}

// A value whose low byte is zero finds the terminator: 0, 256 and 0x1000,
// for every start offset and length, with zero and matching bytes around.
TEST(Strrchr, ValueWithLowByteZeroFindsTheTerminator) {
  GuardedPages pages(2);
  TestRandom random(2);
  size_t offset = 0, length = 0;
  int value = 0;
  const auto at = where("offset", offset, "length", length, "value", value);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      for (length = 0; length <= 300; ++length) {
        std::vector<unsigned char> area(length + 2 * kLineSize);
        unsigned char* const start = area.data() + kLineSize;
        random.fill_string(area.data(), area.size());
        start[-1] = '\0';
        start[length] = '\0';
        start[length + 1 + random.below(kBlockSize)] = '\0';
        for (int v : {0, 256, 0x1000, static_cast<int>(0xABCDEF00u)}) {
          Trial t = trial_of(Routine::strrchr, {false, kLineSize + offset}, 0, value = v);
          cut(t.first, area, kLineSize, length + 1);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

TEST(Strrchr, UsesOnlyTheLowByteOfTheValue) {
  expect_only_the_low_byte_counts(Routine::strrchr, 1, {0x141, -1});
}

// Matches in many blocks, separated by gaps of one to five blocks, so that
// the loop saves a match and is re-entered at its first copy from every
// position in a pass; the final block holds no match, one before the
// terminator, or only matches after it.
TEST(Strrchr, LastMatchWinsAcrossManyBlocks) {
  GuardedPages pages(2);
  TestRandom random(3);
  const unsigned char needle = 0xC3;
  size_t offset = 0, gap = 0, length = 0;
  const auto at = where("offset", offset, "gap", gap, "length", length);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      for (gap = 1; gap <= 5; ++gap) {
        for (length = 64; length <= 700; length += 37) {
          // The string and a block after it.
          std::vector<unsigned char> area(length + kBlockSize);
          random.fill_string(area.data(), area.size(), needle);
          for (size_t i = random.below(kBlockSize); i < length; i += gap * kBlockSize)
            area[std::min(i + random.below(3), length - 1)] = needle;
          area[length] = '\0';
          const int final_case = static_cast<int>(random.below(3));
          if (final_case == 1 && length > 0) area[length - 1] = needle;
          if (final_case == 2) area[length + 1] = needle;
          Trial t = trial_of(Routine::strrchr, {false, offset}, 0, needle);
          cut(t.first, area, 0, length + 1);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// A string whose terminator is the last byte of a page followed by an
// unmapped page, for every start offset (the lengths sweep them), and
// strings that begin a page preceded by an unmapped page; the rest of the
// pages matches.  Among them the empty string at offset 4095 of a page.
TEST(Strrchr, NeverReadsAPageItHasNoBusinessIn) {
  GuardedPages pages(2);
  TestRandom random(4);
  size_t length = 0, edge = 0;
  int match = 0, value = 0;
  const auto at =
      where("length", length, "match (none, first, last)", match, "edge", edge, "value", value);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (length = 0; length <= 700; ++length) {
      const unsigned char needle = random.byte_other_than(0);
      for (match = 0; match < 3; ++match) {
        for (edge = 0; edge < kEdges; ++edge) {
          Trial t = trial_of(Routine::strrchr, edge_anchor(edge), 0, needle);
          t.first.backdrop = needle;
          t.first.bytes = random.string(length, needle);
          if (length > 0 && match > 0) t.first.bytes[match == 1 ? 0 : length - 1] = needle;
          for (int v : {int{needle}, 0}) {
            t.value = value = v;
            if (!agrees(t)) return;
          }
        }
      }
    }
    length = 0;
    for (int v : {int{'a'}, 0}) {
      // The empty string at offset 4095.
      Trial t = trial_of(Routine::strrchr, {false, page_size() - 1}, 0, value = v);
      t.first.bytes = {0};
      t.first.before = {'a'};
      if (!agrees(t)) return;
    }
  });
}

// Long strings with random contents and match densities.
TEST(Strrchr, LongStringsMatchReference) {
  expect_random_trials_agree(4, 5, 3000, [](TestRandom& random, const Window& window) {
    const size_t length = random.below(window.size() - kLineSize);
    Trial t = trial_of(Routine::strrchr, {true, random.below(kLineSize)});
    const unsigned char needle = t.value = random.byte();
    t.first.bytes = random.string(length, needle);
    const size_t matches = random.below(5);
    for (size_t i = 0; i < matches && length > 0; ++i) t.first.bytes[random.below(length)] = needle;
    return t;
  });
}

// Calls that take each path of the routine, for the frame checks.
std::vector<FrameCase> frame_cases() {
  alignas(64) static char data[1024];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<char>('a' + i % 16);
  data[sizeof data - 1] = '\0';
  data[500] = 'X';
  alignas(64) static char shorter[64] = "abcdefghijklmnopqrstuvwxyz";
  // A match only after the terminator, in the same block.
  alignas(64) static char beyond[64] = "abc\0x";
  // No path saves a register (the cases' default).
  auto call = [](const char* label, const char* start, int value) {
    return FrameCase{label, {word(start), word(value)}, word(ref::strrchr(start, value))};
  };
  return {
      call("terminator in the unaligned first block", shorter + 20, 'Q'),
      call("empty string read as an aligned first block", shorter + 53, 'Q'),
      call("match and terminator in the unaligned first block", shorter + 20, 'x'),
      call("match after the terminator in the first block only", beyond, 'x'),
      call("match in the unaligned first block, terminator in a loop block", shorter + 3, 'k'),
      call("match and terminator in the aligned first block", data + 1018, 'm'),
      call("saved match, terminator in a loop block", data + 3, 'X'),
      call("match in the final loop block", data + 3, 'n'),
      call("no match at all", data + 3, 'Z'),
      call("terminator's own address", data + 53, 0),
  };
}

SSE2STR_FRAME_TESTS(StrrchrFrame, __strrchr_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
