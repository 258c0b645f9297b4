// SPDX-License-Identifier: MIT
// __memchr_sse2 against the reference model, at every placement.
#include "check.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {
namespace {

using memchr_stages::kAlignedPasses;

// Bytes from the start up to the end of the aligned passes, at most: the
// first block, then the passes.
constexpr size_t kAlignedReach = kBlockSize + kAlignedPasses * kLineSize;

// Every start offset in a line, every count through the first block, the
// aligned passes, two turns of the line loop and every tail length, a
// single match at every position of the range, none at all, and decoys:
// matching bytes just in front of the start (inside its aligned block),
// just past the end and after the first match.
TEST(Memchr, MatchesReferenceForEveryOffsetCountAndPosition) {
  GuardedPages pages(2);
  TestRandom random(1);
  constexpr size_t kMaxCount = kAlignedReach + 3 * kLineSize;
  size_t offset = 0, count = 0;
  long position = 0;
  const auto at = where("offset", offset, "count", count, "match at", position);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (offset = 0; offset < kLineSize; ++offset) {
      for (count = 0; count <= kMaxCount; ++count) {
        Trial t = trial_of(Routine::memchr, {false, kLineSize + offset}, count);
        // The range with a line of surroundings on each side.
        std::vector<unsigned char> area(count + 2 * kLineSize);
        unsigned char* const start = area.data() + kLineSize;
        const unsigned char needle = random.byte();
        random.fill_avoiding(area.data(), area.size(), needle);
        start[-1 - static_cast<long>(random.below(16))] = needle;
        start[count] = needle;
        start[count + 1 + random.below(16)] = needle;
        for (position = -1; position < static_cast<long>(count); ++position) {
          size_t decoy = 0;
          if (position >= 0) {
            start[position] = needle;
            decoy = position + 1 + random.below(count - position + 16);
            start[decoy] = needle;
          }
          t.value = value_with_junk(needle, random);
          cut(t.first, area, kLineSize, count);
          if (!agrees(t)) return;
          if (position >= 0) {
            start[position] = random.byte_other_than(needle);
            if (decoy < count) start[decoy] = random.byte_other_than(needle);
          }
        }
      }
    }
  });
}

TEST(Memchr, UsesOnlyTheLowByteOfTheValue) {
  expect_only_the_low_byte_counts(Routine::memchr, 0, {0x141, 256, -1}, 256);
}

TEST(Memchr, ZeroCountReadsNothing) {
  expect_touches_nothing([](const char* start) { EXPECT_EQ(__memchr_sse2(start, 0, 0), nullptr); });
}

// A range that ends at the last byte of a page followed by an unmapped page,
// and one that begins a page preceded by an unmapped page: no read may
// touch the unmapped pages, whatever the count and offset.  Every other byte
// of the pages matches.
TEST(Memchr, NeverReadsAPageOutsideTheRange) {
  GuardedPages pages(2);
  TestRandom random(2);
  size_t count = 0, edge = 0;
  int match = 0;
  const auto at = where("count", count, "match (none, first, last)", match, "edge", edge);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (count = 0; count <= 600; ++count) {
      for (match = 0; match < 3; ++match) {
        for (edge = 0; edge < kEdges; ++edge) {
          Trial t = trial_of(Routine::memchr, edge_anchor(edge), count, 'x');
          std::vector<unsigned char>& range = t.first.bytes = random.bytes_avoiding(count, 'x');
          t.first.backdrop = 'x';
          if (count > 0 && match > 0) (match == 1 ? range.front() : range.back()) = 'x';
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// The count is unsigned and never added to the start: a count far beyond
// the object, even past the top of the address space, finds a match that
// lies in readable memory, including one at the very end of a page, and
// not the matches that follow it.
TEST(Memchr, CountsWithTheTopBitSetFindTheMatch) {
  GuardedPages pages(2);
  TestRandom random(3);
  size_t count = 0, offset = 0, distance = 0;
  const auto at = where("count", count, "offset", offset, "distance", distance);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (size_t top_bit_count : {0x80000000u, 0x80000001u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
      count = top_bit_count;
      for (offset = 0; offset < kLineSize; ++offset) {
        for (distance = 0; distance < 400; distance += 7) {
          // The object ends at the page boundary, or a line or two before
          // it, with its match last.
          Trial t = trial_of(Routine::memchr, {true, (offset % 3) * kLineSize}, count, 0xA5);
          t.first.backdrop = 0xA5;
          t.first.bytes = random.bytes_avoiding(distance + offset, 0xA5);
          t.first.bytes.push_back(0xA5);
          if (!agrees(t)) return;
        }
      }
    }
  });
}

// Long ranges with random contents and match densities: the line loop runs
// many times and finds matches in every block of a line.
TEST(Memchr, LongRangesMatchReference) {
  expect_random_trials_agree(4, 4, 3000, [](TestRandom& random, const Window& window) {
    const size_t count = random.below(window.size() - kLineSize);
    Trial t = trial_of(Routine::memchr, {true, random.below(kLineSize)});
    const unsigned char needle = t.value = t.first.backdrop = random.byte();
    std::vector<unsigned char>& range = t.first.bytes = random.bytes_avoiding(count, needle);
    const size_t matches = random.below(4);
    for (size_t i = 0; i < matches && count > 0; ++i) range[random.below(count)] = needle;
    t.count = random.below(2) ? count : random.below(count + 1);
    return t;
  });
}

// Calls that take each path of the routine, for the frame checks.
std::vector<FrameCase> frame_cases() {
  // Y in the first aligned pass, X a few lines into the line loop.
  constexpr size_t kY = 70, kX = kAlignedReach + 8 * kLineSize + 44;
  static_assert(kAlignedPasses > 0 && kY >= 3 + kBlockSize && kY < 3 + kBlockSize + kLineSize);
  alignas(64) static char data[kX + 5 * kLineSize];
  for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<char>('a' + i % 16);
  data[kX] = 'X';
  data[kY] = 'Y';
  // No path saves a register (the cases' default): the routine runs in the
  // scratch ones.
  auto call = [](const char* label, const char* start, int value, size_t count) {
    return FrameCase{
        label, {word(start), word(value), word(count)}, word(ref::memchr(start, value, count))};
  };
  return {
      call("zero count", nullptr, 'a', 0),
      call("match in the unaligned first block", data + 5, 'h', 40),
      call("match in the aligned first block", data + 53, 'p', 40),
      call("no match within a short count", data + 53, 'X', 8),
      call("match in an aligned pass", data + 3, 'Y', kAlignedReach + kLineSize),
      call("match in the line loop", data + 3, 'X', sizeof data - 3),
      call("match past the count in the tail", data + 3, 'X', kX - 3),
      call("no match at all", data + 3, 'Z', sizeof data - 3),
  };
}

SSE2STR_FRAME_TESTS(MemchrFrame, __memchr_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
