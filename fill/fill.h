// SPDX-License-Identifier: MIT
// The fill shared by __memset_sse2_rep and __bzero_sse2_rep.
//
// A fill is sorted by size, each class with its own store technique:
//   short    below 32 bytes: one indexed jump into straight-line 4-, 2- and
//            1-byte stores from a general register (the short table);
//   medium   below 128 bytes left after the head store: one indexed jump
//            into aligned 16-byte stores and an 8/4/2/1-byte closing run
//            (the tail table);
//   large    the block loop, 128 bytes of aligned stores per stride, then the
//            tail table for what is left;
//   huge     from a threshold derived from the data-cache size on,
//            `rep stosl` and 0 to 3 closing bytes.
// Stores run in ascending address order and never leave the range; the
// destination is never read.  Bytes are written twice only where the
// unaligned head store overlaps the first aligned store after it.
//
// The fill runs in the three scratch general registers and the SIMD ones:
// the modules are built with the callee-saved registers fixed
// (-ffixed-ebx ...), so GCC can neither save one for a path nor use one.
// Only the string store saves %edi, around `rep stosl` itself.
//
// The stages run in fill/fill_body.inc, which each module includes as its
// body with its own pattern, and so carries its own copy of the tables;
// nothing is shared between the objects.
#pragma once

#include "frame/block.h"
// __x86_data_cache_size, the data-cache size in bytes, defined outside the
// fill modules.  It is read afresh, with one plain load, by every fill that
// reaches the large-fill decision, so a change takes effect from the next
// such fill.
#include "include/sse2str.h"

namespace sse2str {

// The size classes' limits (frame/geometry.h).
using fill_stages::kShortFillLimit;
using fill_stages::kStrideSize;
using fill_stages::kTailLimit;
inline constexpr size_t kWordSize = 4;

// ---- the fill value ----------------------------------------------------------

// The low byte of `value` in all four bytes of a general register.
SSE2STR_INLINE uint32_t broadcast_word(int value) {
  return (static_cast<uint32_t>(value) & 0xFFu) * 0x01010101u;
}

// The word again, taken from the block made of it (MOVD): on the paths past
// the large-fill decision, whose general registers held other values
// meanwhile.  The block is opaque to the compiler (keep_as_is where it is
// made), so the word is not known to be the one at entry and stays where
// it is taken; the empty asm keeps it from being taken any earlier.
SSE2STR_INLINE uint32_t word_of(Block block) {
  uint32_t word = static_cast<uint32_t>(_mm_cvtsi128_si32(block));
  asm volatile("" : "+r"(word));
  return word;
}

// memset's pattern: the byte argument, broadcast to a word at entry and to a
// block (MOVD, PSHUFD 0) only when a fill needs SIMD stores.  The word made
// at entry serves the tail of a medium fill too.
struct BytePattern {
  uint32_t word;
  Block block() const {
    Block b = _mm_shuffle_epi32(_mm_cvtsi32_si128(static_cast<int>(word)), 0);
    keep_as_is(b);
    return b;
  }
  static BytePattern of(Block block) { return {word_of(block)}; }
};

// bzero's pattern: zero in both forms, each a register cleared once (XOR,
// PXOR).  A zero the compiler can see through is not kept in a register: it
// would store immediates, make the SIMD zero again before every store, and
// split the 8-byte store of a known zero into two 4-byte stores.
// keep_as_is hands each cleared register over as an unknown value.  As in
// memset, the word cleared at entry serves the short and the medium fills,
// and the tail after the block loop takes it from the zero block.
struct ZeroPattern {
  uint32_t word;
  static ZeroPattern cleared() {
    uint32_t zero = 0;
    keep_as_is(zero);
    return {zero};
  }
  Block block() const {
    Block zero = zero_block();
    keep_as_is(zero);
    return zero;
  }
  static ZeroPattern of(Block block) { return {word_of(block)}; }
};

// ---- stores ------------------------------------------------------------------

// Unaligned, aliasing views of the destination for the narrow stores.
using Unaligned32 = uint32_t __attribute__((may_alias, aligned(1)));
using Unaligned16 = uint16_t __attribute__((may_alias, aligned(1)));

SSE2STR_INLINE void store_word(char* p, uint32_t word) { *reinterpret_cast<Unaligned32*>(p) = word; }

SSE2STR_INLINE void store_half(char* p, uint32_t word) {
  *reinterpret_cast<Unaligned16*>(p) = static_cast<uint16_t>(word);
}

SSE2STR_INLINE void store_byte(char* p, uint32_t word) { *p = static_cast<char>(word); }

// The low 8 bytes of the block with MOVQ.
SSE2STR_INLINE void store_quad(char* p, Block block) {
  _mm_storel_epi64(reinterpret_cast<Block*>(p), block);
}

// Closing run of a store sequence: the stores for the set bits of the
// residue `R`, widest first, each at a fixed offset back from the end.  In
// the tail table the pointer is 16-byte aligned, so each of these stores lies
// at a multiple of its own width.
template <size_t R, class Pattern>
SSE2STR_INLINE void closing_run(char* end, Pattern pattern, Block block) {
  if constexpr ((R & 8) != 0) store_quad(end - R, block);
  if constexpr ((R & 4) != 0) store_word(end - (R & 7), pattern.word);
  if constexpr ((R & 2) != 0) store_half(end - (R & 3), pattern.word);
  if constexpr ((R & 1) != 0) store_byte(end - 1, pattern.word);
}

// ---- the short table ---------------------------------------------------------
//
// Four store sequences, one per count modulo 4: seven 4-byte stores, then the
// closing run of the residue.  Every store addresses the range back from the
// end, so one sequence serves all eight counts of its residue: the entry for
// count c is the store that writes end - c.  Each sequence ends with the
// routine's return: `finish` gives its result (memset loads it there), so
// no sequence jumps to an epilogue shared with the others, and all that is
// left to share is a `ret`, which GCC copies into each.

// Stands for the block in the short table, whose residues below 4 never
// take an 8-byte store; no SIMD register is made for it.
inline constexpr Block kNoBlock{};

// clang-format off
#define SSE2STR_WORD_ENTRY(c)                                                       \
  case (c):                                                                         \
    store_word(end - (c), pattern.word); [[fallthrough]];

#define SSE2STR_SHORT_SEQUENCE(r)                                                   \
  SSE2STR_WORD_ENTRY(28 + r) SSE2STR_WORD_ENTRY(24 + r) SSE2STR_WORD_ENTRY(20 + r)  \
  SSE2STR_WORD_ENTRY(16 + r) SSE2STR_WORD_ENTRY(12 + r) SSE2STR_WORD_ENTRY(8 + r)   \
  SSE2STR_WORD_ENTRY(4 + r)                                                         \
  case (r):                                                                         \
    closing_run<(r)>(end, pattern, kNoBlock);                                       \
    return finish();
// clang-format on

template <class Pattern, class Finish>
SSE2STR_INLINE auto short_table(char* end, size_t count, Pattern pattern, Finish&& finish) {
  switch (count) {
    SSE2STR_SHORT_SEQUENCE(0)
    SSE2STR_SHORT_SEQUENCE(1)
    SSE2STR_SHORT_SEQUENCE(2)
    SSE2STR_SHORT_SEQUENCE(3)
    default:
      __builtin_unreachable();
  }
}

#undef SSE2STR_SHORT_SEQUENCE
#undef SSE2STR_WORD_ENTRY

// ---- the tail table ----------------------------------------------------------
//
// Sixteen store sequences, one per remaining count modulo 16: seven aligned
// 16-byte stores, then the closing run and the return.  As in the short
// table, the entry for index c is the store that writes end - c.
//
// Two jumps read the table, the medium fill's and the block loop's, each
// with an indirect branch and a prediction of its own.  A `switch` has one
// jump, so the table is one of label addresses (`goto *`), and it, its
// sequences and both jumps are written into each module's body by
// fill/fill_body.inc: GCC inlines no function that jumps to a computed
// address or keeps a label's address in a table.  The table lies in the
// fills' read-only section right behind the short table, whose `switch`
// GCC emits with the code, before any table of the body's own.

inline constexpr size_t kTailEntries = kTailLimit;
struct TailTable {
  const void* entries[kTailEntries];
};

// The entry of index 16k + r is the label tail_k_r.
// clang-format off
#define SSE2STR_TAIL_ROW(k)                                                              \
  &&tail_##k##_0, &&tail_##k##_1, &&tail_##k##_2, &&tail_##k##_3, &&tail_##k##_4,       \
  &&tail_##k##_5, &&tail_##k##_6, &&tail_##k##_7, &&tail_##k##_8, &&tail_##k##_9,       \
  &&tail_##k##_10, &&tail_##k##_11, &&tail_##k##_12, &&tail_##k##_13, &&tail_##k##_14,  \
  &&tail_##k##_15

#define SSE2STR_TAIL_ENTRIES                                                             \
  SSE2STR_TAIL_ROW(0), SSE2STR_TAIL_ROW(1), SSE2STR_TAIL_ROW(2), SSE2STR_TAIL_ROW(3),    \
  SSE2STR_TAIL_ROW(4), SSE2STR_TAIL_ROW(5), SSE2STR_TAIL_ROW(6), SSE2STR_TAIL_ROW(7)

#define SSE2STR_BLOCK_ENTRY(k, r)                                                        \
  tail_##k##_##r:                                                                        \
    store_aligned(end - ((k) * kBlockSize + (r)), block);

#define SSE2STR_TAIL_SEQUENCE(r)                                                         \
  SSE2STR_BLOCK_ENTRY(7, r) SSE2STR_BLOCK_ENTRY(6, r) SSE2STR_BLOCK_ENTRY(5, r)          \
  SSE2STR_BLOCK_ENTRY(4, r) SSE2STR_BLOCK_ENTRY(3, r) SSE2STR_BLOCK_ENTRY(2, r)          \
  SSE2STR_BLOCK_ENTRY(1, r)                                                              \
  tail_0_##r:                                                                            \
    closing_run<(r)>(end, pattern, block);                                               \
    return finish();

#define SSE2STR_TAIL_SEQUENCES                                                           \
  SSE2STR_TAIL_SEQUENCE(0) SSE2STR_TAIL_SEQUENCE(1) SSE2STR_TAIL_SEQUENCE(2)             \
  SSE2STR_TAIL_SEQUENCE(3) SSE2STR_TAIL_SEQUENCE(4) SSE2STR_TAIL_SEQUENCE(5)             \
  SSE2STR_TAIL_SEQUENCE(6) SSE2STR_TAIL_SEQUENCE(7) SSE2STR_TAIL_SEQUENCE(8)             \
  SSE2STR_TAIL_SEQUENCE(9) SSE2STR_TAIL_SEQUENCE(10) SSE2STR_TAIL_SEQUENCE(11)           \
  SSE2STR_TAIL_SEQUENCE(12) SSE2STR_TAIL_SEQUENCE(13) SSE2STR_TAIL_SEQUENCE(14)          \
  SSE2STR_TAIL_SEQUENCE(15)
// clang-format on

// ---- the large fills ---------------------------------------------------------

// One stride of the block loop: eight aligned blocks, ascending.
SSE2STR_INLINE void store_stride(char* p, Block block) {
#pragma GCC unroll 8
  for (size_t offset = 0; offset < kStrideSize; offset += kBlockSize)
    store_aligned(p + offset, block);
}

// ---- values waiting in a SIMD register ---------------------------------------

// Where a path needs a fourth general register for a few instructions, a
// value waits in a SIMD register meanwhile: one MOVD there and one back, the
// cost of a push and a pop.  The empty asms fix where it goes and comes back.
template <class T>
class Parked {
 public:
  SSE2STR_INLINE explicit Parked(T value)
      : lane_(_mm_cvtsi32_si128(static_cast<int>(reinterpret_cast<uintptr_t>(value)))) {
    asm volatile("" : "+x"(lane_));
  }
  SSE2STR_INLINE T take() {
    asm volatile("" : "+x"(lane_));
    return reinterpret_cast<T>(static_cast<uintptr_t>(_mm_cvtsi128_si32(lane_)));
  }

 private:
  Block lane_;
};

// `rep stosl` from the aligned pointer, then the last 0 to 3 bytes.  The
// direction flag is clear at entry by the calling convention.  The store
// writes through %edi, which it pushes and pops itself, with the call-frame
// records of both.  The pointer arrives parked; the remaining count waits
// in its place until the words are stored.
template <class Pattern>
SSE2STR_INLINE void string_store(Parked<char*> pointer, size_t remaining, Block block) {
  Parked<size_t> left(remaining);
  size_t words = remaining / kWordSize;
  char* p = pointer.take();
  const uint32_t word = Pattern::of(block).word;
  // clang-format off
  asm volatile("pushl %%edi\n\t"
               ".cfi_adjust_cfa_offset 4\n\t"
               ".cfi_rel_offset %%edi, 0\n\t"
               "movl %[p], %%edi\n\t"
               "rep stosl\n\t"
               "movl %%edi, %[p]\n\t"
               "popl %%edi\n\t"
               ".cfi_adjust_cfa_offset -4\n\t"
               ".cfi_restore %%edi"
               : [p] "+r"(p), "+c"(words)
               : "a"(word)
               : "memory");
  // clang-format on
  remaining = left.take();
  if ((remaining & 2) != 0) {
    store_half(p, word);
    p += 2;
  }
  if ((remaining & 1) != 0) store_byte(p, word);
}

// The string-store threshold, from the data-cache size read with one load.
SSE2STR_INLINE size_t string_store_threshold() {
  return fill_stages::string_store_threshold(
      *static_cast<volatile uint32_t*>(&__x86_data_cache_size));
}

// ---- the size classes ------------------------------------------------------

SSE2STR_INLINE bool is_short_fill(size_t count) {
  return __builtin_expect(count < kShortFillLimit, 1);
}

// Below kTailLimit after the head store: the tail table finishes the fill.
// Taken as the likelier outcome, so the medium fill runs straight on into
// its jump and the large-fill decision is a branch target of its own.
SSE2STR_INLINE bool is_medium_fill(size_t remaining) {
  return __builtin_expect(remaining < kTailLimit, 1);
}

// At or past the threshold the string store takes the fill; below it, the
// block loop, which runs straight on from the decision.
SSE2STR_INLINE bool takes_string_store(size_t remaining) {
  return __builtin_expect(remaining >= string_store_threshold(), 0);
}

}  // namespace sse2str
