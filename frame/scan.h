// SPDX-License-Identifier: MIT
// Stages of a bounded scan over aligned blocks, shared by the routines that
// search a range of known length block by block.
//
// The scan pointer is 16-byte aligned and `remaining` counts the bytes of the
// range from it.  `mask_at(block, k)` gives the mask of the aligned block at
// `block`, the k-th (0 to 3) of its line-sized step; each routine supplies
// its own compare (a broadcast byte, zero vectors of its own).
//
// The routines run in the three scratch registers, so the scan pointer is
// also the mask base: a stage that finds a block moves the pointer (and the
// remaining count) to it rather than naming the block by a second pointer.
#pragma once

#include "block.h"

namespace sse2str {

// Where a pass over aligned blocks begins: the scan pointer and the remaining
// count as they are.  Without this, GCC sums the steps of consecutive passes
// into one offset from the values before the first, and keeps those alive
// beside the running ones: a register more than the scratch ones.
SSE2STR_INLINE void begin_pass(const char*& scan, size_t& remaining) {
  keep_as_is(scan);
  keep_as_is(remaining);
}

// One aligned pass: the four blocks from `scan`, each tested on its own, all
// wholly inside the range (the caller makes a pass only while more than a
// line remains).  At the first block with a non-zero mask, sets `mask` and
// `block` (its position, 0 to 3) and returns true, `scan` left at the
// pass's first block; otherwise advances `scan` past the four blocks.
template <class MaskAt>
SSE2STR_INLINE bool find_in_pass(const char*& scan, unsigned& mask, size_t& block,
                                 MaskAt&& mask_at) {
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocksPerLine; ++k) {
    mask = mask_at(scan + k * kBlockSize, k);
    if (mask) {
      block = k;
      return true;
    }
  }
  scan += kLineSize;
  return false;
}

// Moves the scan pointer to the block at position `block` (0 to 3) of its
// line-sized step.  A switch rather than a product: every caller knows the
// position as a constant and is sent straight to its case, so each case
// exists once, shared by all the passes and the line loop.
SSE2STR_INLINE void step_to_block(const char*& scan, size_t block) {
  switch (block) {
    case 1:
      scan += kBlockSize;
      break;
    case 2:
      scan += 2 * kBlockSize;
      break;
    case 3:
      scan += 3 * kBlockSize;
      break;
    default:
      break;
  }
}

// Line alignment: steps the scan pointer back to the start of its line.  The
// 0 to 48 bytes stepped over were examined already and are counted again, so
// every later read is a whole line of the range.
SSE2STR_INLINE void align_scan_to_line(const char*& scan, size_t& remaining) {
  const size_t back = line_offset(scan);
  scan -= back;
  remaining += back;
}

// The tail: 1 to 64 bytes of the range remain from `scan`.  A block is read
// only when it holds at least one byte of the range, so no read reaches a
// page the range does not.  At the first block with a non-zero mask, sets
// `mask`, moves `scan` to the block and `remaining` to the bytes of the
// range from it, and returns true; the caller still applies the bound test.
template <class MaskAt>
SSE2STR_INLINE bool find_in_tail(const char*& scan, size_t& remaining, unsigned& mask,
                                 MaskAt&& mask_at) {
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocksPerLine; ++k) {
    const size_t offset = k * kBlockSize;
    if (k != 0 && remaining <= offset) return false;
    mask = mask_at(scan + offset, k);
    if (mask) {
      scan += offset;
      remaining -= offset;
      return true;
    }
  }
  return false;
}

}  // namespace sse2str
