// SPDX-License-Identifier: MIT
// The building blocks on their own: the cascades and the bound test
// (frame/cascade.h), the stages of a bounded scan (frame/scan.h) and the
// fills' closing run (fill/fill.h), each against a plain model over every
// mask, bound, length or residue it can be given.  The routine tests reach
// the blocks only through whole routines; here a fault is reported with the
// mask, bound or residue that shows it, and with the share of the sweep it
// spoils, which tells one wrong position from a block wrong throughout.
#include <gtest/gtest.h>
#include <stdio.h>

#include <array>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "fill/fill.h"
#include "frame/cascade.h"
#include "frame/scan.h"
#include "guard.h"

namespace sse2str::test {
namespace {

// ---- models and reports ------------------------------------------------------

unsigned lowest_set_bit(unsigned mask) {
  unsigned bit = 0;
  while ((mask & (1u << bit)) == 0) ++bit;
  return bit;
}

unsigned highest_set_bit(unsigned mask) {
  unsigned bit = kBlockSize - 1;
  while ((mask & (1u << bit)) == 0) --bit;
  return bit;
}

// How often an exit was called, for messages.
std::string times(int calls) {
  return calls == 0 ? "never" : calls == 1 ? "once" : std::to_string(calls) + " times";
}

// A mask in four hex digits, or a byte in two.
std::string hex(unsigned value, int digits = 4) {
  char text[16];
  snprintf(text, sizeof text, "0x%0*x", digits, value);
  return text;
}

// The cases of one sweep that disagree with the model: the first is
// reported as its `describe(out)` tells it, with the count of all.
class Disagreements {
 public:
  template <class Describe>
  void count(bool agrees, Describe&& describe) {
    ++cases_;
    if (agrees || disagreements_++ != 0) return;
    std::ostringstream out;
    describe(out);
    first_ = out.str();
  }
  void report() const {
    if (disagreements_ != 0)
      ADD_FAILURE() << first_ << " (" << disagreements_ << " of " << cases_ << " cases disagree)";
  }

 private:
  size_t cases_ = 0;
  size_t disagreements_ = 0;
  std::string first_;
};

// ---- the cascades ------------------------------------------------------------

// Every non-zero mask through `cascade(mask, exit)`: the exit must be called
// once, with the position `model(mask)` as a compile-time constant, and what
// it returns must come back.
template <class Cascade>
void expect_every_mask_taken_to(unsigned (*model)(unsigned), Cascade&& cascade) {
  Disagreements disagreements;
  for (unsigned mask = 1; mask <= kFullMask; ++mask) {
    int calls = 0;
    const unsigned position = cascade(mask, [&calls](auto p) {
      ++calls;
      return unsigned{decltype(p)::value};
    });
    disagreements.count(calls == 1 && position == model(mask), [&](std::ostream& out) {
      out << "mask " << hex(mask) << ": position " << position << ", expected " << model(mask);
      if (calls != 1) out << "; the exit called " << times(calls) << ", expected once";
    });
  }
  disagreements.report();
}

TEST(Cascade, FirstMatchIsTheLowestSetBitOfEveryMask) {
  expect_every_mask_taken_to(lowest_set_bit,
                             [](unsigned mask, auto&& exit) { return first_match(mask, exit); });
}

TEST(Cascade, LinearFirstMatchIsTheLowestSetBitOfEveryMask) {
  expect_every_mask_taken_to(
      lowest_set_bit, [](unsigned mask, auto&& exit) { return first_match_linear(mask, exit); });
}

TEST(Cascade, LastMatchIsTheHighestSetBitOfEveryMask) {
  expect_every_mask_taken_to(highest_set_bit,
                             [](unsigned mask, auto&& exit) { return last_match(mask, exit); });
}

// Every non-zero mask with every count of remaining bytes that splits a
// block, one that reaches just past it, a line, and counts with the top bit
// set, which an ordering taken as signed would put below every position.
// A block is examined only while a byte of the range remains, so no count
// is 0.  A position at or beyond the count is outside the range: nothing is
// found, and the exit is not called.
TEST(Cascade, BoundedFirstMatchTakesOnlyPositionsInsideTheRange) {
  std::vector<size_t> counts;
  for (size_t count = 1; count <= kBlockSize + 1; ++count) counts.push_back(count);
  for (size_t count : {kLineSize, SIZE_MAX / 2 + 1, SIZE_MAX}) counts.push_back(count);

  Disagreements disagreements;
  for (unsigned mask = 1; mask <= kFullMask; ++mask) {
    const unsigned first = lowest_set_bit(mask);
    for (size_t remaining : counts) {
      const bool inside = first < remaining;
      int calls = 0;
      unsigned position = 0;
      const bool found = first_match_within(mask, remaining, [&](auto p) {
        ++calls;
        position = decltype(p)::value;
      });
      const bool agrees =
          found == inside && calls == (inside ? 1 : 0) && position == (inside ? first : 0);
      disagreements.count(agrees, [&](std::ostream& out) {
        out << "mask " << hex(mask) << ", " << remaining << " bytes remaining: "
            << (found ? "found at position " + std::to_string(position) : "nothing found")
            << ", expected "
            << (inside ? "position " + std::to_string(first) : std::string("nothing"));
        if (calls != (inside ? 1 : 0))
          out << "; the exit called " << times(calls) << ", expected " << times(inside);
      });
    }
  }
  disagreements.report();
}

// ---- the stages of a bounded scan --------------------------------------------

// What a scan stage reads of a line: `mask_at` hands out each block's mask
// from a table and records every read, by the block its address names and
// by the index the stage gives with it.  The line's bytes only give the
// addresses; nothing reads them.
struct FakeLine {
  alignas(kLineSize) char bytes[kLineSize] = {};
  unsigned masks[kBlocksPerLine] = {};
  struct Read {
    ptrdiff_t offset;
    size_t index;
  };
  Read reads[2 * kBlocksPerLine] = {};
  size_t read_count = 0;

  // Blocks with a match are the set bits of `matching`; the mask of block k
  // is bit `(bit + 4k) % 16`, so each block's differs.
  FakeLine(unsigned matching, unsigned bit) {
    for (size_t k = 0; k < kBlocksPerLine; ++k)
      if (matching & (1u << k)) masks[k] = 1u << ((bit + 4 * k) % kBlockSize);
  }

  auto mask_at() {
    return [this](const char* block, size_t index) {
      if (read_count < std::size(reads)) reads[read_count++] = {block - bytes, index};
      return masks[index % kBlocksPerLine];
    };
  }

  // True when the reads are the blocks 0 to `last`, in order, each with its
  // own index.
  bool read_blocks_up_to(size_t last) const {
    if (read_count != last + 1) return false;
    for (size_t k = 0; k <= last; ++k)
      if (reads[k].offset != static_cast<ptrdiff_t>(k * kBlockSize) || reads[k].index != k)
        return false;
    return true;
  }

  void describe_reads(std::ostream& out) const {
    out << "read";
    for (size_t i = 0; i < read_count; ++i)
      out << (i ? ", " : " ") << "offset " << reads[i].offset << " as block " << reads[i].index;
  }
};

// The blocks with a match, for messages.
std::string listed(unsigned matching) {
  std::string list;
  for (size_t k = 0; k < kBlocksPerLine; ++k)
    if (matching & (1u << k)) list += (list.empty() ? "" : ", ") + std::to_string(k);
  return list.empty() ? "no block with a match" : "a match in block " + list;
}

// The first block of the first `blocks` that has a match, or `blocks`.
size_t first_matching(const FakeLine& line, size_t blocks) {
  size_t k = 0;
  while (k < blocks && line.masks[k] == 0) ++k;
  return k;
}

// A pass over the four blocks of a line, with a match in every choice of
// them: it reads up to the first with a match and stops there, the scan
// pointer left at the line, and step_to_block then moves the pointer to
// that block; with no match it reads all four and moves a line on.
TEST(Scan, PassStopsAtTheFirstBlockWithAMatch) {
  Disagreements disagreements;
  for (unsigned matching = 0; matching < (1u << kBlocksPerLine); ++matching) {
    for (unsigned bit = 0; bit < kBlockSize; ++bit) {
      FakeLine line(matching, bit);
      const char* scan = line.bytes;
      unsigned mask = 0;
      size_t block = 0;
      const bool found = find_in_pass(scan, mask, block, line.mask_at());
      const size_t first = first_matching(line, kBlocksPerLine);
      const bool expect_found = first < kBlocksPerLine;
      const char* const stopped_at = scan;
      bool agrees = found == expect_found &&
                    line.read_blocks_up_to(expect_found ? first : kBlocksPerLine - 1);
      if (agrees && expect_found) {
        step_to_block(scan, block);
        agrees = stopped_at == line.bytes && block == first && mask == line.masks[first] &&
                 scan == line.bytes + first * kBlockSize;
      } else if (agrees) {
        agrees = scan == line.bytes + kLineSize;
      }
      disagreements.count(agrees, [&](std::ostream& out) {
        out << listed(matching) << ", mask bit " << bit << ": ";
        line.describe_reads(out);
        out << "; " << (found ? "found" : "nothing found") << " with scan at line + "
            << stopped_at - line.bytes;
        if (found)
          out << ", block " << block << ", mask " << hex(mask) << ", stepped to line + "
              << scan - line.bytes;
        out << "; expected ";
        if (expect_found)
          out << "block " << first << ", mask " << hex(line.masks[first]);
        else
          out << "nothing, scan at line + " << kLineSize;
      });
    }
  }
  disagreements.report();
}

// The tail at every length from 1 to 64, with a match in every choice of the
// blocks: it reads only the blocks that hold a byte of the range, up to the
// first with a match, and moves the scan pointer and the remaining count to
// that block.
TEST(Scan, TailReadsOnlyTheBlocksTheRangeReaches) {
  Disagreements disagreements;
  for (size_t length = 1; length <= kLineSize; ++length) {
    const size_t reached = (length + kBlockSize - 1) / kBlockSize;
    for (unsigned matching = 0; matching < (1u << kBlocksPerLine); ++matching) {
      for (unsigned bit = 0; bit < kBlockSize; ++bit) {
        FakeLine line(matching, bit);
        const char* scan = line.bytes;
        size_t remaining = length;
        unsigned mask = 0;
        const bool found = find_in_tail(scan, remaining, mask, line.mask_at());
        const size_t first = first_matching(line, reached);
        const bool expect_found = first < reached;
        bool agrees =
            found == expect_found && line.read_blocks_up_to(expect_found ? first : reached - 1);
        if (agrees && expect_found)
          agrees = scan == line.bytes + first * kBlockSize && mask == line.masks[first] &&
                   remaining == length - first * kBlockSize;
        disagreements.count(agrees, [&](std::ostream& out) {
          out << "length " << length << ", " << listed(matching) << ", mask bit " << bit << ": ";
          line.describe_reads(out);
          out << "; " << (found ? "found" : "nothing found");
          if (found)
            out << " at line + " << scan - line.bytes << ", mask " << hex(mask) << ", " << remaining
                << " remaining";
          out << "; expected blocks 0 to " << (expect_found ? first : reached - 1) << " read";
          if (expect_found)
            out << ", found at line + " << first * kBlockSize << ", mask " << hex(line.masks[first])
                << ", " << length - first * kBlockSize << " remaining";
        });
      }
    }
  }
  disagreements.report();
}

// ---- the fills' closing run ----------------------------------------------------

constexpr unsigned char kBackdrop = 0x3C;

template <size_t R, class Pattern>
void run_closing(char* end, Pattern pattern) {
  closing_run<R>(end, pattern, pattern.block());
}

// closing_run for every residue, by the residue.
template <class Pattern, size_t... R>
constexpr auto closing_runs(std::index_sequence<R...>) {
  return std::array<void (*)(char*, Pattern), sizeof...(R)>{&run_closing<R, Pattern>...};
}

// The closing run of every residue, its range against the guard page after
// it and the one before it, at every distance from the guard below a
// block: it stores the fill byte in exactly the residue's bytes in front of
// the end, and touches no other byte of the page.
template <class Pattern>
void expect_closing_runs_exact(Pattern pattern, unsigned char stored) {
  constexpr auto runs = closing_runs<Pattern>(std::make_index_sequence<kBlockSize>{});
  GuardedPages pages(1);
  Disagreements disagreements;
  for (size_t residue = 0; residue < kBlockSize; ++residue) {
    for (bool before_guard : {true, false}) {
      for (size_t distance = 0; distance < kBlockSize; ++distance) {
        char* const end =
            before_guard ? pages.end() - distance : pages.begin() + distance + residue;
        pages.fill(kBackdrop);
        const Fault fault = run_catching_faults([&] { runs[residue](end, pattern); });
        const char* wrong = nullptr;
        for (const char* p = pages.begin(); p < pages.end() && wrong == nullptr; ++p) {
          const bool inside = p >= end - residue && p < end;
          if (static_cast<unsigned char>(*p) != (inside ? stored : kBackdrop)) wrong = p;
        }
        disagreements.count(!fault && wrong == nullptr, [&](std::ostream& out) {
          out << "residue " << residue << ", the range " << (before_guard ? "ending " : "starting ")
              << distance << " bytes " << (before_guard ? "before" : "after") << " a guard page: ";
          if (fault)
            out << "a store faulted at end + "
                << static_cast<ptrdiff_t>(fault.address - reinterpret_cast<uintptr_t>(end));
          else
            out << "the byte at end + " << wrong - end << " is "
                << hex(static_cast<unsigned char>(*wrong), 2);
          out << ", expected " << hex(stored, 2) << " from end - " << residue
              << " up to the end and " << hex(kBackdrop, 2) << " elsewhere";
        });
      }
    }
  }
  disagreements.report();
}

TEST(Fill, ClosingRunStoresExactlyTheResidue) {
  constexpr unsigned char kValue = 0xA5;
  expect_closing_runs_exact(BytePattern{broadcast_word(kValue)}, kValue);
  expect_closing_runs_exact(ZeroPattern::cleared(), 0);
}

}  // namespace
}  // namespace sse2str::test
