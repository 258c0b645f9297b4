// Stages of a bounded scan over aligned blocks, shared by the routines that
// search a range of known length block by block.
//
// The scan pointer is 16-byte aligned and `remaining` counts the bytes of the
// range from it.  `mask_at(block, k)` gives the mask of the aligned block at
// `block`, the k-th (0 to 3) of its line-sized step; each routine supplies
// its own compare (a broadcast byte, zero vectors of its own).
#pragma once

#include "block.h"

namespace sse2str {

// One aligned pass: the four blocks from `scan`, each tested on its own, all
// wholly inside the range (the caller makes a pass only while more than a
// line remains).  At the first block with a non-zero mask, sets `base` and
// `mask` and returns true; otherwise advances `scan` past the four blocks.
template <class MaskAt>
SSE2STR_INLINE bool find_in_pass(const char*& scan, const char*& base, unsigned& mask,
                                 MaskAt&& mask_at) {
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocksPerLine; ++k) {
    mask = mask_at(scan + k * kBlockSize, k);
    if (mask) {
      base = scan + k * kBlockSize;
      return true;
    }
  }
  scan += kLineSize;
  return false;
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
// `base` and `mask`, leaves in `remaining` the bytes of the range from
// `base`, and returns true; the caller still applies the bound test.
template <class MaskAt>
SSE2STR_INLINE bool find_in_tail(const char* scan, size_t& remaining, const char*& base,
                                 unsigned& mask, MaskAt&& mask_at) {
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocksPerLine; ++k) {
    const size_t offset = k * kBlockSize;
    if (k != 0 && remaining <= offset) return false;
    mask = mask_at(scan + offset, k);
    if (mask) {
      base = scan + offset;
      remaining -= offset;
      return true;
    }
  }
  return false;
}

}  // namespace sse2str
