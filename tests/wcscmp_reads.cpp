// SPDX-License-Identifier: MIT
// Calls __wcscmp_sse2 at every pair of start offsets in a line, for
// wcscmp_reads.py to check every load the routine makes under valgrind's
// lackey tool: which bytes, how wide, and whether a 16-byte load crosses a
// 64-byte line.  Guard pages can only tell that no read reaches an
// unreadable page; the trace tells exactly what was read.
//
// Standard output, written at the end in one piece (everything the driver
// runs is traced too, so it does little between calls): the areas' bounds
// and the marker's address, then for every call in order four 32-bit words,
// each string's start and the address of its deciding character.  A one-byte
// store to the marker page precedes every call (a load whose value goes
// unused may not reach the trace).
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "routines.h"
#include "sweep.h"
#include "wide.h"

using namespace sse2str;
using namespace sse2str::test;

namespace {

constexpr size_t kArea = 2 * 4096;
constexpr size_t kCalls = kLineSize * kLineSize;

uint32_t address(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

int main() {
  // Each string in a mapping of its own, so that every load in it is the
  // routine's reading of that string; the driver itself only stores there.
  auto map = [](size_t size) {
    return static_cast<char*>(
        mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  };
  char* const first_area = map(kArea);
  char* const second_area = map(kArea);
  volatile char* const marker = map(4096);
  static uint32_t report[5 + 4 * kCalls];
  report[0] = address(first_area);
  report[1] = address(first_area + kArea);
  report[2] = address(second_area);
  report[3] = address(second_area + kArea);
  report[4] = address(const_cast<char*>(marker));
  uint32_t* row = report + 5;

  // Every byte 0x11: wherever the strings start, all their characters are
  // the same non-zero value, so each call only writes its deciding pair.
  memset(first_area, 0x11, kArea);
  memset(second_area, 0x11, kArea);
  constexpr Char kSame = 0x11111111;
  unsigned call = 0;
  for (size_t first_offset = 0; first_offset < kLineSize; ++first_offset) {
    for (size_t second_offset = 0; second_offset < kLineSize; ++second_offset, ++call) {
      char* const first = first_area + kLineSize + first_offset;
      char* const second = second_area + kLineSize + second_offset;
      // The deciding position and the kind of decision change from call to
      // call, so that over the offsets every position is met.
      const size_t k = (first_offset * 7 + second_offset * 3) % kDecidingPositions;
      switch (call % 4) {
        case 0: put(second, k, kSame + 1); break;
        case 1: put(first, k, 0), put(second, k, 0); break;
        case 2: put(first, k, 0); break;
        default: put(second, k, 0); break;
      }
      *row++ = address(first);
      *row++ = address(first + k * kCharSize);
      *row++ = address(second);
      *row++ = address(second + k * kCharSize);
      *marker = 1;
      __wcscmp_sse2(reinterpret_cast<const wchar_t*>(first),
                    reinterpret_cast<const wchar_t*>(second));
      put(first, k, kSame);
      put(second, k, kSame);
    }
  }
  return write(1, report, sizeof report) == static_cast<ssize_t>(sizeof report) ? 0 : 1;
}
