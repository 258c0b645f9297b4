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

SSE2STR_ENTRY_FRAME(".text.atom", __strrchr_sse2, strrchr_sse2_body);

SSE2STR_BODY(".text.atom")
char* strrchr_body(const char* start, int value) asm("strrchr_sse2_body");

char* strrchr_body(const char* start, int value) {
  const Block needle = broadcast_byte(value);
  ZeroVector zeros = zero_vector();

  const char* scan;          // next aligned block to read
  const char* base;          // the address bit 0 of the masks stands for
  unsigned zero_mask;        // zero bytes of the block at `base`
  unsigned value_mask;       // matching bytes of the block at `base`
  unsigned saved_mask = 0;   // matches of the last block that had some and
  const char* saved_base = nullptr;  // no zero byte; 0 while there is none

  // ---- first block: mask base is the start ----
  {
    const size_t skew = block_offset(start);
    base = start;
    if (line_offset(start) <= kLastWholeBlockInLine) {
      // The 16 bytes from the start end inside the start's line.  The next
      // aligned block overlaps them by `skew` bytes.
      const Block block = load_unaligned(start);
      zero_mask = zero_mask_of(block, zeros);
      value_mask = match_mask(block, needle);
      scan = block_align_down(start + kBlockSize);
    } else {
      // Unaligned 16 bytes would cross into the next line, perhaps the next
      // page: read the aligned block instead and shift out the bytes in
      // front of the start, whatever they hold.  The zero vector is not
      // compared into here: those bytes may be zero.
      const char* const block_start = block_align_down(start);
      const Block block = load_aligned(block_start);
      zero_mask = zero_mask_of(block, zeros) >> skew;
      value_mask = match_mask(block, needle) >> skew;
      scan = block_start + kBlockSize;
    }
    if (zero_mask) {
      if (value_mask == 0) return nullptr;  // no earlier block to fall back on
      goto final_block;
    }
    if (value_mask) {
      saved_mask = value_mask;
      saved_base = base;
    }
  }

  // ---- main loop: only the OR of the two masks is tested ----
  for (;;) {
#pragma GCC unroll 4
    for (size_t offset = 0; offset < kLineSize; offset += kBlockSize) {
      const Block block = load_aligned(scan + offset);
      // A block without a zero byte leaves the zero vector cleared.
      zero_mask = zero_mask_in_place(zeros, block);
      value_mask = match_mask(block, needle);
      if (zero_mask | value_mask) {
        base = scan + offset;
        goto classify;
      }
    }
    scan += kLineSize;
    continue;

  classify:
    if (zero_mask) break;
    // Matches and no terminator yet: they are the latest, whatever came
    // before.  The loop goes on with the next block, at its first copy.
    saved_mask = value_mask;
    saved_base = base;
    scan = base + kBlockSize;
  }
  if (value_mask == 0) goto last_saved_match;

  // ---- final block: nothing after the terminator counts ----
final_block:
  {
    // The terminator's own bit survives too; it is set only when the value
    // is zero, and then it is the last match.
    const unsigned inside = value_mask & first_match(zero_mask, [](auto terminator) {
      return through(terminator);
    });
    if (inside) {
      saved_mask = inside;
      saved_base = base;
    }
  }

last_saved_match:
  if (saved_mask == 0) return nullptr;
  return last_match(saved_mask, [saved_base](auto position) {
    return const_cast<char*>(saved_base + position);
  });
}

SSE2STR_ENTRY_END(".text.atom", __strrchr_sse2);
