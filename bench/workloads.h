// SPDX-License-Identifier: MIT
// Workloads: for each kind of routine, how its operands are laid out, how one
// call is made, and what that call must produce.
//
// Every workload makes the candidate touch all `size` bytes: the target byte
// or the terminator is the last byte, copies and compares run to the
// terminator, fills cover the whole range.  Each struct provides
//   Fn                   the routine's C type
//   kScenarios           the contents measured ("end", "early", ...)
//   kLayouts             for routines of two operands, the pairs of start
//                        offsets measured (one operand: the plan's offsets)
//   kCharacterSize       the bytes of one character of the strings
//   processed(size)      the bytes a call on a range of `size` really covers
//   prepare(ops, s)      writes the operands of scenario s
//   call(f, ops)         one call whose result the compiler must keep
//   correct(f, ops, s)   one call on freshly prepared operands, checked
//   mix(f, call)         one call of a realistic mix (mixes.h), whose result
//                        it returns as a number, for the mix's check
#pragma once

#include <benchmark/benchmark.h>
#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#include <array>

#include "ceilings.h"

namespace bench {

// The bytes one call works on: `size` bytes at `first` and, for routines with
// two operands, at `second`.  Both buffers have a block of slack on each
// side, which the fills' checks inspect and the ceilings may round into.
struct Operands {
  char* first;
  char* second;
  size_t size;
  int byte = 0;  // the byte sought, in the calls of a realistic mix
};

// Start offsets (modulo 64) of the two operands of one measured layout.
struct Layout {
  const char* label;
  size_t first;
  size_t second;
};

// Most workloads work on bytes and cover exactly the range they are given.
struct WholeRange {
  static constexpr size_t kCharacterSize = 1;
  static size_t processed(size_t size) { return size; }
};

inline long number_of(const void* p) { return static_cast<long>(reinterpret_cast<uintptr_t>(p)); }

// The byte searched for: its high bit is set, so a routine that compares
// bytes as signed values would miss it.
inline constexpr unsigned char kTarget = 0xA5;
inline constexpr int kFillValue = 0x5A;
// What fills must leave untouched around their range.
inline constexpr unsigned char kSentinel = 0xEE;

// Bytes of a string: never zero, never the target.
inline char text_byte(size_t i) { return static_cast<char>('a' + i % 26); }

inline void write_string(char* s, size_t size) {  // size - 1 bytes, then 0
  for (size_t i = 0; i + 1 < size; ++i) s[i] = text_byte(i);
  s[size - 1] = '\0';
}

inline bool holds(const char* p, size_t n, unsigned char byte) {
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) != byte) return false;
  return true;
}

// ---- search ----------------------------------------------------------------

struct SearchByte : WholeRange {  // memchr: the only match is the last byte of the range
  using Fn = void*(const void*, int, size_t);
  static constexpr std::array<const char*, 1> kScenarios{"end"};
  static void prepare(const Operands& o, int) {
    for (size_t i = 0; i + 1 < o.size; ++i) o.first[i] = text_byte(i);
    o.first[o.size - 1] = static_cast<char>(kTarget);
  }
  static void call(Fn* f, const Operands& o) {
    benchmark::DoNotOptimize(f(o.first, kTarget, o.size));
  }
  static bool correct(Fn* f, const Operands& o, int s) {
    prepare(o, s);
    return f(o.first, kTarget, o.size) == o.first + o.size - 1;
  }
  static long mix(Fn* f, const Operands& c) { return number_of(f(c.first, c.byte, c.size)); }
};

struct StringLength : WholeRange {  // strnlen: the terminator is the last byte of the bound
  using Fn = size_t(const char*, size_t);
  static constexpr std::array<const char*, 1> kScenarios{"end"};
  static void prepare(const Operands& o, int) { write_string(o.first, o.size); }
  static void call(Fn* f, const Operands& o) {
    benchmark::DoNotOptimize(f(o.first, o.size));
  }
  static bool correct(Fn* f, const Operands& o, int s) {
    prepare(o, s);
    return f(o.first, o.size) == o.size - 1;
  }
  static long mix(Fn* f, const Operands& c) { return static_cast<long>(f(c.first, c.size)); }
};

// strrchr: the string fills the range; the target is its last character
// ("end"), its first ("early", so the scan carries a match to the end), or
// every kEvery-th character ("several": a new last match in every block).
struct LastByte : WholeRange {
  using Fn = char*(const char*, int);
  static constexpr std::array<const char*, 3> kScenarios{"end", "early", "several"};
  static constexpr size_t kEvery = 7;
  static bool is_match(const Operands& o, int s, size_t i) {
    if (i + 1 >= o.size) return false;  // the terminator
    switch (s) {
      case 0:
        return i == o.size - 2;
      case 1:
        return i == 0;
      default:
        return i % kEvery == 0;
    }
  }
  static void prepare(const Operands& o, int s) {
    write_string(o.first, o.size);
    for (size_t i = 0; i + 1 < o.size; ++i)
      if (is_match(o, s, i)) o.first[i] = static_cast<char>(kTarget);
  }
  static void call(Fn* f, const Operands& o) { benchmark::DoNotOptimize(f(o.first, kTarget)); }
  static bool correct(Fn* f, const Operands& o, int s) {
    prepare(o, s);
    const char* expected = nullptr;
    for (size_t i = 0; i < o.size; ++i)
      if (is_match(o, s, i)) expected = o.first + i;
    return f(o.first, kTarget) == expected;
  }
  static long mix(Fn* f, const Operands& c) { return number_of(f(c.first, c.byte)); }
};

// ---- copy and compare ------------------------------------------------------

// stpcpy: a string of `size` bytes with its terminator, from `second` to
// `first`, the destination's start offset differing from the source's in all
// but one layout.
struct CopyString : WholeRange {
  using Fn = char*(char*, const char*);
  static constexpr std::array<const char*, 1> kScenarios{"copy"};
  static constexpr std::array<Layout, 3> kLayouts{
      {{"dst0-src0", 0, 0}, {"dst5-src37", 5, 37}, {"dst37-src0", 37, 0}}};
  static void prepare(const Operands& o, int) { write_string(o.second, o.size); }
  static void call(Fn* f, const Operands& o) {
    benchmark::DoNotOptimize(f(o.first, o.second));
    benchmark::ClobberMemory();
  }
  static bool correct(Fn* f, const Operands& o, int s) {
    prepare(o, s);
    for (size_t i = 0; i < o.size + 1; ++i) o.first[i] = static_cast<char>(kSentinel);
    if (f(o.first, o.second) != o.first + o.size - 1) return false;
    for (size_t i = 0; i < o.size; ++i)
      if (o.first[i] != o.second[i]) return false;
    return static_cast<unsigned char>(o.first[o.size]) == kSentinel;
  }
  static long mix(Fn* f, const Operands& c) {
    const long end = number_of(f(c.first, c.second));
    benchmark::ClobberMemory();
    return end;
  }
};

// wcscmp: two equal wide strings that fill the range, size / kCharacterSize
// characters with the terminator, compared to the end.  The layouts put the
// two starts at offsets that select each of the routine's seven kinds of
// main-loop pass; the kind follows from where character 4 of each string
// falls in its 64-byte line (aligned, or the block of four that crosses the
// line).
struct CompareWide {
  using Fn = int(const wchar_t*, const wchar_t*);
  static constexpr std::array<const char*, 1> kScenarios{"equal"};
  static constexpr std::array<Layout, 7> kLayouts{{{"both-aligned", 0, 0},
                                                   {"first-aligned", 0, 4},
                                                   {"second-aligned", 4, 0},
                                                   {"distance-0", 4, 4},
                                                   {"distance-1", 52, 4},
                                                   {"distance-2", 52, 20},
                                                   {"distance-3", 52, 36}}};
  static constexpr size_t kCharacterSize = sizeof(wchar_t);
  static size_t characters(size_t size) {
    return size < kCharacterSize ? 1 : size / kCharacterSize;
  }
  // Whole characters only: a range of 7 bytes is one character and its
  // terminator, 8 bytes.
  static size_t processed(size_t size) { return kCharacterSize * characters(size); }
  // Characters are stored bytewise: the misaligned scenarios put them at
  // addresses that are not multiples of the character size.
  static void put(char* string, size_t k, wchar_t c) {
    __builtin_memcpy(string + kCharacterSize * k, &c, kCharacterSize);
  }
  static void write(char* string, size_t n) {
    for (size_t k = 0; k + 1 < n; ++k) put(string, k, static_cast<wchar_t>(0x10000 + k % 1000));
    put(string, n - 1, 0);
  }
  static void prepare(const Operands& o, int) {
    write(o.first, characters(o.size));
    write(o.second, characters(o.size));
  }
  static const wchar_t* wide(const char* p) { return reinterpret_cast<const wchar_t*>(p); }
  static void call(Fn* f, const Operands& o) {
    benchmark::DoNotOptimize(f(wide(o.first), wide(o.second)));
  }
  static bool correct(Fn* f, const Operands& o, int s) {
    prepare(o, s);
    if (f(wide(o.first), wide(o.second)) != 0) return false;
    // A difference in the last character must be seen, with its sign
    // (characters are signed).
    const size_t last = characters(o.size) - 1;
    if (last == 0) return true;
    put(o.second, last - 1, -1);
    const bool ordered = f(wide(o.first), wide(o.second)) > 0 && f(wide(o.second), wide(o.first)) < 0;
    prepare(o, s);
    return ordered;
  }
  // Only the sign is the routine's contract.
  static long mix(Fn* f, const Operands& c) {
    const int r = f(wide(c.first), wide(c.second));
    return (r > 0) - (r < 0);
  }
};

// ---- fill ------------------------------------------------------------------

// Checks a fill of `o.size` bytes of `byte` with sentinels on both sides.
template <class Fill>
bool fills_exactly(const Operands& o, unsigned char byte, Fill fill) {
  char* before = o.first - 16;
  for (size_t i = 0; i < o.size + 32; ++i) before[i] = static_cast<char>(kSentinel);
  fill();
  return holds(before, 16, kSentinel) && holds(o.first, o.size, byte) &&
         holds(o.first + o.size, 16, kSentinel);
}

struct FillByte : WholeRange {  // memset
  using Fn = void*(void*, int, size_t);
  static constexpr std::array<const char*, 1> kScenarios{"fill"};
  static void prepare(const Operands&, int) {}
  static void call(Fn* f, const Operands& o) {
    benchmark::DoNotOptimize(f(o.first, kFillValue, o.size));
    benchmark::ClobberMemory();
  }
  static bool correct(Fn* f, const Operands& o, int) {
    void* result = nullptr;
    return fills_exactly(o, kFillValue, [&] { result = f(o.first, kFillValue, o.size); }) &&
           result == o.first;
  }
  static long mix(Fn* f, const Operands& c) {
    const long result = number_of(f(c.first, kFillValue, c.size));
    benchmark::ClobberMemory();
    return result;
  }
};

struct FillZero : WholeRange {  // bzero
  using Fn = void(void*, size_t);
  static constexpr std::array<const char*, 1> kScenarios{"fill"};
  static void prepare(const Operands&, int) {}
  static void call(Fn* f, const Operands& o) {
    f(o.first, o.size);
    benchmark::ClobberMemory();
  }
  static bool correct(Fn* f, const Operands& o, int) {
    return fills_exactly(o, 0, [&] { f(o.first, o.size); });
  }
  static long mix(Fn* f, const Operands& c) {
    f(c.first, c.size);
    benchmark::ClobberMemory();
    return 0;
  }
};

// ---- ceilings --------------------------------------------------------------
// Always measured from aligned operands.

struct Load {
  static constexpr const char* kName = "load";
  static void prepare(const Operands& o) { SearchByte::prepare(o, 0); }
  static void call(const Operands& o) {
    benchmark::DoNotOptimize(ceiling_load(o.first, kTarget, o.size));
  }
};

struct Load2 {
  static constexpr const char* kName = "load2";
  static void prepare(const Operands& o) { CompareWide::prepare(o, 0); }
  static void call(const Operands& o) {
    benchmark::DoNotOptimize(ceiling_load2(o.first, o.second, o.size));
  }
};

struct Copy {
  static constexpr const char* kName = "copy";
  static void prepare(const Operands& o) { CopyString::prepare(o, 0); }
  static void call(const Operands& o) {
    benchmark::DoNotOptimize(ceiling_copy(o.first, o.second, o.size));
    benchmark::ClobberMemory();
  }
};

struct Store {
  static constexpr const char* kName = "store";
  static void prepare(const Operands&) {}
  static void call(const Operands& o) {
    ceiling_store(o.first, kFillValue, o.size);
    benchmark::ClobberMemory();
  }
};

}  // namespace bench
