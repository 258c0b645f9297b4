// SPDX-License-Identifier: MIT
// __stpcpy_sse2 against the reference model, with source and destination
// each against inaccessible pages.
#include <algorithm>
#include <string>
#include <vector>

#include "check.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {
namespace {

using stpcpy_stages::kBlockPhaseBlocks;
using stpcpy_stages::kBlockPhaseReach;

// Junk after a source string, at most.
constexpr size_t kJunk = kLineSize;

// Junk after the terminator of `source` (as far as its window `from` goes)
// that a copy must neither store nor stop at.
void add_junk(Operand& source, const Window& from, TestRandom& random) {
  source.after.resize(std::min(kJunk, room_after(source.anchor, source.bytes.size(), from)));
  for (unsigned char& b : source.after) b = random.byte();
}

// A random string of `length` bytes at `anchor` in `from`.
Operand random_string(Anchor anchor, size_t length, const Window& from, TestRandom& random) {
  Operand source;
  source.anchor = anchor;
  source.bytes = random.string(length);
  add_junk(source, from, random);
  return source;
}

// The copy of `source` to `destination` in `to`.  Each destination byte
// the copy stores, and each one over the source's junk, first differs from
// the source byte that would land on it, so a byte left unwritten, or one
// written beyond the terminator, shows.
Trial copy_trial(const Operand& source, Anchor destination, const Window& to) {
  Trial t;
  t.routine = Routine::stpcpy;
  t.first = source;
  t.second.anchor = destination;
  t.second.backdrop = 0x5A;
  for (unsigned char b : source.bytes) t.second.bytes.push_back(~b);
  const size_t room = room_after(destination, source.bytes.size(), to);
  for (size_t i = 0; i < std::min(room, source.after.size()); ++i)
    t.second.after.push_back(~source.after[i]);
  return t;
}

// Where a string of the source starts, relative to the phases of the copy:
// A, the aligned block that holds byte 16, lies `first_block` bytes in
// (1 to 16), and the line loop starts at B, the line that holds A plus the
// block phase's reach.
struct Phases {
  size_t first_block;
  size_t first_line;
};

Phases phases_for(uintptr_t source) {
  const uintptr_t a = (source + kBlockSize) & ~uintptr_t{kBlockSize - 1};
  const uintptr_t b = (a + kBlockPhaseReach) & ~uintptr_t{kLineSize - 1};
  return {a - source, b - source};
}

std::ostream& operator<<(std::ostream& out, const Phases& at) {
  return out << "A at +" << at.first_block << ", B at +" << at.first_line;
}

// Every length through the first two phases and into the line loop, from
// every source offset in a line to every destination offset in a block.
// The source starts a page after an inaccessible one, the destination
// likewise, so reads in front of the source and writes in front of the
// destination fault.
TEST(Stpcpy, CopiesEveryLengthFromEverySourceToEveryDestinationOffset) {
  GuardedPages from(1), to(1);
  TestRandom random(1);
  constexpr size_t kMaxLength = kBlockSize + kBlockPhaseReach + 2;
  size_t length = 0, source_offset = 0, destination_offset = 0;
  const auto at = where("length", length, "source offset", source_offset, "destination offset",
                        destination_offset);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (length = 0; length <= kMaxLength; ++length) {
      for (source_offset = 0; source_offset < kLineSize; ++source_offset) {
        const Operand source = random_string({false, source_offset}, length, from.window(), random);
        for (destination_offset = 0; destination_offset < kBlockSize; ++destination_offset) {
          if (!agrees(copy_trial(source, {false, destination_offset}, to.window()))) return;
        }
      }
    }
  });
}

// Terminators on both sides of each phase border, for every source offset:
// the last short string and the first long one, the last byte of A and the
// first after it, the last byte of the block phase and the first of the line
// loop, and every block of the first, second and fourth line.
TEST(Stpcpy, CopiesAcrossEveryPhaseBorder) {
  GuardedPages from(2), to(2);
  TestRandom random(2);
  size_t length = 0, source_offset = 0, destination_offset = 0;
  Phases phases{};
  const auto at = where("length", length, "source offset", source_offset, "phases", phases,
                        "destination offset", destination_offset);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (source_offset = 0; source_offset < kLineSize; ++source_offset) {
      phases = phases_for(reinterpret_cast<uintptr_t>(from.begin() + source_offset));
      std::vector<size_t> lengths = {kBlockSize - 1,
                                     kBlockSize,
                                     phases.first_block + kBlockSize - 1,
                                     phases.first_block + kBlockSize,
                                     phases.first_block + kBlockPhaseReach - 1,
                                     phases.first_block + kBlockPhaseReach};
      for (size_t line : {0, 1, 3})
        for (size_t block = 0; block < kLineSize / kBlockSize; ++block)
          for (size_t position : {0, 1, 7, 8, 14, 15})
            lengths.push_back(phases.first_line + line * kLineSize + block * kBlockSize + position);
      for (size_t n : lengths) {
        length = n;
        const Operand source = random_string({false, source_offset}, length, from.window(), random);
        for (destination_offset = 0; destination_offset < kBlockSize; ++destination_offset) {
          if (!agrees(copy_trial(source, {false, destination_offset}, to.window()))) return;
        }
      }
    }
  });
}

// Strings of several thousand bytes: the line loop runs many times.
TEST(Stpcpy, CopiesLongStrings) {
  expect_random_trials_agree(4, 3, 300, [](TestRandom& random, const Window& window) {
    const size_t length = 1000 + random.below(window.size() - 1000 - 2 * kLineSize);
    const Operand source = random_string({false, random.below(kLineSize)}, length, window, random);
    return copy_trial(source, {false, random.below(kLineSize)}, window);
  });
}

// Bytes 0x80 to 0xFF are copied as they are and never taken for the
// terminator: the zero test must treat bytes as unsigned.
TEST(Stpcpy, CopiesBytesWithTheTopBitSetUnchanged) {
  GuardedPages from(1), to(1);
  TestRandom random(4);
  size_t source_offset = 0, length = 0;
  const auto at = where("source offset", source_offset, "length", length);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (source_offset = 0; source_offset < kLineSize; ++source_offset) {
      for (length = 0; length <= 300; ++length) {
        Operand source;
        source.anchor = {false, source_offset};
        for (size_t i = 0; i < length; ++i)
          source.bytes.push_back(0x80 + (i * 37 + source_offset) % 0x80);
        source.bytes.push_back(0);
        add_junk(source, from.window(), random);
        if (!agrees(copy_trial(source, {false, length % kBlockSize}, to.window()))) return;
      }
    }
  });
}

// A terminator that is the last byte of a page followed by an inaccessible
// one: no read may touch that page.  The lengths run through every phase
// with the source at every offset in its line many times over.
TEST(Stpcpy, ReadsNothingPastTheTerminatorsPage) {
  GuardedPages from(2), to(2);
  TestRandom random(5);
  size_t length = 0;
  const auto at = where("length", length);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (length = 0; length <= 1100; ++length) {
      const Operand source = random_string({true, 0}, length, from.window(), random);
      const Anchor destination{false, kLineSize + random.below(kLineSize)};
      if (!agrees(copy_trial(source, destination, to.window()))) return;
    }
  });
}

// A source that starts near the end of a page and goes on into the next,
// for short and long strings.
TEST(Stpcpy, CopiesStringsThatCrossAPage) {
  GuardedPages from(2), to(1);
  TestRandom random(6);
  size_t before_page = 0, length = 0;
  const auto at = where("bytes before the page", before_page, "length", length);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (before_page = 1; before_page <= kLineSize + 16; ++before_page) {
      const Anchor source_at{false, page_size() - before_page};
      for (length = 0; length <= 300; ++length) {
        const Operand source = random_string(source_at, length, from.window(), random);
        if (!agrees(copy_trial(source, {false, random.below(kBlockSize)}, to.window()))) return;
      }
    }
  });
}

// A destination of exactly length + 1 bytes that ends at an inaccessible
// page: nothing after the terminator's copy may be written.
TEST(Stpcpy, WritesNothingPastADestinationOfExactLength) {
  GuardedPages from(1), to(1);
  TestRandom random(7);
  size_t length = 0, source_offset = 0;
  const auto at = where("length", length, "source offset", source_offset);
  expect_trials_agree(at, sweep_arena(from.window(), to.window()), [&](auto&& agrees) {
    for (length = 0; length <= 300; ++length) {
      for (source_offset = 0; source_offset < kLineSize; ++source_offset) {
        const Operand source = random_string({false, source_offset}, length, from.window(), random);
        if (!agrees(copy_trial(source, {true, 0}, to.window()))) return;
      }
    }
  });
}

// Calls that take each path of the routine, for the frame checks.  Every
// case has a source and a destination region of its own.
std::vector<FrameCase> frame_cases() {
  constexpr size_t kRegion = kBlockSize + kBlockPhaseReach + 6 * kLineSize;
  constexpr size_t kCases = 11;
  alignas(64) static char sources[kCases][kRegion];
  alignas(64) static char destinations[kCases][kRegion];
  size_t next = 0;
  std::vector<FrameCase> cases;
  // `length` maps the source's phases to the length that reaches the path.
  auto add = [&](const std::string& label, size_t source_offset, auto length) {
    char* const source = sources[next] + source_offset;
    char* const destination = destinations[next] + 3;
    ++next;
    const size_t n = length(phases_for(reinterpret_cast<uintptr_t>(source)));
    for (size_t i = 0; i < n; ++i) source[i] = static_cast<char>('a' + i % 26);
    source[n] = 0;
    // No path saves a register (the cases' default).
    cases.push_back({label, {word(destination), word(source)}, word(destination + n)});
  };
  add("empty string", 0, [](Phases) { return 0; });
  add("short string", 1, [](Phases) { return 7; });
  add("longest short string", 5, [](Phases) { return 15; });
  add("terminator first in A", 0, [](Phases) { return 16; });
  add("terminator later in A", 3, [](Phases at) { return at.first_block + 9; });
  add("terminator in the block phase", 7,
      [](Phases at) { return at.first_block + (kBlockPhaseBlocks + 1) / 2 * kBlockSize + 2; });
  add("terminator in block 3 of the first line", 9, [](Phases at) { return at.first_line + 50; });
  for (size_t block = 0; block < 4; ++block) {
    add("terminator in block " + std::to_string(block) + " of a later line", 11 + block,
        [block](Phases at) { return at.first_line + 2 * kLineSize + block * kBlockSize + 6; });
  }
  return cases;
}

SSE2STR_FRAME_TESTS(StpcpyFrame, __stpcpy_sse2, frame_cases)

}  // namespace
}  // namespace sse2str::test
