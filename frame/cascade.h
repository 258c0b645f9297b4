// SPDX-License-Identifier: MIT
// Finding a position inside a block, and testing it against a bound.
//
// The position of the lowest (or highest) set bit of a match mask is found by
// a fixed tree of single-bit tests: byte, nibble, then up to three bits.  Each
// of the sixteen outcomes is a compile-time constant handed to the caller's
// exit, so every position has its own straight-line exit and no bit-scan
// instruction is needed.
#pragma once

#include <type_traits>

#include "block.h"

namespace sse2str {

// A position in a block, known at compile time.
template <unsigned P>
using Position = std::integral_constant<unsigned, P>;

namespace detail {

template <unsigned Low, class Exit>
SSE2STR_INLINE auto first_in_nibble(unsigned mask, Exit&& exit) {
  if (mask & (1u << Low)) return exit(Position<Low>{});
  if (mask & (1u << (Low + 1))) return exit(Position<Low + 1>{});
  if (mask & (1u << (Low + 2))) return exit(Position<Low + 2>{});
  return exit(Position<Low + 3>{});  // the only bit left in a non-zero nibble
}

template <unsigned Low, class Exit>
SSE2STR_INLINE auto last_in_nibble(unsigned mask, Exit&& exit) {
  if (mask & (1u << (Low + 3))) return exit(Position<Low + 3>{});
  if (mask & (1u << (Low + 2))) return exit(Position<Low + 2>{});
  if (mask & (1u << (Low + 1))) return exit(Position<Low + 1>{});
  return exit(Position<Low>{});  // the only bit left in a non-zero nibble
}

template <unsigned Low, class Exit>
SSE2STR_INLINE auto first_in_byte(unsigned mask, Exit&& exit) {
  if (mask & (0xFu << Low)) return first_in_nibble<Low>(mask, exit);
  return first_in_nibble<Low + 4>(mask, exit);
}

template <unsigned Low, class Exit>
SSE2STR_INLINE auto last_in_byte(unsigned mask, Exit&& exit) {
  if (mask & (0xF0u << Low)) return last_in_nibble<Low + 4>(mask, exit);
  return last_in_nibble<Low>(mask, exit);
}

// Tests bits Bit to Last - 1 in address order; Last is implied.
template <unsigned Bit, unsigned Last, class Exit>
SSE2STR_INLINE auto first_from_bit(unsigned mask, Exit&& exit) {
  if constexpr (Bit == Last) {
    return exit(Position<Last>{});  // the only bit left in a non-zero byte
  } else {
    if (mask & (1u << Bit)) return exit(Position<Bit>{});
    return first_from_bit<Bit + 1, Last>(mask, exit);
  }
}

}  // namespace detail

// First-match cascade: calls exit(Position<p>{}) for the lowest set bit p of a
// non-zero 16-bit mask and returns what the exit returns.
template <class Exit>
SSE2STR_INLINE auto first_match(unsigned mask, Exit&& exit) {
  if (mask & 0xFFu) return detail::first_in_byte<0>(mask, exit);
  return detail::first_in_byte<8>(mask, exit);
}

// Last-match cascade, the mirror image of the first: calls exit(Position<p>{})
// for the highest set bit p of a non-zero 16-bit mask.
template <class Exit>
SSE2STR_INLINE auto last_match(unsigned mask, Exit&& exit) {
  if (mask & 0xFF00u) return detail::last_in_byte<8>(mask, exit);
  return detail::last_in_byte<0>(mask, exit);
}

// Linear first-match cascade: the byte test, then the bits of that byte one
// by one in address order, the last one implied.  It has no nibble branch,
// so every outcome is a straight run of tests falling through to the next;
// a position late in its byte costs up to four more tests than first_match.
template <class Exit>
SSE2STR_INLINE auto first_match_linear(unsigned mask, Exit&& exit) {
  if (mask & 0xFFu) return detail::first_from_bit<0, 7>(mask, exit);
  return detail::first_from_bit<8, 15>(mask, exit);
}

// Bound test: position p of a block lies inside the range when p is below the
// bytes remaining from the block's mask base.  Position 0 always does, since
// a block is examined only while at least one byte remains.
template <unsigned P>
SSE2STR_INLINE bool within_bound(Position<P>, size_t remaining) {
  if constexpr (P == 0)
    return true;
  else
    return P < remaining;
}

// Bounded first match: for the lowest set bit p of a non-zero 16-bit mask,
// calls exit(Position<p>{}) and returns true when p lies inside the bound,
// and returns false when it does not.  Every position has its own bound test
// and its own exit, while all the failing tests share one place: the
// caller's `if (!first_match_within(...)) goto beyond;` is resolved on each
// position's path, which then branches straight to `beyond`.
template <class Exit>
SSE2STR_INLINE bool first_match_within(unsigned mask, size_t remaining, Exit&& exit) {
  return first_match(mask, [remaining, &exit](auto position) {
    if (!within_bound(position, remaining)) return false;
    exit(position);
    return true;
  });
}

}  // namespace sse2str
