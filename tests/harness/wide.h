// SPDX-License-Identifier: MIT
// Wide strings laid out at any byte address, as the wcscmp tests place
// them: characters go in and out through memcpy.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "frame/geometry.h"

namespace sse2str::test {

using Char = int32_t;  // wchar_t on i386
using wcscmp_stages::kCharSize;
static_assert(sizeof(Char) == kCharSize);

// Positions of the deciding pair that reach, from any pair of start offsets,
// through the pairs compared one at a time, the longest lead-in and two
// whole passes, and one more.
inline constexpr size_t kDecidingReach =
    wcscmp_stages::kFirstStageBytes + wcscmp_stages::kLongestLeadIn * kBlockSize + 2 * kLineSize;
inline constexpr size_t kDecidingPositions = kDecidingReach / kCharSize + 1;

inline void put(char* string, size_t k, Char c) { memcpy(string + k * kCharSize, &c, kCharSize); }

inline Char get(const char* string, size_t k) {
  Char c;
  memcpy(&c, string + k * kCharSize, kCharSize);
  return c;
}

}  // namespace sse2str::test
