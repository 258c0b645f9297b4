// __strnlen_sse2: the number of bytes in front of the first zero byte of
// `start`, but no more than `bound`.
//
// Stages, in the order they run:
//   byte probes     the first 16 bytes one at a time, in four groups of four
//                   with one bound test per group; a bound of at most 16 is
//                   answered here, reading no byte past the bound or the
//                   terminator, and without any SIMD operation;
//   aligned passes  four passes of four aligned blocks, each tested alone;
//   line loop       whole aligned lines folded into their bytewise minimum,
//                   which is compared with zero once;
//   tail            the last 1 to 64 bytes inside the bound, block by block.
// The routine keeps a remaining count rather than an end address, so a bound
// that reaches past the top of the address space is harmless as long as the
// string ends in readable memory.  No byte in front of the start is read, and
// every block read holds a byte up to the terminator and inside the bound.
#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"
#include "frame/scan.h"

using namespace sse2str;
using strnlen_stages::kAlignedPasses;
using strnlen_stages::kProbeGroup;

// The bound falls inside the group of four bytes at `group`, index `index`
// of the string, with `left` (0 to 4) of its bytes inside the bound: probe up
// to the bound and no further.  Only the first group can be left with no
// byte at all, by a bound of zero.
SSE2STR_INLINE size_t probe_up_to_bound(const char* group, size_t index, size_t left) {
  if (left == 0) return 0;
#pragma GCC unroll 4
  for (size_t j = 0; j < kProbeGroup; ++j) {
    if (j != 0 && left == j) return index + j;  // the bound itself
    if (group[j] == '\0') return index + j;
  }
  return index + kProbeGroup;  // the bound itself
}

SSE2STR_ENTRY_FRAME(".text.atom", __strnlen_sse2, strnlen_sse2_body);

SSE2STR_BODY(".text.atom")
size_t strnlen_body(const char* start, size_t bound) asm("strnlen_sse2_body");

size_t strnlen_body(const char* start, size_t bound) {
  const char* scan;    // next aligned block to examine
  const char* base;    // the address bit 0 of `mask` stands for
  unsigned mask;       // zero mask of the block being located
  size_t remaining;    // bytes inside the bound from `scan`, or from `base`
  ZeroVector zeros[kBlocksPerLine];       // one per block position of a pass
  Block block0, block1, block2, block3;   // one line of the line loop

  // ---- byte probes: the bound is tested once per group of four ----
  {
    size_t left = bound;  // bytes inside the bound from the current group
#pragma GCC unroll 4
    for (size_t index = 0; index < kBlockSize; index += kProbeGroup) {
      const char* const group = start + index;
      if (left <= kProbeGroup) return probe_up_to_bound(group, index, left);
      left -= kProbeGroup;
#pragma GCC unroll 4
      for (size_t j = 0; j < kProbeGroup; ++j)
        if (group[j] == '\0') return index + j;
    }
  }

  // The bound lies beyond byte 16 and none of bytes 0 to 15 is zero.  The
  // aligned block that holds byte 16 overlaps the probed bytes by the
  // start's offset in its block, which are examined again.
  scan = block_align_down(start + kBlockSize);
  remaining = bound - kBlockSize + block_offset(start);

  // ---- aligned passes: blocks wholly inside the bound, no bound test ----
  // Each zero vector is cleared once; a comparison that finds no zero byte
  // leaves it cleared for the next pass, and the last one for the line loop.
#pragma GCC unroll 4
  for (size_t k = 0; k < kBlocksPerLine; ++k) zeros[k] = zero_vector();
  for (int pass = 0; pass < kAlignedPasses; ++pass) {
    if (remaining <= kLineSize) goto tail;
    remaining -= kLineSize;
    if (find_in_pass(scan, base, mask, [&zeros](const char* block, size_t k) {
          return zero_mask_in_place(zeros[k], load_aligned(block));
        }))
      goto locate;
  }

  // ---- line alignment: step back over up to 48 bytes already examined ----
  align_scan_to_line(scan, remaining);

  // ---- line loop: one comparison with zero per line ----
  {
    ZeroVector& zero = zeros[kBlocksPerLine - 1];
    for (;;) {
      if (remaining <= kLineSize) goto tail;
      remaining -= kLineSize;
      block0 = load_aligned(scan);
      block1 = load_aligned(scan + kBlockSize);
      block2 = load_aligned(scan + 2 * kBlockSize);
      block3 = load_aligned(scan + 3 * kBlockSize);
      // Blocks 1 and 3 keep their own bytes; 0 and 2 absorb the minimum.
      block0 = bytewise_min(block0, block1);
      block2 = bytewise_min(block2, block3);
      block2 = bytewise_min(block2, block0);
      const unsigned line_mask = zero_mask_of(block2, zero);
      scan += kLineSize;
      if (line_mask) break;
    }
    scan -= kLineSize;
    base = scan;  // its register holds a minimum: compare it from memory
    mask = zero_mask_in_place(zero, reload_aligned(base));
    if (mask) goto locate;
    base = scan + kBlockSize;
    mask = zero_mask_in_place(zero, block1);
    if (mask) goto locate;
    base = scan + 2 * kBlockSize;  // likewise from memory
    mask = zero_mask_in_place(zero, reload_aligned(base));
    if (mask) goto locate;
    base = scan + 3 * kBlockSize;  // the zero byte must be here
    mask = zero_mask_in_place(zero, block3);
    goto locate;
  }

  // ---- tail: 1 to 64 bytes inside the bound from the aligned scan pointer ----
tail:
  {
    // Zero vectors of its own, cleared here: the tail may follow the byte
    // probes directly, where none has been cleared yet.  Blocks 0 and 2
    // share one, blocks 1 and 3 the other.
    ZeroVector zero_even = zero_vector(), zero_odd = zero_vector();
    const auto zero_at = [&](const char* block, size_t k) {
      return zero_mask_in_place(k % 2 == 0 ? zero_even : zero_odd, load_aligned(block));
    };
    if (find_in_tail(scan, remaining, base, mask, zero_at)) goto bounded_locate;
  }
  return bound;

  // ---- locating the terminator inside its block ----
locate:  // the block lies wholly inside the bound
  return first_match(mask, [length = static_cast<size_t>(base - start)](auto position) {
    return length + position;
  });

bounded_locate:  // the block may reach past the bound
  return first_match(mask, [length = static_cast<size_t>(base - start), remaining,
                            bound](auto position) {
    return within_bound(position, remaining) ? length + position : bound;
  });
}

SSE2STR_ENTRY_END(".text.atom", __strnlen_sse2);
