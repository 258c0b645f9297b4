// SPDX-License-Identifier: MIT
// Calls each standard name the routines are bound to (memchr, ..., bzero)
// over sweeps of offsets, lengths and match positions, checks every result
// against the plain-loop models, and prints on standard output how often it
// called each routine:
//
//   sse2: yes
//   calls: __memchr_sse2=76704 ... __bzero_sse2_rep=2640
//
// the first line the processor's SSE2 as the compiler's own reading of
// CPUID has it (the premise of the run), the second one count per routine,
// under the routine's symbol: the counting hook's line must say the same
// when every call reached the routine, and zero everywhere when the program
// chose the plain-C twins.  A difference from a model is printed as it is
// found, and the program then exits with 1.
//
// Linked with the dispatch or with the routines bound straight to the names
// (interposition), as C: nothing of the C++ runtime, whose own calls of
// these names would join the counts.  Compiled with -fno-builtin, and no
// header declares the names here, so every call below is a call of the
// symbol.
#include <stdint.h>
#include <stdio.h>

#include "frame/geometry.h"
#include "include/sse2str.h"
#include "models/reference.h"

// The standard names, under identifiers of our own bound to their symbols.
extern "C" {
void* call_memchr(const void* start, int value, size_t count) __asm__("memchr");
size_t call_strnlen(const char* string, size_t bound) __asm__("strnlen");
char* call_strrchr(const char* string, int value) __asm__("strrchr");
char* call_stpcpy(char* destination, const char* source) __asm__("stpcpy");
int call_wcscmp(const wchar_t* first, const wchar_t* second) __asm__("wcscmp");
void* call_memset(void* destination, int value, size_t count) __asm__("memset");
void call_bzero(void* destination, size_t count) __asm__("bzero");
}

namespace {

using sse2str::kBlockSize;

enum Routine {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) k_##name,
#include "routines.def"
#undef SSE2STR_ROUTINE
  kRoutines
};

const char* const kNames[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) #name,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

const char* const kSymbols[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) #symbol,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

// Start offsets cover every alignment of a 16-byte block; lengths
// up to 96 take the routines past their first blocks into their loops.
constexpr size_t kOffsets = kBlockSize;
constexpr size_t kMaxLength = 96;
// The differences printed before the rest are only counted.
constexpr unsigned kReported = 10;

unsigned calls[kRoutines];
unsigned differences;

// Deterministic contents (xorshift32).
uint32_t state = 2463534242u;
unsigned char random_byte() {
  state ^= state << 13;
  state ^= state >> 17;
  state ^= state << 5;
  return static_cast<unsigned char>(state >> 11);
}
unsigned char byte_other_than(unsigned char avoid) {
  unsigned char b = random_byte();
  while (b == avoid || b == 0) b = random_byte();
  return b;
}

void differ(const char* routine, const char* what, long long got, long long want, size_t offset,
            size_t length, long long position) {
  if (differences++ < kReported)
    printf("%s: offset %zu, length %zu, at %lld: %s %lld, the model %lld\n", routine, offset,
           length, position, what, got, want);
}

// A pointer as its offset from `base`, -1 for null.
long long offset_of(const void* p, const void* base) {
  return p == nullptr ? -1 : static_cast<const char*>(p) - static_cast<const char*>(base);
}

alignas(64) unsigned char area[kOffsets + kMaxLength + 64];
alignas(64) unsigned char model_area[sizeof area];
alignas(64) char source_area[kOffsets + kMaxLength + 64];

// A single match at every position of every range, or none; a decoy just
// past the range and another after the match.  Counts far past the range,
// up to the top of the address space, stop at a match inside it.
void sweep_memchr() {
  for (size_t offset = 0; offset < kOffsets; ++offset) {
    for (size_t length = 0; length <= kMaxLength; ++length) {
      unsigned char* const start = area + offset;
      const unsigned char needle = random_byte();
      for (long long at = -1; at < static_cast<long long>(length); ++at) {
        for (unsigned char& b : area) b = byte_other_than(needle);
        start[length] = needle;
        if (at >= 0) start[at] = start[at + (length - at) / 2] = needle;
        const int value = needle | 0x100 * static_cast<int>(random_byte());
        const bool huge_count = at >= 0 && at % 7 == 0;
        const size_t count = huge_count ? SIZE_MAX - at : length;
        ++calls[k_memchr];
        const void* got = call_memchr(start, value, count);
        const void* want = ref::memchr(start, value, huge_count ? length : count);
        if (got != want)
          differ(kNames[k_memchr], "result", offset_of(got, start), offset_of(want, start), offset,
                 length, at);
      }
    }
  }
}

// Strings of every length at every offset, with every bound up to just past
// the terminator and the largest one.
void sweep_strnlen() {
  for (size_t offset = 0; offset < kOffsets; ++offset) {
    for (size_t length = 0; length <= kMaxLength; ++length) {
      const char* const start = reinterpret_cast<char*>(area + offset);
      for (unsigned char& b : area) b = byte_other_than(0);
      area[offset + length] = 0;
      for (size_t bound = 0; bound <= length + 2; ++bound) {
        const size_t b = bound == length + 2 ? SIZE_MAX : bound;
        ++calls[k_strnlen];
        const size_t got = call_strnlen(start, b);
        const size_t want = ref::strnlen(start, b);
        if (got != want)
          differ(kNames[k_strnlen], "length", got, want, offset, length,
                 static_cast<long long>(bound));
      }
    }
  }
}

// The last of two matches at every position, none, and the terminator
// itself (value 0); values with bits above the low byte.
void sweep_strrchr() {
  for (size_t offset = 0; offset < kOffsets; ++offset) {
    for (size_t length = 0; length <= kMaxLength; ++length) {
      const char* const start = reinterpret_cast<char*>(area + offset);
      const unsigned char needle = byte_other_than(0);
      for (long long at = -2; at < static_cast<long long>(length); ++at) {
        for (unsigned char& b : area) b = byte_other_than(needle);
        area[offset + length] = 0;
        area[offset + length + 1] = needle;
        if (offset > 0) area[offset - 1] = needle;
        if (at >= 0) area[offset + at] = area[offset + at / 2] = needle;
        const int value = at == -2 ? 0x300 : needle | 0x100 * static_cast<int>(random_byte());
        ++calls[k_strrchr];
        const char* got = call_strrchr(start, value);
        const char* want = ref::strrchr(start, value);
        if (got != want)
          differ(kNames[k_strrchr], "result", offset_of(got, start), offset_of(want, start), offset,
                 length, at);
      }
    }
  }
}

// Every length from every source offset to every destination offset: the
// result and every byte of the destination's area, where only the copy may
// change.
void sweep_stpcpy() {
  for (size_t from = 0; from < kOffsets; ++from) {
    for (size_t to = 0; to < kOffsets; ++to) {
      for (size_t length = 0; length <= kMaxLength; ++length) {
        for (char& c : source_area) c = static_cast<char>(random_byte());
        for (size_t i = 0; i < length; ++i) source_area[from + i] = byte_other_than(0);
        source_area[from + length] = 0;
        for (size_t i = 0; i < sizeof area; ++i) area[i] = model_area[i] = random_byte();
        char* const destination = reinterpret_cast<char*>(area + to);
        char* const model = reinterpret_cast<char*>(model_area + to);
        ++calls[k_stpcpy];
        const char* got = call_stpcpy(destination, source_area + from);
        const char* want = ref::stpcpy(model, source_area + from);
        if (offset_of(got, destination) != offset_of(want, model))
          differ(kNames[k_stpcpy], "end", offset_of(got, destination), offset_of(want, model), to,
                 length, static_cast<long long>(from));
        for (size_t i = 0; i < sizeof area; ++i) {
          if (area[i] != model_area[i]) {
            differ(kNames[k_stpcpy], "byte", area[i], model_area[i], to, length,
                   static_cast<long long>(i));
            break;
          }
        }
      }
    }
  }
}

// Two strings of every length at every pair of character offsets in a
// block, equal up to a deciding position: a larger, a smaller or a negative
// character there, or a terminator on one side only.
void sweep_wcscmp() {
  constexpr size_t kCharacters = kBlockSize / sizeof(wchar_t);
  constexpr size_t kMaxCharacters = kMaxLength / sizeof(wchar_t);
  alignas(64) static wchar_t first_area[kCharacters + kMaxCharacters + 1];
  alignas(64) static wchar_t second_area[kCharacters + kMaxCharacters + 1];
  const wchar_t deciders[] = {1, -1, static_cast<wchar_t>(0x80000000u), 0};
  for (size_t a = 0; a < kCharacters; ++a) {
    for (size_t b = 0; b < kCharacters; ++b) {
      for (size_t length = 0; length <= kMaxCharacters; ++length) {
        wchar_t* const first = first_area + a;
        wchar_t* const second = second_area + b;
        for (size_t i = 0; i < length; ++i)
          first[i] = second[i] = static_cast<wchar_t>(byte_other_than(0) * 0x01010101u);
        first[length] = second[length] = 0;
        for (size_t at = 0; at <= length; ++at) {
          for (wchar_t decider : deciders) {
            const wchar_t kept = second[at];
            second[at] =
                static_cast<wchar_t>(static_cast<uint32_t>(kept) + static_cast<uint32_t>(decider));
            ++calls[k_wcscmp];
            const int got = call_wcscmp(first, second);
            const int want = ref::wcscmp(first, second);
            if ((got > 0) - (got < 0) != want)
              differ(kNames[k_wcscmp], "sign", got, want, a * kCharacters + b, length,
                     static_cast<long long>(at));
            second[at] = kept;
          }
        }
      }
    }
  }
}

// Every count at every offset, short and long, with values whose bits above
// the low byte must not count: every byte of the area, where only the range
// may change.  memset returns its destination.
void sweep_fill(Routine routine) {
  alignas(64) static unsigned char fill_area[kOffsets + 8192 + 64];
  alignas(64) static unsigned char fill_model[sizeof fill_area];
  const size_t long_counts[] = {255, 256, 1000, 4097, 8192};
  for (size_t offset = 0; offset < kOffsets; ++offset) {
    for (size_t step = 0; step <= 2 * kMaxLength + 5; ++step) {
      const size_t count = step <= 2 * kMaxLength ? step : long_counts[step - 2 * kMaxLength - 1];
      const int value = random_byte() | 0x100 * static_cast<int>(random_byte());
      for (size_t i = 0; i < sizeof fill_area; ++i) fill_area[i] = fill_model[i] = random_byte();
      unsigned char* const destination = fill_area + offset;
      unsigned char* const model = fill_model + offset;
      ++calls[routine];
      if (routine == k_memset) {
        const void* got = call_memset(destination, value, count);
        ref::memset(model, value, count);
        if (got != destination)
          differ(kNames[routine], "result", offset_of(got, destination), 0, offset, count, -1);
      } else {
        call_bzero(destination, count);
        ref::bzero(model, count);
      }
      for (size_t i = 0; i < sizeof fill_area; ++i) {
        if (fill_area[i] != fill_model[i]) {
          differ(kNames[routine], "byte", fill_area[i], fill_model[i], offset, count,
                 static_cast<long long>(i));
          break;
        }
      }
    }
  }
}

}  // namespace

int main() {
  printf("sse2: %s\n", __builtin_cpu_supports("sse2") ? "yes" : "no");
  sweep_memchr();
  sweep_strnlen();
  sweep_strrchr();
  sweep_stpcpy();
  sweep_wcscmp();
  sweep_fill(k_memset);
  sweep_fill(k_bzero);
  printf("calls:");
  for (int r = 0; r < kRoutines; ++r) printf(" %s=%u", kSymbols[r], calls[r]);
  printf("\n");
  if (differences > 0) printf("%u results differ from the models\n", differences);
  return differences > 0 ? 1 : 0;
}
