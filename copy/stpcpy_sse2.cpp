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

// ---- the byte probes -----------------------------------------------------------

// Byte probes from byte I on, one compare and branch each, in address order:
// at the first zero, copies the string exactly, sets `end` and returns true;
// returns false when none of bytes I to 15 is zero.  No byte after the
// terminator is read.
template <unsigned I = 0>
SSE2STR_INLINE bool copy_short_string(char* destination, const char* source, char*& end) {
  if constexpr (I == kBlockSize) {
    return false;
  } else {
    if (source[I] == 0) {
      end = exact_copy(destination, source, Position<I>{});
      return true;
    }
    return copy_short_string<I + 1>(destination, source, end);
  }
}

// ---- the routine -----------------------------------------------------------------

SSE2STR_ENTRY_FRAME(".text", __stpcpy_sse2);

SSE2STR_BODY(".text")
char* stpcpy_body(char* destination, const char* source) SSE2STR_UNNAMED(stpcpy_body);

SSE2STR_LONG_PATH(".text")
char* copy_long_string(char* destination, const char* source) SSE2STR_UNNAMED(copy_long_string);

char* stpcpy_body(char* const destination, const char* const source) {
  char* end;
  if (copy_short_string(destination, source, end)) return end;
  return copy_long_string(destination, source);
}

// Bytes 0 to 15 hold no zero.  From here the routine carries a source block
// and its matching destination address together.
char* copy_long_string(char* const destination, const char* const source) {
  ZeroVector zero = zero_vector();
  const char* block;  // aligned source block being tested, or the one to finish
  char* out;          // where `block` goes in the destination
  unsigned mask;      // zero mask of the block to finish
  Block block0, block1, block2, block3;  // the line being tested

  // ---- first block ----
  // A holds byte 16 and overlaps bytes 0 to 15 by 0 to 15 bytes, which the
  // exact copy or the block phase writes again.  A is compared straight from
  // memory; the block phase reads it again only when it goes on.
  store_unaligned(destination, load_unaligned(source));
  block = block_align_down(source + kBlockSize);
  out = destination + (block - source);
  mask = zero_mask_in_place(zero, load_aligned(block));
  if (mask) goto finish;

  // ---- block phase: each block is stored once the next one is loaded ----
  // A block free of zeros leaves the zero vector clear, so it is compared
  // in place and stays whole in its register for the store.
  {
    Block held = reload_aligned(block);  // tested free of zeros, not yet stored
#pragma GCC unroll kBlockPhaseBlocks
    for (size_t offset = kBlockSize; offset <= kBlockPhaseBlocks * kBlockSize;
         offset += kBlockSize) {
      const Block next = load_aligned(block + offset);
      store_unaligned(out + offset - kBlockSize, held);
      mask = zero_mask_in_place(zero, next);
      if (mask) {
        block += offset;
        out += offset;
        goto finish;
      }
      held = next;
    }
    store_unaligned(out + kBlockPhaseBlocks * kBlockSize, held);
  }

  // ---- line setup: B, the line that holds A + 112 ----
  // B lies 64 to 112 bytes after A, so the first line repeats up to 48
  // bytes the block phase has copied.  Only the source is realigned; the
  // destination follows it.
  {
    const char* const line = line_align_down(block + kBlockPhaseReach);
    out += line - block;
    block = line;
  }
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
    const char* const next = block + kLineSize;
    store_unaligned(out, block0);
    block0 = load_aligned(next);
    store_unaligned(out + kBlockSize, block1);
    block1 = load_aligned(next + kBlockSize);
    const Block low = bytewise_min(block0, block1);
    const Block next2 = load_aligned(next + 2 * kBlockSize);
    store_unaligned(out + 2 * kBlockSize, block2);
    store_unaligned(out + 3 * kBlockSize, block3);
    block3 = load_aligned(next + 3 * kBlockSize);
    block2 = next2;
    mask = zero_mask_of(bytewise_min(low, bytewise_min(block2, block3)), zero);
    block = next;
    out += kLineSize;
  }

  // ---- line exit: blocks free of zeros are stored whole ----
  // Written out block by block: a helper sharing the blocks and pointers by
  // reference makes GCC keep them in a realigned stack frame.
  mask = zero_mask_in_place(zero, block0);
  if (mask) goto finish;
  store_unaligned(out, block0);
  block += kBlockSize;
  out += kBlockSize;
  mask = zero_mask_in_place(zero, block1);
  if (mask) goto finish;
  store_unaligned(out, block1);
  block += kBlockSize;
  out += kBlockSize;
  mask = zero_mask_in_place(zero, block2);
  if (mask) goto finish;
  store_unaligned(out, block2);
  block += kBlockSize;
  out += kBlockSize;
  mask = zero_mask_in_place(zero, block3);  // the terminator is in this block

  // ---- the block that holds the terminator ----
finish:
  return first_match_linear(mask, [block, out](auto terminator) {
    return exact_copy(out, block, terminator);
  });
}

SSE2STR_ENTRY_END(".text", __stpcpy_sse2);
