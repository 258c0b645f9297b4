// SPDX-License-Identifier: MIT
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
//
// It runs in the three scratch registers and the SIMD ones, and saves none:
// the result register (`length`) holds zero during the probes and the mask
// base's distance from the start in the cascades, and every exit adds a
// constant to it.  The start and the bound stay in the argument area and are
// read there where needed.
#include <stddef.h>

#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"
#include "frame/scan.h"

using namespace sse2str;
using strnlen_stages::kAlignedPasses;
using strnlen_stages::kProbedBytes;
using strnlen_stages::kProbeGroup;

// The bound, compared in the argument area: the probes keep it in no
// register.
SSE2STR_INLINE size_t bound_operand() { return argument_operand<size_t>(1); }

// Whether a bound known to be at most 4 is zero: its low byte alone tells.
// A byte is compared with zero straight in the argument area, where GCC
// loads a word into a register first to test it.
SSE2STR_INLINE bool small_bound_is_zero() { return argument_operand<unsigned char>(1) == 0; }

// The bound falls inside the group of four bytes at index `Index` of the
// string: probe up to the bound and no further.  Only the first group can
// hold no byte inside the bound, with a bound of zero.
template <size_t Index>
SSE2STR_INLINE size_t probe_up_to_bound(const char* start) {
  if (Index == 0 && small_bound_is_zero()) return 0;
#pragma GCC unroll 4
  for (size_t j = 0; j < kProbeGroup; ++j) {
    if (j != 0 && bound_operand() == Index + j) return Index + j;  // the bound itself
    if (start[Index + j] == '\0') return Index + j;
  }
  return Index + kProbeGroup;  // the bound itself
}

// Whether the bound falls inside the group of four bytes at index `Index`:
// the bound compared with the group's end, a constant for each group.  Each
// group's bound path is a branch target of its own, which starts a 16-byte
// block.  GCC branches to those of the first and the last group by itself;
// the middle two it lays out on the fall-through path unless told they are
// the rarer way (told so for the first or the last as well, it moves the
// last probe's exits around instead).
template <size_t Index>
SSE2STR_INLINE bool bound_in_group() {
  const bool inside = bound_operand() <= Index + kProbeGroup;
  if constexpr (Index == 0 || Index + kProbeGroup == kProbedBytes)
    return inside;
  else
    return __builtin_expect(inside, false);
}

// Byte probes from the group at `Index` on; each group has its own
// bound-group path.  Returns the result, a constant on each path, or
// kNotProbed when none of bytes 0 to 15 is zero and the bound lies beyond.
inline constexpr size_t kNotProbed = ~size_t{0};

template <size_t Index = 0>
SSE2STR_INLINE size_t probe_bytes(const char* start) {
  if constexpr (Index == kProbedBytes) {
    return kNotProbed;
  } else {
    if (bound_in_group<Index>()) return probe_up_to_bound<Index>(start);
#pragma GCC unroll 4
    for (size_t j = 0; j < kProbeGroup; ++j)
      if (start[Index + j] == '\0') return Index + j;
    return probe_bytes<Index + kProbeGroup>(start);
  }
}

// The run of exits, one for each offset from 0 to 15: each returns the
// length with its offset added.  A caller that knows the offset as a
// constant (each probe, each position of the unbounded cascade) is sent
// straight to that offset's exit: the tests below are resolved on its path.
// So the probes and the cascade share one exit per offset.
// Offset 0 returns the length as it is, from a `ret` of its own.
template <size_t Offset = 0>
SSE2STR_INLINE size_t add_offset(size_t length, size_t offset) {
  if constexpr (Offset + 1 == kBlockSize) {
    return length + Offset;  // the only offset left
  } else {
    if (offset == Offset) {
      if constexpr (Offset == 0) own_return();
      return length + Offset;
    }
    return add_offset<Offset + 1>(length, offset);
  }
}

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
size_t strnlen_body(const char* start, size_t bound) SSE2STR_UNNAMED(strnlen_body);
SSE2STR_CHECK_PROTOTYPE(strnlen_body);

size_t strnlen_body(const char* start, size_t bound) {
  // The result: zero through the byte probes, then the mask base's
  // distance from the start; each exit adds its constant to it.  Held as
  // is, or GCC would fold the probes' zero into their exits, which the
  // unbounded cascade shares.
  size_t length = 0;
  keep_as_is(length);
  size_t offset;                         // added to `length` at the exits
  const char* scan;                      // the next aligned block, and the mask base
  size_t remaining;                      // bytes inside the bound from `scan`
  unsigned mask;                         // zero mask of the block being located
  size_t block;                          // its position in its pass or line
  ZeroVector zeros[kBlocksPerLine];      // one per block position of a pass
  Block block0, block1, block2, block3;  // one line of the line loop
  ZeroVector zero_even, zero_odd;        // the tail's: blocks 0 and 2, 1 and 3
  // Each zero vector is cleared just before its first comparison: a path
  // that ends before a block clears nothing for it.
  const auto zero_in_tail = [&zero_even, &zero_odd](const char* at, size_t k) {
    ZeroVector& zeros = k % 2 == 0 ? zero_even : zero_odd;
    if (k < 2) zeros = cleared_zero_vector();
    return zero_mask_in_place(zeros, load_aligned(at));
  };

  // ---- byte probes: the bound is tested once per group of four ----
  {
    // The start as a value of the probes' own: `start` itself is used
    // again only at the exits, straight from the argument area.
    const char* const probe = argument_word<const char*>(0);
    offset = probe_bytes(probe);
    if (offset == kProbedBytes) goto beyond_bound;  // a bound of 16, reached
    if (offset != kNotProbed) goto exits;
    // The aligned block that holds byte 16 overlaps the probed bytes by the
    // start's offset in its block, which are examined again.
    scan = block_align_down(probe + kBlockSize);
    remaining = bound - (kBlockSize - block_offset(probe));
  }

  // ---- aligned passes: blocks wholly inside the bound, no bound test ----
  // Each zero vector is cleared once, in the first pass just before its
  // first comparison; a comparison that finds no zero byte leaves it
  // cleared for the next pass, and the last one for the line loop.
#pragma GCC unroll 4
  for (int pass = 0; pass < kAlignedPasses; ++pass) {
    begin_pass(scan, remaining);
    if (remaining <= kLineSize) goto tail;
    remaining -= kLineSize;
    const auto zero_at = [&zeros, pass](const char* at, size_t k) {
      if (pass == 0) zeros[k] = cleared_zero_vector();
      return zero_mask_in_place(zeros[k], load_aligned(at));
    };
    if (find_in_pass(scan, mask, block, zero_at)) goto found;
  }

  // ---- line alignment: step back over up to 48 bytes already examined ----
  align_scan_to_line(scan, remaining);

  // ---- line loop: one comparison with zero per line ----
  {
    ZeroVector& zero = zeros[kBlocksPerLine - 1];
    for (;;) {
      if (remaining <= kLineSize) goto tail;
      remaining -= kLineSize;
      block0 = load_aligned_compact(scan);
      block1 = load_aligned_compact(scan + kBlockSize);
      block2 = load_aligned_compact(scan + 2 * kBlockSize);
      block3 = load_aligned_compact(scan + 3 * kBlockSize);
      // Blocks 1 and 3 keep their own bytes; 0 and 2 absorb the minimum.
      block0 = bytewise_min(block0, block1);
      block2 = bytewise_min(block2, block3);
      block2 = bytewise_min(block2, block0);
      if (zero_mask_of(block2, zero)) break;
      scan += kLineSize;
    }
    block = 0;  // its register holds a minimum: compare with it in memory
    mask = zero_mask_in_place(zero, reload_operand(scan));
    if (mask) goto found;
    block = 1;
    mask = zero_mask_in_place(zero, block1);
    if (mask) goto found;
    block = 2;  // likewise from memory
    mask = zero_mask_in_place(zero, reload_operand(scan + 2 * kBlockSize));
    if (mask) goto found;
    block = 3;  // the zero byte must be here
    mask = zero_mask_in_place(zero, block3);
    goto found;
  }

  // ---- tail: 1 to 64 bytes inside the bound from the aligned scan pointer ----
  // It clears zero vectors of its own, whichever stage it follows.
tail:
  if (find_in_tail(scan, remaining, mask, zero_in_tail)) goto bounded_locate;
  // ---- the one exit that returns the bound, as passed ----
beyond_bound:
  return argument_word<size_t>(1);

  // ---- unbounded locate: the block lies wholly inside the bound ----
found:
  step_to_block(scan, block);
  length = scan - start;
  offset = first_match(mask, [](auto position) { return size_t{position}; });
exits:
  return add_offset(length, offset);

  // ---- bounded locate: the block may reach past the bound ----
bounded_locate:
  length = scan - start;
  if (!first_match_within(mask, remaining, [&length](auto position) {
        if constexpr (position == 0) own_return();
        length += position;
      }))
    goto beyond_bound;
  return length;
}

SSE2STR_ENTRY_END();
