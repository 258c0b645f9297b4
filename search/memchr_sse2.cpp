// SPDX-License-Identifier: MIT
// __memchr_sse2: the first of `count` bytes from `start` that equals the low
// byte of `value`, or null.
//
// Stages, in the order they run:
//   first block   the 16 bytes at the start, read unaligned when they stay
//                 inside the start's line, else as the aligned block that
//                 holds the start with the mask shifted to drop the bytes in
//                 front of it;
//   aligned passes  two passes of four aligned blocks, each tested alone;
//   line loop     whole aligned lines, four compares merged into one mask;
//   tail          the last 1 to 64 bytes, block by block.
// The routine keeps a remaining count rather than an end address, so a count
// that reaches past the top of the address space is harmless as long as a
// match lies in readable memory.  Every read stays inside an aligned block or
// a line that holds a byte of the range.
//
// It runs in the three scratch registers and the SIMD ones, and saves none:
// the scan pointer is also the mask base and, at the exits, the result; the
// count stays in the argument area until the first block is read.
#include <stddef.h>

#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"
#include "frame/scan.h"

using namespace sse2str;
using memchr_stages::kAlignedPasses;

SSE2STR_INLINE void* address(const char* p) { return const_cast<char*>(p); }

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
void* memchr_body(const void* start, int value, size_t count) SSE2STR_UNNAMED(memchr_body);
SSE2STR_CHECK_PROTOTYPE(memchr_body);

void* memchr_body(const void* start, int value, size_t count_arg) {
  if (count_arg == 0) return nullptr;
  const Block needle = broadcast_byte(value);
  // Read where it is used: no register holds it meanwhile.
  const auto count = [] { return argument_word<size_t>(2); };
  // The next block to examine, also the mask base and, at the exits, the
  // result.
  const char* scan = static_cast<const char*>(start);
  size_t remaining;                      // bytes of the range from `scan`
  unsigned mask;                         // match mask of the block being located
  size_t block;                          // its position in its pass or line
  Block block0, block1, block2, block3;  // comparison results of one line
  const auto match_at = [needle](const char* at, size_t) {
    return match_mask(load_aligned(at), needle);
  };

  // ---- first block: mask base is the start, remaining count the count ----
  // The unaligned read serves 49 of the 64 start offsets in a line: it runs
  // straight on, and the aligned read is a branch target of its own.
  if (__builtin_expect(line_offset(scan) <= kLastWholeBlockInLine, 1)) {
    // The 16 bytes from the start end inside the start's line.
    mask = match_mask(load_unaligned(scan), needle);
    remaining = count();
    if (mask) goto bounded_locate;
    if (remaining <= kBlockSize) goto null;
    // The first aligned block overlaps the bytes just read by the start's
    // offset in its block.
    remaining -= kBlockSize - block_offset(scan);
  } else {
    // Unaligned 16 bytes would cross into the next line, perhaps the next
    // page: read the aligned block instead and shift out the bytes in front
    // of the start, whatever they hold.
    mask = match_mask(load_aligned(block_align_down(scan)), needle) >> block_offset(scan);
    remaining = count();
    if (mask) goto bounded_locate;
    // Bytes of the range in this block, if it reaches past it.  The start
    // is not aligned here, so this is 16 less its offset, written apart
    // from the shift above: GCC would keep that offset alive for it, one
    // register too many.
    const size_t examined = -reinterpret_cast<uintptr_t>(scan) % kBlockSize;
    if (remaining <= examined) goto null;
    remaining -= examined;
  }
  scan = block_align_down(scan + kBlockSize);  // the aligned block after the start's

  // ---- aligned passes: blocks wholly inside the range, no bound test ----
#pragma GCC unroll 2
  for (int pass = 0; pass < kAlignedPasses; ++pass) {
    begin_pass(scan, remaining);
    if (remaining <= kLineSize) goto tail;
    remaining -= kLineSize;
    if (find_in_pass(scan, mask, block, match_at)) goto found;
  }

  // ---- line alignment: step back over up to 48 bytes already examined ----
  align_scan_to_line(scan, remaining);

  // ---- line loop: one mask per line ----
  for (;;) {
    if (remaining <= kLineSize) goto tail;
    remaining -= kLineSize;
    block0 = equal_bytes(load_aligned(scan), needle);
    block1 = equal_bytes(load_aligned(scan + kBlockSize), needle);
    block2 = equal_bytes(load_aligned(scan + 2 * kBlockSize), needle);
    block3 = equal_bytes(load_aligned(scan + 3 * kBlockSize), needle);
    // Blocks 0 and 1 keep their own results; 2 and 3 absorb the merge.
    block2 = either_matched(block2, block0);
    block3 = either_matched(block3, block1);
    block3 = either_matched(block3, block2);
    if (mask_of(block3)) break;
    scan += kLineSize;
  }
  block = 0;
  mask = mask_of(block0);
  if (mask) goto found;
  block = 1;
  mask = mask_of(block1);
  if (mask) goto found;
  block = 2;  // its register holds the merge: compare again
  mask = match_mask(reload_aligned(scan + 2 * kBlockSize), needle);
  if (mask) goto found;
  block = 3;  // likewise, the block as the compare's operand; the match must be here
  mask = match_mask(needle, reload_operand(scan + 3 * kBlockSize));
  goto found;

  // ---- tail: 1 to 64 bytes remain from the aligned scan pointer ----
tail:
  if (find_in_tail(scan, remaining, mask, match_at)) goto bounded_locate;
  // ---- the one exit that finds nothing ----
null:
  return nullptr;

  // ---- unbounded locate: the block lies wholly inside the range ----
found:
  step_to_block(scan, block);
  return first_match(mask, [scan](auto position) {
    if constexpr (position == 0) own_return();
    return address(scan + position);
  });

  // ---- bounded locate: the block may reach past the end of the range ----
  // The lowest match failing the bound means no later byte of the range
  // matches either: nothing beyond this block belongs to it.
bounded_locate:
  if (!first_match_within(mask, remaining, [&scan](auto position) {
        if constexpr (position == 0) own_return();
        scan += position;
      }))
    goto null;
  return address(scan);
}

SSE2STR_ENTRY_END();
