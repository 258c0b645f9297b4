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

// The bound falls inside the group of four bytes at index `Index` of the
// string, with `left` (0 to 4) of its bytes inside the bound: probe up to the
// bound and no further.  Only the first group can be left with no byte at
// all, by a bound of zero.
template <size_t Index>
SSE2STR_INLINE size_t probe_up_to_bound(const char* start, size_t left) {
  if (Index == 0 && left == 0) return 0;
#pragma GCC unroll 4
  for (size_t j = 0; j < kProbeGroup; ++j) {
    if (j != 0 && left == j) return Index + j;  // the bound itself
    if (start[Index + j] == '\0') return Index + j;
  }
  return Index + kProbeGroup;  // the bound itself
}

// Byte probes from the group at `Index` on.  The bound is compared with the
// group's end, a constant for each group, so no counter takes a register;
// each group has its own bound-group path.  Returns the result, or
// kNotProbed when none of bytes 0 to 15 is zero and the bound lies beyond.
inline constexpr size_t kNotProbed = ~size_t{0};

template <size_t Index = 0>
SSE2STR_INLINE size_t probe_bytes(const char* start, size_t bound) {
  if constexpr (Index == kBlockSize) {
    return kNotProbed;
  } else {
    if (bound <= Index + kProbeGroup) return probe_up_to_bound<Index>(start, bound - Index);
#pragma GCC unroll 4
    for (size_t j = 0; j < kProbeGroup; ++j)
      if (start[Index + j] == '\0') return Index + j;
    return probe_bytes<Index + kProbeGroup>(start, bound);
  }
}

// A result that is the bound is the second argument as passed, read again
// from the argument area: the scan holds no register for it.
SSE2STR_INLINE size_t bound_as_passed() { return argument_word<size_t>(1); }

SSE2STR_ENTRY_FRAME(".text.atom", __strnlen_sse2);

SSE2STR_BODY(".text.atom")
size_t strnlen_body(const char* start, size_t bound) SSE2STR_UNNAMED(strnlen_body);

SSE2STR_LONG_PATH(".text.atom")
size_t scan_aligned(const char* start, size_t bound) SSE2STR_UNNAMED(scan_aligned);

// ---- byte probes: the bound is tested once per group of four ----
// They need no register beyond the scratch ones: a longer string is handed
// to the aligned scan, which alone saves registers.
size_t strnlen_body(const char* start, size_t bound) {
  const size_t probed = probe_bytes(start, bound);
  if (probed != kNotProbed) return probed;
  return scan_aligned(start, bound);
}

// The bound lies beyond byte 16 and none of bytes 0 to 15 is zero.
size_t scan_aligned(const char* start, size_t bound) {
  const char* base;    // the address bit 0 of `mask` stands for
  unsigned mask;       // zero mask of the block being located
  ZeroVector zeros[kBlocksPerLine];       // one per block position of a pass
  Block block0, block1, block2, block3;   // one line of the line loop

  // The aligned block that holds byte 16 overlaps the probed bytes by the
  // start's offset in its block, which are examined again.
  const char* scan = block_align_down(start + kBlockSize);      // next aligned block
  size_t remaining = bound - kBlockSize + block_offset(start);  // inside the bound from `scan`

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
  // It clears zero vectors of its own, whichever stage it follows: blocks 0
  // and 2 share one, blocks 1 and 3 the other.
tail:
  {
    ZeroVector zero_even = zero_vector(), zero_odd = zero_vector();
    const auto zero_at = [&](const char* block, size_t k) {
      return zero_mask_in_place(k % 2 == 0 ? zero_even : zero_odd, load_aligned(block));
    };
    if (find_in_tail(scan, remaining, base, mask, zero_at)) goto bounded_locate;
  }
    return bound_as_passed();

    // ---- locating the terminator inside its block ----
locate:  // the block lies wholly inside the bound
  return first_match(mask, [length = static_cast<size_t>(base - start)](auto position) {
    return length + position;
  });

bounded_locate:  // the block may reach past the bound
  return first_match(mask, [length = static_cast<size_t>(base - start), remaining](auto position) {
    return within_bound(position, remaining) ? length + position : bound_as_passed();
  });
}

SSE2STR_ENTRY_END(".text.atom", __strnlen_sse2);
