// SPDX-License-Identifier: MIT
// __stpcpy_sse2: copies the string at `source`, terminator included, to
// `destination` and returns the address of the terminator's copy.
//
// Stages, in the order they run:
//   byte probes   the first 16 bytes one at a time; a string shorter than a
//                 block is finished by the exact copy straight away;
//   first block   bytes 0 to 15 stored unaligned, then A, the aligned block
//                 that holds byte 16, tested straight from memory;
//   block phase   the six aligned blocks after A, each block stored while
//                 the next one is loaded and tested;
//   line loop     whole aligned lines from B, the line that holds A + 112,
//                 one test per line, the stores of a line interleaved with
//                 the loads of the next;
//   line exit     the line that holds the terminator, block by block.
// The block that holds the terminator is finished by the exact copy, whose
// last move ends on the terminator: no byte after its copy is written, so
// the destination may be exactly length + 1 bytes long.  The destination's
// alignment is never looked at; every 16-byte store is unaligned.  After the
// first 16 bytes every source read is an aligned block or line that holds a
// byte of the string, so no read touches a page the string does not reach.
// Source and destination must not overlap.
//
// The routine is one function that runs in %eax, %ecx, %edx and the SIMD
// registers alone (the callee-saved registers are fixed for this module),
// so no path saves a register.  The stages after the byte probes need three
// general registers: the source block, the distance from source to
// destination (one register addresses both sides) and the zero mask.  The
// exact copy exists once: the byte probes and the block stages' cascade both
// end in it.
#include <stdint.h>

#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"

using namespace sse2str;
// With A, the block phase covers 112 bytes from A, and the line that holds
// A + 112, where the line loop starts, begins 64 to 112 bytes after A.
using stpcpy_stages::kBlockPhaseBlocks;
using stpcpy_stages::kBlockPhaseReach;

// ---- the exact copy ----------------------------------------------------------
//
// For a terminator at position t of a block, a fixed run of one to three
// moves copies exactly bytes 0 to t.  Moves of 1, 2 and 4 bytes go through a
// general register, moves of 8 bytes through the low half of an SSE
// register.  Moves may overlap (the shared bytes get the same value twice),
// never reach in front of the base or past the terminator, and each one
// loads before it stores, but for a move of the terminator alone, which
// stores the zero it is known to be.

struct Move {
  unsigned offset;
  unsigned width;
};

struct ExactCopy {
  unsigned moves;
  Move move[3];
};

inline constexpr ExactCopy kExactCopy[kBlockSize] = {
    /*  0 */ {1, {{0, 1}}},
    /*  1 */ {1, {{0, 2}}},
    /*  2 */ {2, {{0, 2}, {2, 1}}},
    /*  3 */ {1, {{0, 4}}},
    /*  4 */ {2, {{0, 4}, {4, 1}}},
    /*  5 */ {2, {{0, 4}, {4, 2}}},
    /*  6 */ {2, {{0, 4}, {3, 4}}},
    /*  7 */ {2, {{0, 4}, {4, 4}}},
    /*  8 */ {3, {{0, 4}, {4, 4}, {8, 1}}},
    /*  9 */ {3, {{0, 4}, {4, 4}, {8, 2}}},
    /* 10 */ {3, {{0, 4}, {4, 4}, {7, 4}}},
    /* 11 */ {3, {{0, 4}, {4, 4}, {8, 4}}},
    /* 12 */ {2, {{0, 8}, {5, 8}}},
    /* 13 */ {2, {{0, 8}, {6, 8}}},
    /* 14 */ {2, {{0, 8}, {7, 8}}},
    /* 15 */ {2, {{0, 8}, {8, 8}}},
};

// Every entry writes bytes 0 to t, each at least once, and nothing else; a
// move of one byte moves the terminator itself.
constexpr bool copies_exactly_through(unsigned t) {
  bool written[kBlockSize] = {};
  for (unsigned m = 0; m < kExactCopy[t].moves; ++m) {
    const Move move = kExactCopy[t].move[m];
    if (move.width != 1 && move.width != 2 && move.width != 4 && move.width != 8) return false;
    if (move.offset + move.width > t + 1) return false;
    if (move.width == 1 && move.offset != t) return false;
    for (unsigned i = move.offset; i < move.offset + move.width; ++i) written[i] = true;
  }
  for (unsigned i = 0; i <= t; ++i)
    if (!written[i]) return false;
  return true;
}

constexpr bool every_exact_copy_is_exact() {
  for (unsigned t = 0; t < kBlockSize; ++t)
    if (!copies_exactly_through(t)) return false;
  return true;
}
static_assert(every_exact_copy_is_exact());

template <unsigned Width>
struct Word;
template <> struct Word<2> { using type = uint16_t; };
template <> struct Word<4> { using type = uint32_t; };

// One move of the exact copy.  The 8-byte move is a MOVLPD load into the low
// half of an SSE register and a MOVLPD store of that half: written as a
// 64-bit integer copy, GCC would split it into two 4-byte moves through a
// pair of general registers.  The register's high half is never used and is
// left as it is: the empty asms hand over whatever register GCC picks and
// keep the whole register live, so GCC neither clears one first nor turns
// the load into a MOVQ or MOVSD.  A move of one byte is the terminator's
// own: it stores zero, which spares a load.
template <unsigned Offset, unsigned Width>
SSE2STR_INLINE void move_bytes(char* destination, const char* source) {
  if constexpr (Width == 1) {
    destination[Offset] = 0;
  } else if constexpr (Width == 8) {
    __m128d low;
    asm volatile("" : "=x"(low));  // volatile: not one register for two moves
    low = _mm_loadl_pd(low, reinterpret_cast<const double*>(source + Offset));
    keep_as_is(low);
    _mm_storel_pd(reinterpret_cast<double*>(destination + Offset), low);
  } else {
    typename Word<Width>::type word;
    __builtin_memcpy(&word, source + Offset, Width);
    __builtin_memcpy(destination + Offset, &word, Width);
  }
}

template <unsigned T, unsigned M = 0>
SSE2STR_INLINE void exact_moves(char* destination, const char* source) {
  if constexpr (M < kExactCopy[T].moves) {
    move_bytes<kExactCopy[T].move[M].offset, kExactCopy[T].move[M].width>(destination, source);
    exact_moves<T, M + 1>(destination, source);
  }
}

// Copies bytes 0 to T from `source` to `destination` and returns the
// address of the terminator's copy.
template <unsigned T>
SSE2STR_INLINE char* exact_copy(char* destination, const char* source, Position<T>) {
  exact_moves<T>(destination, source);
  return destination + T;
}

// The exact copy for a position held as a value: one case per position.
// The routine has one call of it, at its end, which every path reaches with
// its position known as a constant, so GCC sends each path straight to its
// case: no jump table is made, and each position's moves exist once.  A
// second call would inline the sixteen copies again.
SSE2STR_INLINE char* exact_copy(char* destination, const char* source, unsigned terminator) {
  switch (terminator) {
#define SSE2STR_EXACT_COPY_CASE(t) \
  case t:                          \
    return exact_copy(destination, source, Position<t>{});
    SSE2STR_EXACT_COPY_CASE(0)
    SSE2STR_EXACT_COPY_CASE(1)
    SSE2STR_EXACT_COPY_CASE(2)
    SSE2STR_EXACT_COPY_CASE(3)
    SSE2STR_EXACT_COPY_CASE(4)
    SSE2STR_EXACT_COPY_CASE(5)
    SSE2STR_EXACT_COPY_CASE(6)
    SSE2STR_EXACT_COPY_CASE(7)
    SSE2STR_EXACT_COPY_CASE(8)
    SSE2STR_EXACT_COPY_CASE(9)
    SSE2STR_EXACT_COPY_CASE(10)
    SSE2STR_EXACT_COPY_CASE(11)
    SSE2STR_EXACT_COPY_CASE(12)
    SSE2STR_EXACT_COPY_CASE(13)
    SSE2STR_EXACT_COPY_CASE(14)
    SSE2STR_EXACT_COPY_CASE(15)
#undef SSE2STR_EXACT_COPY_CASE
    default:
      __builtin_unreachable();
  }
}

// ---- the byte probes -----------------------------------------------------------

// Byte probes from byte I on, one compare and branch each, in address order:
// at the first zero, sets `terminator` to its position and returns true;
// returns false when none of bytes I to 15 is zero.  No byte after the
// terminator is read.
template <unsigned I = 0>
SSE2STR_INLINE bool find_short_terminator(const char* source, unsigned& terminator) {
  if constexpr (I == kBlockSize) {
    return false;
  } else {
    if (source[I] == 0) {
      terminator = I;
      return true;
    }
    return find_short_terminator<I + 1>(source, terminator);
  }
}

// ---- source and destination together ---------------------------------------------

// Where the source byte at `p` goes, `delta` being the destination minus the
// source: the block stages move one register for both sides and address the
// destination as base plus index.
SSE2STR_INLINE char* copy_of(const char* p, uintptr_t delta) {
  return reinterpret_cast<char*>(reinterpret_cast<uintptr_t>(p) + delta);
}

// Moves `block` on by `offset`, onto the block that holds the terminator, on
// the way out of a phase.  The empty asm keeps GCC from forming the new
// address ahead of the branch and sharing it with the next block's store,
// where it would take a register beside block, delta and mask.
SSE2STR_INLINE void step_to_terminator(const char*& block, size_t offset) {
  keep_as_is(block);
  block += offset;
}

// ---- the block phase ----------------------------------------------------------------

// The block phase from the block `Offset` bytes after `block` on, `held`
// being the block in front of it, tested free of zeros and not yet stored.
// Returns true with `block` moved onto the block that holds the terminator
// and `mask` its zero mask; false once the last block is stored.  Each
// block has an exit of its own: a loop would share one among them, which
// takes the block's offset in a register.
template <size_t Offset>
SSE2STR_INLINE bool copy_block_phase(const char*& block, uintptr_t delta, ZeroVector& zero,
                                     Block held, unsigned& mask) {
  if constexpr (Offset > kBlockPhaseBlocks * kBlockSize) {
    store_unaligned(copy_of(block + Offset - kBlockSize, delta), held);
    return false;
  } else {
    const Block next = load_aligned(block + Offset);
    store_unaligned(copy_of(block + Offset - kBlockSize, delta), held);
    mask = zero_mask_in_place(zero, next);
    if (mask) {
      step_to_terminator(block, Offset);
      return true;
    }
    return copy_block_phase<Offset + kBlockSize>(block, delta, zero, next, mask);
  }
}

// ---- the routine -----------------------------------------------------------------

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
char* stpcpy_body(char* destination, const char* source) SSE2STR_UNNAMED(stpcpy_body);
SSE2STR_CHECK_PROTOTYPE(stpcpy_body);

char* stpcpy_body(char* const destination, const char* const source) {
  const char* block = source;  // the source bytes to finish, or the block being tested
  char* out = destination;     // where `block` goes
  unsigned terminator;         // the terminator's position from `block`
  uintptr_t delta;             // the destination minus the source
  unsigned mask;               // zero mask of the block that holds the terminator
  ZeroVector zero;
  Block block0, block1, block2, block3;  // the line being tested

  if (find_short_terminator(source, terminator)) goto finish;

  // ---- first block ----
  // A holds byte 16 and overlaps bytes 0 to 15 by 0 to 15 bytes, which the
  // exact copy or the block phase writes again.  A is compared straight from
  // memory; the block phase reads it again only when it goes on.  The
  // destination is taken as the distance from the source once its own
  // store is done, so the two are never held at once.
  store_unaligned(destination, load_unaligned(source));
  delta = reinterpret_cast<uintptr_t>(destination) - reinterpret_cast<uintptr_t>(source);
  zero = zero_vector();
  block = block_align_down(source + kBlockSize);
  mask = zero_mask_in_place(zero, load_aligned(block));
  if (mask) goto locate;

  // ---- block phase: each block is stored once the next one is loaded ----
  // A block free of zeros leaves the zero vector clear, so it is compared
  // in place and stays whole in its register for the store.
  if (copy_block_phase<kBlockSize>(block, delta, zero, reload_aligned(block), mask)) goto locate;

  // ---- line setup: B, the line that holds A + 112 ----
  // B lies 64 to 112 bytes after A, so the first line repeats up to 48
  // bytes the block phase has copied.
  block = line_align_down(block + kBlockPhaseReach);
  block0 = load_aligned(block);
  block1 = load_aligned(block + kBlockSize);
  block2 = load_aligned(block + 2 * kBlockSize);
  block3 = load_aligned(block + 3 * kBlockSize);
  // The unsigned minimum of the line is zero in some lane exactly when the
  // line holds a zero byte.
  mask = zero_mask_of(bytewise_min(bytewise_min(block0, block1), bytewise_min(block2, block3)),
                      zero);

  // ---- line loop: a line is stored only once it tested free of zeros ----
  // The stores of one line alternate with the loads of the next, so stores
  // and loads issue side by side; the next block 2 is loaded before the
  // current one is stored.
  while (mask == 0) {
    store_unaligned(copy_of(block, delta), block0);
    block0 = load_aligned(block + kLineSize);
    store_unaligned(copy_of(block + kBlockSize, delta), block1);
    block1 = load_aligned(block + kLineSize + kBlockSize);
    const Block low = bytewise_min(block0, block1);
    const Block next2 = load_aligned(block + kLineSize + 2 * kBlockSize);
    store_unaligned(copy_of(block + 2 * kBlockSize, delta), block2);
    store_unaligned(copy_of(block + 3 * kBlockSize, delta), block3);
    block3 = load_aligned(block + kLineSize + 3 * kBlockSize);
    block2 = next2;
    mask = zero_mask_of(bytewise_min(low, bytewise_min(block2, block3)), zero);
    block += kLineSize;
  }

  // ---- line exit: blocks free of zeros are stored whole ----
  // Written out block by block: a helper sharing the blocks by reference
  // makes GCC keep them in a realigned stack frame.
  mask = zero_mask_in_place(zero, block0);
  if (mask) goto locate;
  store_unaligned(copy_of(block, delta), block0);
  mask = zero_mask_in_place(zero, block1);
  if (mask) {
    step_to_terminator(block, kBlockSize);
    goto locate;
  }
  store_unaligned(copy_of(block + kBlockSize, delta), block1);
  mask = zero_mask_in_place(zero, block2);
  if (mask) {
    step_to_terminator(block, 2 * kBlockSize);
    goto locate;
  }
  store_unaligned(copy_of(block + 2 * kBlockSize, delta), block2);
  mask = zero_mask_in_place(zero, block3);  // the terminator is in this block
  block += 3 * kBlockSize;

  // ---- the block that holds the terminator ----
  // Every exit of the block stages comes here with the block and its zero
  // mask; the cascade's outcomes are constants, so each one goes straight
  // on to its own exact copy, as each byte probe does.
locate:
  out = copy_of(block, delta);
  terminator = first_match_linear(mask, [](auto position) -> unsigned { return position; });
finish:
  return exact_copy(out, block, terminator);
}

SSE2STR_ENTRY_END();
