// SPDX-License-Identifier: MIT
// __wcscmp_sse2: the order of two zero-terminated strings of 32-bit
// characters, compared as signed integers: -1, 0 or +1.
//
// Stages, in the order they run:
//   first stage     pairs 0 to 3 one at a time, before any SIMD set-up, so
//                   that short strings and early differences cost a few
//                   scalar compares;
//   classification  once per call, from character 4 on: each string's
//                   address is 16-byte aligned, or one of the four blocks
//                   of every 64-byte step from it crosses a line boundary
//                   (its straddle index);
//   lead-in         whole blocks compared until the straddling block of at
//                   least one string is block 0 of a pass;
//   passes          one of seven straight-line loop bodies, 64 bytes of each
//                   string per pass, chosen by the two classes; both strings
//                   advance by whole lines, so every block keeps its way of
//                   being compared from pass to pass.
//
// Exits, each made once: a vector block that holds the deciding pair leaves
// for the lane exits of its block position (0 to 3), which the seven pass
// kinds share with the lead-in block at the same offset; the lane pick
// there chooses one of four exits, each of which reads its pair again.  An
// unequal pair, wherever it is met, ends in the one sequence that turns its
// compare into -1 or +1.
//
// Registers: the routine runs in the three scratch registers, so that no
// path saves one: the first string's address in %ecx, the second's in %edx
// (where every lead-in, pass and shared exit takes them), characters and
// masks in %eax, the zero vector in %xmm0.
//
// Page safety: a 16-byte load is made only when every pair in front of it
// agrees, so its first character belongs to both strings, and only where
// the block lies inside one line in both strings (or is an aligned block of
// one of them).  A line never crosses a page, so such a load touches no page
// without a character the routine must read.  A block that crosses a line is
// read as four characters, each by a 32-bit load of its own, and only up to
// the deciding pair: the strings need not be 4-byte aligned, and a character
// may itself span two lines or two pages.
#include <tuple>
#include <type_traits>
#include <utility>

#include "frame/block.h"
#include "frame/cascade.h"
#include "frame/entry_frame.h"

using namespace sse2str;

// The stages' lengths (frame/geometry.h).
using wcscmp_stages::kCharSize;
using wcscmp_stages::kFirstStageBytes;
using wcscmp_stages::kLongestLeadIn;

// A character: signed 32 bits, as wchar_t on this ABI.
using Char = int32_t;
static_assert(sizeof(wchar_t) == sizeof(Char) && static_cast<wchar_t>(-1) < 0);
static_assert(sizeof(Char) == kCharSize);

// A character may lie at any address, and is read through this type only.
typedef Char UnalignedChar __attribute__((aligned(1), may_alias));

inline constexpr unsigned kLanes = kBlockSize / kCharSize;

// Agreement mask bits of lane 0, and of lanes 0 and 1.
inline constexpr unsigned kFirstLaneBits = 0xF;
inline constexpr unsigned kFirstTwoLanesBits = 0xFF;
// Bits of lane 2 in the agreement mask.
inline constexpr unsigned kThirdLaneBits = 0xF00;

// ---- strings and characters ------------------------------------------------

// Where the two strings stand: the addresses of one character index in each
// (byte pointers, since neither need be 4-byte aligned).
struct Strings {
  const char* first;
  const char* second;

  // Puts the addresses where every lead-in, pass and shared exit takes
  // them, the first in %ecx and the second in %edx.  Left to itself, the
  // compiler gives each stage registers of its own, and moves or spills the
  // addresses on the way from one to the next.
  SSE2STR_INLINE void pin() { asm volatile("" : "+c"(first), "+d"(second)); }

  // Pinned again once moved: the additions stay behind the last exit test
  // of a pass, and the addresses in their registers across the back edge.
  SSE2STR_INLINE void advance(size_t bytes) {
    first += bytes;
    second += bytes;
    pin();
  }
};

enum class Side { kFirst, kSecond };

template <Side S>
SSE2STR_INLINE const char* string_of(Strings s) {
  return S == Side::kFirst ? s.first : s.second;
}

template <Side S>
SSE2STR_INLINE Char char_at(Strings s, size_t offset) {
  return *reinterpret_cast<const UnalignedChar*>(string_of<S>(s) + offset);
}

// ---- results ---------------------------------------------------------------

// What a compare tells the stage running it: the routine's result (-1, 0 or
// +1) once it meets the deciding pair; kAgree: every pair it looked at
// agrees and the stage goes on; or kDisagreeAt<P>: the vector block at
// position P of a pass (or of the lead-in) holds the deciding pair, and the
// lane exits of that position find it.  A plain int, so that after inlining
// every verdict is a constant or a known -1/+1, and each compare jumps
// straight to where its verdict leads.
using Verdict = int;

inline constexpr Verdict kAgree = 2;
template <unsigned P>
inline constexpr Verdict kDisagreeAt = 3 + P;

SSE2STR_INLINE bool decided(Verdict verdict) { return verdict != kAgree; }

// Pairs agree far more often than they decide: the tests that decide are
// marked rare, so that the agreeing path falls through from block to block,
// the exits lie out of its way, and each pass loop counts as running long
// enough to have its head aligned.
inline constexpr double kChanceToDecide = 0.01;

SSE2STR_INLINE bool rarely(bool condition) {
  return __builtin_expect_with_probability(condition, false, 1 - kChanceToDecide);
}

// The result of two characters known to differ.
SSE2STR_INLINE int order_of_unequal(Char first, Char second) {
  return first > second ? 1 : -1;
}

// The result of the deciding pair at `Offset`, read again: equal characters
// there are two terminators.
template <size_t Offset>
SSE2STR_INLINE int order_of_pair(Strings s) {
  const Char first = char_at<Side::kFirst>(s, Offset);
  const Char second = char_at<Side::kSecond>(s, Offset);
  return first == second ? 0 : order_of_unequal(first, second);
}

// The routine's result from a terminator that ends both strings: the
// character itself, 0 and in %eax already, where a zero of its own would
// cost an instruction.  The compiler knows nothing of the value, so only a
// path that returns it at once may take it.
SSE2STR_INLINE int terminator_as_result(Char terminator) {
  asm("" : "+a"(terminator));
  return terminator;
}

// The routine's result from the deciding pair at `Offset`, read again, as a
// lane exit returns it: the pair's order, or for a pair of terminators the
// first string's character, loaded into %eax.  The compiler copies a lone
// return only onto the likelier way out of a branch and reaches it through
// a jump from every other: the pair of terminators is marked the likelier
// here, so that each lane exit ends in a return of its own, and the unequal
// pair branches to the one sequence that makes its order.
template <size_t Offset>
SSE2STR_INLINE int result_of_pair(Strings s) {
  const Char first = char_at<Side::kFirst>(s, Offset);
  const Char second = char_at<Side::kSecond>(s, Offset);
  if (!rarely(first != second)) return terminator_as_result(first);
  return order_of_unequal(first, second);
}

// Runs step(Position<I>{}) to step(Position<N - 1>{}) in turn and stops at
// the first that decides.  Every step is a copy of its own, with its
// position a constant.
template <unsigned I, unsigned N, class Step>
SSE2STR_INLINE Verdict in_turn_from(Step& step) {
  if constexpr (I == N) {
    return kAgree;
  } else {
    const Verdict verdict = step(Position<I>{});
    if (decided(verdict)) return verdict;
    return in_turn_from<I + 1, N>(step);
  }
}

template <unsigned N, class Step>
SSE2STR_INLINE Verdict in_turn(Step&& step) {
  return in_turn_from<0, N>(step);
}

// ---- pairs, one at a time ----------------------------------------------------

// A pair known not to hold a terminator in one string: only a difference
// can decide it.
template <size_t Offset>
SSE2STR_INLINE Verdict compare_unequal(Strings s) {
  const Char first = char_at<Side::kFirst>(s, Offset);
  const Char second = char_at<Side::kSecond>(s, Offset);
  if (rarely(first != second)) return order_of_unequal(first, second);
  return kAgree;
}

// A pair read with 32-bit loads: it decides when its characters differ or
// both end their strings.
template <size_t Offset>
SSE2STR_INLINE Verdict compare_pair(Strings s) {
  if (const Verdict verdict = compare_unequal<Offset>(s); decided(verdict)) return verdict;
  if (rarely(char_at<Side::kFirst>(s, Offset) == 0)) return 0;
  return kAgree;
}

// The four pairs of the block at `Offset`, one at a time.  Reads whole
// characters only, and none after the deciding pair.
template <size_t Offset>
SSE2STR_INLINE Verdict compare_pairs(Strings s) {
  return in_turn<kLanes>([s](auto lane) __attribute__((always_inline)) {
    return compare_pair<Offset + lane * kCharSize>(s);
  });
}

// ---- the three ways of comparing a block -----------------------------------
//
// Each is a type with compare<P>(strings, zeros, disagreement) for the block
// at position P (0 to 3) of a pass.  `zeros` is the zero vector: cleared
// once per call, it takes each comparison with zero and is all zeros again
// whenever the compare goes on.  A vector block that holds the deciding pair
// leaves its lane pick's input in `disagreement`.

enum class Load { kAligned, kUnaligned };

// One string's block, loaded the way its string's position allows.  Each
// block of each string is read once: the tested block is held in a register
// as loaded, where both of its compares take it (left to itself, the
// compiler takes an aligned block from memory once for each compare, and
// may store an unaligned one on the stack to do the same); the other
// string's block is an operand of one compare only, so an aligned one is
// the memory operand of PCMPEQD.
template <Side S, Load L>
struct Operand {
  SSE2STR_INLINE static Block in_register(Strings s, size_t offset) {
    const char* const block = string_of<S>(s) + offset;
    Block loaded = L == Load::kAligned ? load_aligned(block) : load_unaligned(block);
    keep_as_is(loaded);
    return loaded;
  }

  SSE2STR_INLINE static Block operand(Strings s, size_t offset) {
    if constexpr (L == Load::kAligned)
      return load_aligned(string_of<S>(s) + offset);
    else
      return in_register(s, offset);
  }
};

// All ones in each 32-bit lane whose characters are equal.
SSE2STR_INLINE Block equal_chars(Block a, Block b) { return _mm_cmpeq_epi32(a, b); }

// All ones in each 32-bit lane of `block` that holds a terminator, compared
// into the zero vector itself: a block without one leaves it clear again.
// The vector stays in %xmm0 for the whole call, so that no pass copies it
// from register to register between its blocks.
SSE2STR_INLINE Block zero_chars_in_place(ZeroVector& zeros, Block block) {
  zeros = reinterpret_cast<ZeroVector>(equal_chars(reinterpret_cast<Block>(zeros), block));
  asm volatile("" : "+Yz"(zeros));
  return reinterpret_cast<Block>(zeros);
}

// Agreement mask: PSUBB of the zero lanes from the equal lanes sets the top
// bit of every byte exactly in the lanes whose characters are equal and not
// zero (0xFF - 0x00); an equal zero pair gives 0x00, an unequal pair 0x00 or
// 0x01.  So the four bits of a lane are all set or all clear.
SSE2STR_INLINE unsigned agreement_mask(Block equal, Block zero) {
  return mask_of(_mm_sub_epi8(equal, zero));
}

// Lane pick: `disagreement` is the agreement mask minus kFullMask, not zero.
// Adding 1 to a run of all-set lanes carries through them and stops in the
// first clear lane, which is left non-zero: the first non-zero four bits
// name the deciding lane.
template <class Exit>
SSE2STR_INLINE int pick_lane(unsigned disagreement, Exit&& exit) {
  if (disagreement & kFirstTwoLanesBits) {
    if (disagreement & kFirstLaneBits) return exit(Position<0>{});
    return exit(Position<1>{});
  }
  if (disagreement & kThirdLaneBits) return exit(Position<2>{});
  return exit(Position<3>{});
}

// The lane exits of block position P: the lane pick and one exit per lane,
// which reads its pair again, so that the result is the pair's order alone.
// Every pass kind and the lead-in block at the same offset come here with
// the addresses of their pass.
template <unsigned P>
SSE2STR_INLINE int lane_exits(Strings s, unsigned disagreement) {
  const auto lane_exit = [s](auto lane) __attribute__((always_inline)) {
    return result_of_pair<P * kBlockSize + lane * kCharSize>(s);
  };
  return pick_lane(disagreement, lane_exit);
}

// Vector block: a block that lies inside one line in both strings.  The
// Tested string's block goes into a register and is compared with zero; the
// Other string's block is compared with it.
template <class Tested, class Other>
struct VectorBlock {
  template <unsigned P>
  SSE2STR_INLINE static Verdict compare(Strings s, ZeroVector& zeros, unsigned& disagreement) {
    constexpr size_t kOffset = P * kBlockSize;
    const Block tested = Tested::in_register(s, kOffset);
    const Block zero = zero_chars_in_place(zeros, tested);
    const Block equal = equal_chars(tested, Other::operand(s, kOffset));
    disagreement = agreement_mask(equal, zero) - kFullMask;
    if (!rarely(disagreement != 0)) return kAgree;
    return kDisagreeAt<P>;
  }
};

// Scalar block: a block that crosses a line boundary in at least one string
// is read a character at a time, like the first stage.
struct ScalarBlock {
  template <unsigned P>
  SSE2STR_INLINE static Verdict compare(Strings s, ZeroVector&, unsigned&) {
    return compare_pairs<P * kBlockSize>(s);
  }
};

// Aligned-side test: a block that crosses a line in one string and is an
// aligned block of the Aligned string.  The aligned block alone may be read
// whole; it tells whether any of the four pairs can end the strings.
template <Side Aligned>
struct AlignedSideTest {
  template <unsigned P>
  SSE2STR_INLINE static Verdict compare(Strings s, ZeroVector& zeros, unsigned&) {
    constexpr size_t kOffset = P * kBlockSize;
    const Block zero = zero_chars_in_place(zeros, load_aligned(string_of<Aligned>(s) + kOffset));
    if (!rarely(mask_of(zero) != 0)) {
      // No terminator in the aligned string, so equal pairs agree (and the
      // zero vector is clear again).
      return in_turn<kLanes>([s](auto lane) __attribute__((always_inline)) {
        return compare_unequal<kOffset + lane * kCharSize>(s);
      });
    }
    // A terminator lies in one of the four: if pairs 0 to 2 agree, it is in
    // pair 3, and an equal pair 3 ends both strings.
    return in_turn<kLanes>([s](auto lane) __attribute__((always_inline)) {
      constexpr size_t kPair = kOffset + lane * kCharSize;
      if constexpr (lane == kLanes - 1)
        return order_of_pair<kPair>(s);
      else
        return compare_pair<kPair>(s);
    });
  }
};

// The vector blocks of the passes, by which string is tested for zero and
// how each side is loaded.  An aligned string's block is the memory operand.
using BothAlignedVector =
    VectorBlock<Operand<Side::kFirst, Load::kAligned>, Operand<Side::kSecond, Load::kAligned>>;
using FirstAlignedVector =
    VectorBlock<Operand<Side::kSecond, Load::kUnaligned>, Operand<Side::kFirst, Load::kAligned>>;
using SecondAlignedVector =
    VectorBlock<Operand<Side::kFirst, Load::kUnaligned>, Operand<Side::kSecond, Load::kAligned>>;
using UnalignedVector =
    VectorBlock<Operand<Side::kFirst, Load::kUnaligned>, Operand<Side::kSecond, Load::kUnaligned>>;

using Scalar = ScalarBlock;
using FirstSideTest = AlignedSideTest<Side::kFirst>;
using SecondSideTest = AlignedSideTest<Side::kSecond>;

// ---- passes ----------------------------------------------------------------

// In a row of the pass table, the pass kind's own vector block.
struct Vector {};

// A pass kind: how blocks 0 to 3 of every pass are compared.  `Own` is the
// kind's vector block, which stands for `Vector` in its row and which its
// lead-in uses too.
template <class Own, class... Row>
struct PassOf {
  static_assert(sizeof...(Row) == kBlocksPerLine);

  template <unsigned P>
  using RowAt = std::tuple_element_t<P, std::tuple<Row...>>;
  template <unsigned P>
  using BlockAt = std::conditional_t<std::is_same_v<RowAt<P>, Vector>, Own, RowAt<P>>;

  // The first `Length` blocks, all inside one line in both strings; then
  // both strings move past them.  A block that decides leaves the strings
  // where they are, for the lane exits of its position.
  template <unsigned Length>
  SSE2STR_INLINE static Verdict lead_in(Strings& s, ZeroVector& zeros, unsigned& disagreement) {
    static_assert(Length <= kLongestLeadIn);
    s.pin();
    const Verdict verdict = in_turn<Length>([&](auto p) __attribute__((always_inline)) {
      return Own::template compare<p>(s, zeros, disagreement);
    });
    if (!decided(verdict)) s.advance(Length * kBlockSize);
    return verdict;
  }

  // The loop: no test but the blocks' own, no counter; it ends at the
  // deciding pair.
  SSE2STR_INLINE static Verdict loop(Strings& s, ZeroVector zeros, unsigned& disagreement) {
    for (;;) {
      const Verdict verdict = in_turn<kBlocksPerLine>([&](auto p) __attribute__((always_inline)) {
        return BlockAt<p>::template compare<p>(s, zeros, disagreement);
      });
      if (decided(verdict)) return verdict;
      s.advance(kLineSize);
    }
  }
};

// The seven rows.  A vector block lies inside one line in both strings; a
// scalar block crosses a line in at least one.  In a distance-d pass one
// string crosses a line in block 0 and the other in block d.
//                               own vector block     block 0         1       2       3
using BothAlignedPass   = PassOf<BothAlignedVector,   Vector,         Vector, Vector, Vector>;
using FirstAlignedPass  = PassOf<FirstAlignedVector,  FirstSideTest,  Vector, Vector, Vector>;
using SecondAlignedPass = PassOf<SecondAlignedVector, SecondSideTest, Vector, Vector, Vector>;
using Distance0Pass     = PassOf<UnalignedVector,     Scalar,         Vector, Vector, Vector>;
using Distance1Pass     = PassOf<UnalignedVector,     Scalar,         Scalar, Vector, Vector>;
using Distance2Pass     = PassOf<UnalignedVector,     Scalar,         Vector, Scalar, Vector>;
using Distance3Pass     = PassOf<UnalignedVector,     Scalar,         Vector, Vector, Scalar>;

// The pass kinds by number, in the order of the rows.
enum class Kind {
  kBothAligned,
  kFirstAligned,
  kSecondAligned,
  kDistance0,
  kDistance1,
  kDistance2,
  kDistance3,
};

template <Kind K>
using Pass = std::tuple_element_t<static_cast<size_t>(K),
                                  std::tuple<BothAlignedPass, FirstAlignedPass, SecondAlignedPass,
                                             Distance0Pass, Distance1Pass, Distance2Pass,
                                             Distance3Pass>>;

// ---- classification --------------------------------------------------------

// The class of an address: 16-byte aligned (no block crosses a line), or
// the straddle index S of the one block among those at +0, +16, +32 and +48
// that does.  Advancing by whole lines keeps it.
struct Aligned {};
template <unsigned S>
struct Straddles {};

// A class test of string S.  Each outcome of the second string's tests is
// a lead-in, and its last test has two, one of which must follow it: its
// tests are marked as seldom passing, so that each falls through to the
// next and the last to the lead-in of straddle index 0, which compares no
// block (it clears the zero vector and jumps into the loop).  Every lead-in
// that compares a block is then reached by jumps alone and starts on a
// 16-byte boundary.  The first string's tests lead to the second string's
// and are left as compiled (its alignment test but for the mark below):
// marked as well, they give the likeliest classes
// the lead-ins of length 0 that two cells share, and a chain of the second
// string's tests left without one falls through to a lead-in that compares
// a block.
template <Side S>
SSE2STR_INLINE bool class_test(bool condition) {
  return S == Side::kSecond ? __builtin_expect(condition, false) : condition;
}

// The first-aligned and second-aligned loops share the pairs of an
// aligned-side test whose aligned block holds a terminator: one loop falls
// into them, the other jumps.  The first string's alignment test is marked
// as passing seldom, the first-aligned loop taken as the rarer, so that
// the second-aligned loop is the one that falls through.
inline constexpr double kChanceFirstAligned = 0.05;

template <Side S>
SSE2STR_INLINE bool alignment_test(bool condition) {
  if constexpr (S == Side::kFirst)
    return __builtin_expect_with_probability(condition, true, kChanceFirstAligned);
  else
    return class_test<S>(condition);
}

// Calls next() with the class of string S's address: at most four tests,
// each of one or two bits of the address.
template <Side S, class Next>
SSE2STR_INLINE auto classify(Strings s, Next&& next) {
  const char* const address = string_of<S>(s);
  if (alignment_test<S>(block_offset(address) == 0)) return next(Aligned{});
  const size_t offset = line_offset(address);
  if (class_test<S>(offset < 1 * kBlockSize)) return next(Straddles<3>{});
  if (class_test<S>(offset < 2 * kBlockSize)) return next(Straddles<2>{});
  // From 32 on, below 48 is bit 4 clear: one test, where the compiler would
  // compare the whole line offset.
  if (class_test<S>((offset & kBlockSize) == 0)) return next(Straddles<1>{});
  return next(Straddles<0>{});
}

// The cell of the two classes: the lead-in is as long as the smaller
// straddle index, which brings the first straddling block to block 0; the
// pass kind follows from which addresses are aligned and, if neither is, from
// the difference of the straddle indices.
template <class First, class Second>
struct Cell;
template <>
struct Cell<Aligned, Aligned> {
  static constexpr unsigned kLeadIn = 0;
  static constexpr Kind kKind = Kind::kBothAligned;
};
template <unsigned S>
struct Cell<Aligned, Straddles<S>> {
  static constexpr unsigned kLeadIn = S;
  static constexpr Kind kKind = Kind::kFirstAligned;
};
template <unsigned S>
struct Cell<Straddles<S>, Aligned> {
  static constexpr unsigned kLeadIn = S;
  static constexpr Kind kKind = Kind::kSecondAligned;
};
template <unsigned S1, unsigned S2>
struct Cell<Straddles<S1>, Straddles<S2>> {
  static constexpr unsigned kLeadIn = S1 < S2 ? S1 : S2;
  static constexpr Kind kKind =
      static_cast<Kind>(static_cast<unsigned>(Kind::kDistance0) + (S1 < S2 ? S2 - S1 : S1 - S2));
};

// Where the classification and the lead-in leave the call: decided, or
// ready for the passes of `kind`.
struct Route {
  Verdict verdict;
  Kind kind;
};

// The classification, then the lead-in of the two classes' cell.
SSE2STR_INLINE Route lead_in_of_cell(Strings& s, ZeroVector& zeros, unsigned& disagreement) {
  return classify<Side::kFirst>(
      s, [&](auto first_class) __attribute__((always_inline)) {
        return classify<Side::kSecond>(
            s, [&](auto second_class) __attribute__((always_inline)) {
              using C = Cell<decltype(first_class), decltype(second_class)>;
              return Route{Pass<C::kKind>::template lead_in<C::kLeadIn>(s, zeros, disagreement),
                           C::kKind};
            });
      });
}

// Every route is a constant on its own path, so the compiler takes each
// classification outcome straight to its own loop; each loop exists once.
SSE2STR_INLINE Verdict run_passes(Kind kind, Strings& s, ZeroVector zeros, unsigned& disagreement) {
  switch (kind) {
    case Kind::kBothAligned:
      return Pass<Kind::kBothAligned>::loop(s, zeros, disagreement);
    case Kind::kFirstAligned:
      return Pass<Kind::kFirstAligned>::loop(s, zeros, disagreement);
    case Kind::kSecondAligned:
      return Pass<Kind::kSecondAligned>::loop(s, zeros, disagreement);
    case Kind::kDistance0:
      return Pass<Kind::kDistance0>::loop(s, zeros, disagreement);
    case Kind::kDistance1:
      return Pass<Kind::kDistance1>::loop(s, zeros, disagreement);
    case Kind::kDistance2:
      return Pass<Kind::kDistance2>::loop(s, zeros, disagreement);
    case Kind::kDistance3:
      return Pass<Kind::kDistance3>::loop(s, zeros, disagreement);
  }
  __builtin_unreachable();
}

// The routine's result from a verdict that decides: the result itself, or
// the block position whose lane exits find it.  Every verdict is a constant
// on its own path, so each block that decides jumps straight to its
// position's lane pick: each exists once, whichever pass or lead-in comes.
SSE2STR_INLINE int result_of(Verdict verdict, Strings s, unsigned disagreement) {
  switch (verdict) {
    case kDisagreeAt<0>:
      return lane_exits<0>(s, disagreement);
    case kDisagreeAt<1>:
      return lane_exits<1>(s, disagreement);
    case kDisagreeAt<2>:
      return lane_exits<2>(s, disagreement);
    case kDisagreeAt<3>:
      return lane_exits<3>(s, disagreement);
    default:
      return verdict;
  }
}

// ---- the first stage -------------------------------------------------------

// Pairs 0 to 3, one at a time, from the pair at `Offset` on.  Returns true,
// with the routine's result in `result`, when one of them decides.  A pair
// of terminators returns its own character, 0 and in %eax already: the
// shortest strings end here, and the zero that the later stages share
// would cost them an instruction.
template <size_t Offset = 0>
SSE2STR_INLINE bool first_stage_decides(Strings s, int& result) {
  if constexpr (Offset == kFirstStageBytes) {
    return false;
  } else {
    const Char first = char_at<Side::kFirst>(s, Offset);
    const Char second = char_at<Side::kSecond>(s, Offset);
    if (rarely(first != second)) {
      result = order_of_unequal(first, second);
      return true;
    }
    if (rarely(first == 0)) {
      result = terminator_as_result(first);
      return true;
    }
    return first_stage_decides<Offset + kCharSize>(s, result);
  }
}

// ---- the routine -----------------------------------------------------------

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
int wcscmp_body(const wchar_t* first, const wchar_t* second) SSE2STR_UNNAMED(wcscmp_body);
SSE2STR_CHECK_PROTOTYPE(wcscmp_body);

int wcscmp_body(const wchar_t* first, const wchar_t* second) {
  Strings s{reinterpret_cast<const char*>(first), reinterpret_cast<const char*>(second)};

  // ---- first stage: pairs 0 to 3 ----
  if (int result; first_stage_decides(s, result)) return result;
  s.advance(kFirstStageBytes);

  // ---- set-up ----
  ZeroVector zeros = zero_vector();
  unsigned disagreement = 0;

  // ---- classification and lead-in, once per call ----
  const Route route = lead_in_of_cell(s, zeros, disagreement);
  Verdict verdict = route.verdict;

  // ---- passes ----
  if (!decided(verdict)) verdict = run_passes(route.kind, s, zeros, disagreement);

  // ---- exits ----
  return result_of(verdict, s, disagreement);
}

SSE2STR_ENTRY_END();
