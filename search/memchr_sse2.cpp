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
#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"
#include "frame/scan.h"

using namespace sse2str;
using memchr_stages::kAlignedPasses;

SSE2STR_INLINE void* address(const char* p) { return const_cast<char*>(p); }

SSE2STR_ENTRY_FRAME(".text.atom", __memchr_sse2);

SSE2STR_BODY(".text.atom")
void* memchr_body(const void* start, int value, size_t count) SSE2STR_UNNAMED(memchr_body);

SSE2STR_LONG_PATH(".text.atom")
void* scan_aligned(const char* scan, size_t remaining, Block needle) SSE2STR_UNNAMED(scan_aligned);

// Bounded locate: the block may reach past the end of the range.  The
// lowest match failing the bound means no later byte of the range matches
// either: nothing beyond this block belongs to it.
SSE2STR_INLINE void* locate_within(const char* base, unsigned mask, size_t remaining) {
  return first_match(mask, [base, remaining](auto position) -> void* {
    return within_bound(position, remaining) ? address(base + position) : nullptr;
  });
}

// Unbounded locate: the block lies wholly inside the range.
SSE2STR_INLINE void* locate(const char* base, unsigned mask) {
  return first_match(mask, [base](auto position) { return address(base + position); });
}

// ---- first block: mask base is the start, remaining count the count ----
// It needs no register beyond the scratch ones: a range that goes on is
// handed to the aligned scan, which alone saves registers.
void* memchr_body(const void* start_arg, int value, size_t count_arg) {
  const char* const start = static_cast<const char*>(start_arg);
  if (count_arg == 0) return nullptr;
  const Block needle = broadcast_byte(value);
  const size_t skew = block_offset(start);
  // Read again where it is used: no register holds it meanwhile.
  const auto count = [] { return argument_word<size_t>(2); };
  if (line_offset(start) <= kLastWholeBlockInLine) {
    // The 16 bytes from the start end inside the start's line.
    const unsigned mask = match_mask(load_unaligned(start), needle);
    if (mask) return locate_within(start, mask, count());
    if (count() <= kBlockSize) return nullptr;
    // The first aligned block overlaps the bytes just read by `skew`.
    return scan_aligned(block_align_down(start + kBlockSize), count() - kBlockSize + skew, needle);
  }
  // Unaligned 16 bytes would cross into the next line, perhaps the next
  // page: read the aligned block instead and shift out the bytes in front of
  // the start, whatever they hold.
  const unsigned mask = match_mask(load_aligned(block_align_down(start)), needle) >> skew;
  if (mask) return locate_within(start, mask, count());
  // Bytes of the range in this block, if it reaches past it.  Kept as is:
  // folded into the count below, the offset would stay
  // live beside it and take a register of its own.
  size_t examined = kBlockSize - skew;
  keep_as_is(examined);
  const size_t range = count();
  if (range <= examined) return nullptr;
  // The aligned block after this one, which holds byte 16 (`skew` is not
  // zero here); formed only now, so the block's address needs no register.
  return scan_aligned(block_align_down(start + kBlockSize), range - examined, needle);
}

// `remaining` bytes of the range from the aligned block at `scan`.
void* scan_aligned(const char* scan, size_t remaining, const Block needle) {
  const auto match_at = [needle](const char* block, size_t) {
    return match_mask(load_aligned(block), needle);
  };
  const char* base;                      // the address bit 0 of `mask` stands for
  unsigned mask;                         // match mask of the block being located
  Block block0, block1, block2, block3;  // comparison results of one line

  // ---- aligned passes: blocks wholly inside the range, no bound test ----
  for (int pass = 0; pass < kAlignedPasses; ++pass) {
    if (remaining <= kLineSize) goto tail;
    remaining -= kLineSize;
    if (find_in_pass(scan, base, mask, match_at)) return locate(base, mask);
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
    scan += kLineSize;
    if (mask_of(block3)) break;
  }
  scan -= kLineSize;
  mask = mask_of(block0);
  if (mask) return locate(scan, mask);
  mask = mask_of(block1);
  if (mask) return locate(scan + kBlockSize, mask);
  base = scan + 2 * kBlockSize;  // its register holds the merge: compare again
  mask = match_mask(reload_aligned(base), needle);
  if (mask) return locate(base, mask);
  base = scan + 3 * kBlockSize;  // likewise; the match must be here
  return locate(base, match_mask(needle, reload_aligned(base)));

  // ---- tail: 1 to 64 bytes remain from the aligned scan pointer ----
tail:
  if (find_in_tail(scan, remaining, base, mask, match_at))
    return locate_within(base, mask, remaining);
  return nullptr;
}

SSE2STR_ENTRY_END(".text.atom", __memchr_sse2);
