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
#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"

using namespace sse2str;

// Mask of the positions up to and including `t`: 2^(t+1) - 1.
template <unsigned T>
SSE2STR_INLINE unsigned through(Position<T>) {
  return (2u << T) - 1;
}

// The latest block that held a match and no zero byte: its value mask (0
// while there is none) and the address bit 0 of the mask stands for.
struct SavedMatch {
  const char* base;
  unsigned mask;
};

// The last match of the saved block, or null when none was saved.
SSE2STR_INLINE char* last_saved_match(SavedMatch saved) {
  if (saved.mask == 0) return nullptr;
  return last_match(saved.mask, [base = saved.base](auto position) {
    return const_cast<char*>(base + position);
  });
}

// The block that holds the terminator, at `base`: its matches after the
// terminator are dropped, the terminator's own bit kept (it is set only
// when the value is zero, and then it is the last match).  The last
// survivor wins, else the last match of the saved block, else null.
SSE2STR_INLINE char* resolve_final_block(const char* base, unsigned zero_mask, unsigned value_mask,
                                         SavedMatch saved) {
  const unsigned inside =
      value_mask & first_match(zero_mask, [](auto terminator) { return through(terminator); });
  if (inside) saved = SavedMatch{base, inside};
  return last_saved_match(saved);
}

SSE2STR_ENTRY_FRAME(".text.atom", __strrchr_sse2);

SSE2STR_BODY(".text.atom")
char* strrchr_body(const char* start, int value) SSE2STR_UNNAMED(strrchr_body);

SSE2STR_LONG_PATH(".text.atom")
char* scan_blocks(const char* scan, const char* saved_base, unsigned saved_mask, Block needle)
    SSE2STR_UNNAMED(scan_blocks);

char* strrchr_body(const char* start, int value) {
  const Block needle = broadcast_byte(value);
  const ZeroVector zeros = zero_vector();
  unsigned zero_mask;   // zero bytes of the first block
  unsigned value_mask;  // matching bytes of the first block

  // ---- first block: mask base is the start ----
  const size_t skew = block_offset(start);
  if (line_offset(start) <= kLastWholeBlockInLine) {
    // The 16 bytes from the start end inside the start's line.
    const Block block = load_unaligned(start);
    zero_mask = zero_mask_of(block, zeros);
    value_mask = match_mask(block, needle);
  } else {
    // Unaligned 16 bytes would cross into the next line, perhaps the next
    // page: read the aligned block instead and shift out the bytes in front
    // of the start, whatever they hold.  The zero vector is not compared
    // into here: those bytes may be zero.
    const char* const block_start = block_align_down(start);
    const Block block = load_aligned(block_start);
    zero_mask = zero_mask_of(block, zeros) >> skew;
    value_mask = match_mask(block, needle) >> skew;
  }
  if (zero_mask) {
    if (value_mask == 0) return nullptr;  // no earlier block to fall back on
    return resolve_final_block(start, zero_mask, value_mask, SavedMatch{start, 0});
  }
  // Either way the next block to read is the aligned block that holds byte
  // 16 (it overlaps an unaligned first read by `skew` bytes).  Formed only
  // now, so the first block needs one register beyond the scratch ones.
  return scan_blocks(block_align_down(start + kBlockSize), start, value_mask, needle);
}

// ---- main loop: aligned blocks, only the OR of the two masks tested ----
// The saved match starts as the first block's matches, if it had any.
char* scan_blocks(const char* scan, const char* saved_base, unsigned saved_mask, Block needle) {
  SavedMatch saved{saved_base, saved_mask};
  ZeroVector zeros = zero_vector();
  Block matches;  // the value comparison of the block that left the loop
  for (;;) {
#pragma GCC unroll 4
    for (size_t offset = 0; offset < kLineSize; offset += kBlockSize) {
      // One load into a register, which then takes the value comparison
      // (the broadcast byte stays whole, no copy of it); a block without a
      // zero byte leaves the zero vector cleared.
      Block block = load_aligned(scan + offset);
      keep_as_is(block);
      const unsigned zero_mask = zero_mask_in_place(zeros, block);
      matches = equal_bytes(block, needle);
      if (__builtin_expect((zero_mask | mask_of(matches)) != 0, 0)) {
        scan += offset;
        goto classify;
      }
    }
    scan += kLineSize;
    continue;

  classify:
    // The masks are taken again from the comparisons, so the loop's OR may
    // overwrite one of them instead of a copy.
    keep_as_is(zeros);
    keep_as_is(matches);
    const unsigned zero_mask = mask_of(reinterpret_cast<Block>(zeros));
    const unsigned value_mask = mask_of(matches);
    if (zero_mask) {
      // The terminator's block: without a match of its own, the saved one
      // decides.
      if (value_mask == 0) return last_saved_match(saved);
      return resolve_final_block(scan, zero_mask, value_mask, saved);
    }
    // Matches and no terminator yet: they are the latest, whatever came
    // before.  The loop goes on with the next block, at its first copy.
    saved = SavedMatch{scan, value_mask};
    scan += kBlockSize;
  }
}

SSE2STR_ENTRY_END(".text.atom", __strrchr_sse2);
