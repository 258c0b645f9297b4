// SPDX-License-Identifier: MIT
// Block operations shared by the search, copy and compare routines.
//
// A block is 16 bytes handled by one SSE2 register; a line is 64 bytes that
// start at a multiple of 64.  A page is a whole number of lines, so a read
// that stays inside one aligned block or one line never crosses a page.  The
// routines rely on that to read past the end of their operands safely.
#pragma once

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>

#include "frame/geometry.h"

#define SSE2STR_INLINE inline __attribute__((always_inline))

namespace sse2str {

// Constants are inline variables: the modules are built with
// -fno-toplevel-reorder, which keeps every unreferenced variable of internal
// linkage, and a module must carry no data it does not use.

using Block = __m128i;

// Highest offset in a line at which 16 bytes still end inside that line.
inline constexpr size_t kLastWholeBlockInLine = kLineSize - kBlockSize;

// Match mask of a block in which every byte matched.
inline constexpr unsigned kFullMask = 0xFFFF;

// ---- addresses -------------------------------------------------------------

SSE2STR_INLINE size_t block_offset(const void* p) {
  return reinterpret_cast<uintptr_t>(p) & (kBlockSize - 1);
}

SSE2STR_INLINE size_t line_offset(const void* p) {
  return reinterpret_cast<uintptr_t>(p) & (kLineSize - 1);
}

template <class T>
SSE2STR_INLINE T* block_align_down(T* p) {
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(p) & ~(kBlockSize - 1));
}

template <class T>
SSE2STR_INLINE T* line_align_down(T* p) {
  return reinterpret_cast<T*>(reinterpret_cast<uintptr_t>(p) & ~(kLineSize - 1));
}

// ---- values the compiler must take as they are -------------------------------

// An empty asm (no instruction) that may have changed `value`: from here the
// compiler knows nothing of it, so it keeps the value in one register as it
// is, and can neither make it again, fold it into the arithmetic around it,
// nor answer a later use from an earlier copy.  SSE values stay in an SSE
// register, others in a general one.
template <class T>
SSE2STR_INLINE void keep_as_is(T& value) {
  if constexpr (sizeof(T) == sizeof(__m128i))
    asm("" : "+x"(value));
  else
    asm("" : "+r"(value));
}

// Gives an exit that computes nothing (position 0, where the mask base is
// the result; a fill with nothing to return) a body of its own.  Empty, it
// would be no block at all, and GCC sends every branch to it to whatever
// `ret` is at hand, the last instruction of another exit.  With this empty
// asm (no instruction) it keeps its own `ret`, a branch target like every
// other exit.
SSE2STR_INLINE void own_return() { asm volatile(""); }

// ---- loads and stores ------------------------------------------------------

SSE2STR_INLINE Block load_aligned(const void* p) {
  return _mm_load_si128(static_cast<const Block*>(p));
}

// An aligned block read again after a loop has folded its register into
// something else.  The compiler must not answer it from the loop's own load:
// keeping that value alive would cost a register copy on every pass.
SSE2STR_INLINE Block reload_aligned(const void* p) {
  return *static_cast<const volatile Block*>(p);
}

// An aligned block read again, like reload_aligned, but as the memory
// operand of the one instruction that uses it (a comparison), so it takes
// no register and no load of its own.  The empty asm tells the compiler that
// memory may have changed: it can neither answer the read from the loop's
// register nor keep that register alive for it.
SSE2STR_INLINE Block reload_operand(const void* p) {
  asm volatile("" ::: "memory");
  return load_aligned(p);
}

// An aligned block loaded for arithmetic with MOVAPS: the load MOVDQA does,
// one byte shorter (no operand-size prefix), which keeps a loop of four
// loads in fewer fetch blocks.  Held as loaded, or GCC makes it a MOVDQA
// again on its way to the integer operations.
SSE2STR_INLINE Block load_aligned_compact(const void* p) {
  __m128 packed = _mm_load_ps(static_cast<const float*>(p));
  keep_as_is(packed);
  return _mm_castps_si128(packed);
}

SSE2STR_INLINE Block load_unaligned(const void* p) {
  return _mm_loadu_si128(static_cast<const Block*>(p));
}

SSE2STR_INLINE void store_unaligned(void* p, Block b) {
  _mm_storeu_si128(static_cast<Block*>(p), b);
}

SSE2STR_INLINE void store_aligned(void* p, Block b) {
  _mm_store_si128(static_cast<Block*>(p), b);
}

// ---- broadcast -------------------------------------------------------------

// The low byte of `value` in all 16 lanes: MOVD, two PUNPCKLBW of the
// register with itself (the byte then fills the low four lanes), PSHUFD 0.
SSE2STR_INLINE Block broadcast_byte(int value) {
  Block b = _mm_cvtsi32_si128(value);
  b = _mm_unpacklo_epi8(b, b);
  b = _mm_unpacklo_epi8(b, b);
  return _mm_shuffle_epi32(b, 0);
}

SSE2STR_INLINE Block zero_block() { return _mm_setzero_si128(); }

// ---- comparisons and masks -------------------------------------------------

// 0xFF in every lane where the two blocks hold the same byte, else 0x00.
SSE2STR_INLINE Block equal_bytes(Block a, Block b) { return _mm_cmpeq_epi8(a, b); }

// One bit per lane, bit i for byte i (the lowest address).
SSE2STR_INLINE unsigned mask_of(Block lanes) {
  return static_cast<unsigned>(_mm_movemask_epi8(lanes));
}

// Match mask of a block against a broadcast byte (or the zero block).
SSE2STR_INLINE unsigned match_mask(Block block, Block pattern) {
  return mask_of(equal_bytes(block, pattern));
}

// A zero vector: all lanes zero, the other operand of comparisons with zero.
// It is kept in the byte-lane form a comparison produces, so a comparison
// written back into it (below) needs no conversion and no register copy.
using ZeroVector = char __attribute__((vector_size(16)));

SSE2STR_INLINE ZeroVector zero_vector() { return ZeroVector{}; }

// A zero vector cleared by a PXOR of its own.  Of several zero vectors GCC
// clears one and copies it into the others, each copy waiting for the
// clear; a PXOR depends on nothing.  Volatile, so that no two are merged and
// each stays where it is written, just before the vector's first use.
SSE2STR_INLINE ZeroVector cleared_zero_vector() {
  ZeroVector zeros;
  asm volatile("pxor %0, %0" : "=x"(zeros));
  return zeros;
}

// Zero mask of a block, the zero vector left untouched: for a block that may
// hold zero bytes the routine must ignore (they would spoil the vector), or
// where the vector must stay clear whatever the block holds.
SSE2STR_INLINE unsigned zero_mask_of(Block block, ZeroVector zeros) {
  return match_mask(block, reinterpret_cast<Block>(zeros));
}

// Zero mask of a block, compared into the zero vector itself.  A block
// without a zero byte leaves the vector all zeros again, so while nothing is
// found it serves the next comparison without being cleared.
SSE2STR_INLINE unsigned zero_mask_in_place(ZeroVector& zeros, Block block) {
  zeros = reinterpret_cast<ZeroVector>(equal_bytes(reinterpret_cast<Block>(zeros), block));
  return mask_of(reinterpret_cast<Block>(zeros));
}

// Lane-wise unsigned maximum of two comparison results: a lane is 0xFF when
// it matched in either.
SSE2STR_INLINE Block either_matched(Block a, Block b) { return _mm_max_epu8(a, b); }

// Lane-wise unsigned minimum of two blocks: a lane is zero when it is zero in
// either, so one comparison with zero tests both.
SSE2STR_INLINE Block bytewise_min(Block a, Block b) { return _mm_min_epu8(a, b); }

}  // namespace sse2str
