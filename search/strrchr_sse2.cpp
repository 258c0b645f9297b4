// SPDX-License-Identifier: MIT
// __strrchr_sse2: the last byte of the string at `start` that equals the low
// byte of `value`, the terminator included, or null.
//
// Stages, in the order they run:
//   first block   the 16 bytes at the start, read unaligned when they stay
//                 inside the start's line, else as the aligned block that
//                 holds the start with both masks shifted to drop the bytes
//                 in front of it;
//   main loop     aligned blocks, four to a pass, each only tested for a
//                 match or a zero byte; a block with a match and no zero
//                 byte replaces the saved match wholesale;
//   final block   the block with the terminator: its matches past the
//                 terminator are dropped, and the last survivor wins, else
//                 the last match of the saved block.
// The string is scanned once, front to back, and no position is worked out
// until the final block.  A block is read only while every byte in front of
// it is free of the terminator, and an aligned block never crosses a page.
//
// The routine runs in the three scratch general registers and the SIMD
// ones (the module is built with the callee-saved registers fixed), so no
// path saves a register.  The loop needs all three general registers for
// the scan pointer, a block's zero mask and the OR of its two masks: the
// saved match waits in two SIMD registers.  The first block and the loop
// end in one final-block resolution, reached by jumps with its inputs in
// the variables it reads.
#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"

using namespace sse2str;

// Mask of the positions up to and including `t`: 2^(t+1) - 1.
template <unsigned T>
SSE2STR_INLINE unsigned through(Position<T>) {
  return (2u << T) - 1;
}

// A block leaves the loop once per string, however long the string is.
// Told that a step leaves it about one time in thirty, GCC lays the loop
// out for many passes: its head on a 16-byte boundary, entered by a jump
// instead of through padding.  At the odds __builtin_expect gives, it lays
// it out for a few passes and leaves the head where it falls.
SSE2STR_INLINE bool leaves_the_loop(bool test) {
  return __builtin_expect_with_probability(test, 1, 0.03);
}

// The latest block that held a match and no zero byte: its value mask (0
// while there is none) and the address bit 0 of the mask stands for, each
// in the low lane of a SIMD register.  Saving one costs two MOVD, and so
// does taking it back.  The empty asm statement where a lane is read makes
// its value unknown to the compiler, which therefore cannot answer the read
// from the general register the lane was filled from: that register would
// have to stay live through the loop.
class SavedMatch {
 public:
  SavedMatch() = default;
  SSE2STR_INLINE SavedMatch(const char* base, unsigned mask)
      : base_(lane_of(reinterpret_cast<uintptr_t>(base))), mask_(lane_of(mask)) {}
  // Nothing saved: the mask alone says so, and the base, never read then,
  // keeps whatever its register holds (an empty asm, no instruction).
  SSE2STR_INLINE void clear() {
    asm("" : "=x"(base_));
    mask_ = lane_of(0);
  }
  SSE2STR_INLINE unsigned mask() { return word_in(mask_); }
  SSE2STR_INLINE const char* base() { return reinterpret_cast<const char*>(word_in(base_)); }

 private:
  static SSE2STR_INLINE Block lane_of(uint32_t word) {
    return _mm_cvtsi32_si128(static_cast<int>(word));
  }
  static SSE2STR_INLINE uint32_t word_in(Block& lane) {
    keep_as_is(lane);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(lane));
  }
  Block base_;
  Block mask_;
};

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
char* strrchr_body(const char* start, int value) SSE2STR_UNNAMED(strrchr_body);
SSE2STR_CHECK_PROTOTYPE(strrchr_body);

char* strrchr_body(const char* start, int value) {
  // The broadcast byte is made in the register it keeps through the loop.
  Block needle = broadcast_byte(value);
  keep_as_is(needle);
  ZeroVector zeros = zero_vector();
  const char* base;     // mask base of the block being classified
  unsigned zero_mask;   // its zero bytes
  unsigned value_mask;  // its matching bytes
  unsigned either;      // the OR of the two, all the loop keeps of the value mask
  SavedMatch saved;
  const char* scan;  // the next aligned block to read
  Block matches;     // the value comparison of the block that left the loop
  unsigned last;     // the mask whose last match is the result, at `base`

  // One step of the main loop on the aligned block at `block`: its zero
  // mask, compared into the zero vector (a block without a zero byte leaves
  // the vector cleared), and its value comparison, in the register the
  // block was loaded into (the broadcast byte stays whole, no copy of it).
  // Returns the OR of the two masks: the value mask is left to the
  // comparison, and taken again only when the block holds the terminator.
  auto step = [&](const char* block) {
    Block loaded = load_aligned(block);
    keep_as_is(loaded);
    zero_mask = zero_mask_in_place(zeros, loaded);
    matches = equal_bytes(loaded, needle);
    return zero_mask | mask_of(matches);
  };

  // ---- first block: mask base is the start ----
  // Neither way compares into the zero vector, which the loop then takes
  // as it is: the bytes read in front of the start may be zero.  (The
  // unaligned way could, as its block holds no zero byte on the way to the
  // loop; GCC then clears the vector again on the aligned way before the
  // test both ways share, an instruction more for every first block that
  // holds the terminator there.)
  if (line_offset(start) <= kLastWholeBlockInLine) {
    // The 16 bytes from the start end inside the start's line.  The block
    // takes the value comparison itself, so the broadcast byte stays whole.
    Block block = load_unaligned(start);
    keep_as_is(block);
    zero_mask = zero_mask_of(block, zeros);
    value_mask = match_mask(block, needle);
  } else {
    // Unaligned 16 bytes would cross into the next line, perhaps the next
    // page: read the aligned block instead and shift out the bytes in front
    // of the start, whatever they hold.
    const size_t skew = block_offset(start);
    const Block block = load_aligned(block_align_down(start));
    zero_mask = zero_mask_of(block, zeros) >> skew;
    value_mask = match_mask(block, needle) >> skew;
    // The shift count and the two masks fill the general registers: the
    // start is read again rather than kept.
    start = argument_word<const char*>(0);
  }
  base = start;
  if (zero_mask) {
    if (value_mask == 0) return nullptr;  // no earlier block to fall back on
    // The final block falls back on the saved match, empty here: matches
    // that all lie past the terminator give null through its test.  Null
    // at once would need a first-match cascade of this block's own.
    saved.clear();
    goto final_block;
  }
  // Either way the next block to read is the aligned block that holds byte
  // 16 (it overlaps an unaligned first read by as many bytes as the start
  // lies past its block).
  saved = SavedMatch(start, value_mask);
  scan = block_align_down(start + kBlockSize);

  // ---- main loop: aligned blocks, only the OR of the two masks tested ----
  for (;;) {
#pragma GCC unroll 3
    for (size_t offset = 0; offset < kLineSize - kBlockSize; offset += kBlockSize) {
      either = step(scan + offset);
      if (leaves_the_loop(either != 0)) {
        scan += offset;
        goto classify;
      }
    }
    // The fourth step moves the scan pointer on to the next line ahead of
    // its test, so that nothing stands between the tests on the way round
    // and the loop branches back on a test of its own (GCC lays it out
    // from the second step, entered by a jump, the first step's test
    // branching back).  Held there, as GCC would move the addition past
    // the test onto the way back.  A block found here lies one block
    // behind the pointer.
    either = step(scan + kLineSize - kBlockSize);
    scan += kLineSize;
    keep_as_is(scan);
    if (!leaves_the_loop(either != 0)) continue;
    scan -= kBlockSize;

  classify:
    base = scan;
    if (zero_mask == 0) {
      // Matches and no terminator yet: they are the latest, whatever came
      // before, and the OR is their mask.  The loop goes on with the next
      // block, at its first step.
      saved = SavedMatch(scan, either);
      scan += kBlockSize;
      continue;
    }
    // The terminator's block: its value mask is taken again from the
    // comparison.  Without a match of its own, the saved one decides.
    keep_as_is(matches);
    value_mask = mask_of(matches);
    if (value_mask == 0) goto saved_block;
    goto final_block;
  }

  // ---- final block: the block with the terminator, at `base` ----
  // Its matches after the terminator are dropped, the terminator's own bit
  // kept (it is set only when the value is zero, and then it is the last
  // match).  The last survivor wins, else the last match of the saved
  // block, else null.
// Matches that all lie past the terminator are the rare case: said so, GCC
// runs a position's mask straight on into the last-match cascade, and the
// saved block is the one that branches.
final_block:
  last = value_mask & first_match(zero_mask, [](auto terminator) { return through(terminator); });
  if (last) goto last_of_block;
saved_block:
  last = saved.mask();
  if (last == 0) return nullptr;
  base = saved.base();
last_of_block:
  return last_match(last, [base](auto position) {
    if constexpr (position == 0) own_return();
    return const_cast<char*>(base + position);
  });
}

SSE2STR_ENTRY_END();
