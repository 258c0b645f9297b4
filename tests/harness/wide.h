// Wide strings laid out at any byte address, as the wcscmp tests place
// them: characters go in and out through memcpy.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

namespace sse2str::test {

using Char = int32_t;  // wchar_t on i386
inline constexpr size_t kCharSize = sizeof(Char);

// Positions of the deciding pair that reach, from any pair of start offsets,
// through the four characters compared one at a time, the longest lead-in
// (three blocks) and two whole passes of four blocks.
inline constexpr size_t kDecidingPositions = 4 + 3 * 4 + 2 * 16 + 1;

inline void put(char* string, size_t k, Char c) { memcpy(string + k * kCharSize, &c, kCharSize); }

inline Char get(const char* string, size_t k) {
  Char c;
  memcpy(&c, string + k * kCharSize, kCharSize);
  return c;
}

}  // namespace sse2str::test
