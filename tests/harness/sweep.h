// SPDX-License-Identifier: MIT
// Helpers for sweeping offsets, lengths and positions with test data.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "frame/geometry.h"

namespace sse2str::test {

// Deterministic pseudo-random test data; every test seeds its own.
class TestRandom {
 public:
  explicit TestRandom(uint32_t seed) : engine_(seed) {}
  uint32_t word() { return static_cast<uint32_t>(engine_()); }
  unsigned char byte() { return static_cast<unsigned char>(engine_()); }
  // Uniform in [0, n); n > 0.
  size_t below(size_t n) { return static_cast<size_t>(engine_() % n); }
  // A byte that differs from `avoid`.
  unsigned char byte_other_than(unsigned char avoid) {
    unsigned char b = byte();
    return b == avoid ? static_cast<unsigned char>(b + 1 + below(255)) : b;
  }
  // Fills [p, p + n) with bytes that differ from `avoid`.
  void fill_avoiding(void* p, size_t n, unsigned char avoid) {
    unsigned char* bytes = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) bytes[i] = byte_other_than(avoid);
  }
  // n bytes other than `avoid`.
  std::vector<unsigned char> bytes_avoiding(size_t n, unsigned char avoid) {
    std::vector<unsigned char> bytes(n);
    fill_avoiding(bytes.data(), n, avoid);
    return bytes;
  }
  // `length` string bytes (none zero, none equal to `avoid`) and a terminator.
  std::vector<unsigned char> string(size_t length, unsigned char avoid = 0) {
    std::vector<unsigned char> bytes(length + 1, 0);
    fill_string(bytes.data(), length, avoid);
    return bytes;
  }
  // Fills [p, p + n) with string bytes: none zero, none equal to `avoid`.
  void fill_string(void* p, size_t n, unsigned char avoid = 0) {
    unsigned char* bytes = static_cast<unsigned char*>(p);
    for (size_t i = 0; i < n; ++i) {
      unsigned char b = byte_other_than(avoid);
      while (b == 0) b = byte_other_than(avoid);
      bytes[i] = b;
    }
  }

 private:
  std::mt19937 engine_;
};

// A value argument whose low byte is `byte` and whose other bits are junk the
// routine must ignore.
inline int value_with_junk(unsigned char byte, TestRandom& random) {
  return static_cast<int>((random.word() & ~0xFFu) | byte);
}

// The variables a sweep steps through, named for messages: streamed,
// where("offset", offset, "count", count) prints "offset 3, count 17" with the
// values the variables hold at that moment.  It refers to them, so they must
// outlive it.
template <class Print>
struct Place {
  Print print;
};

template <class Print>
std::ostream& operator<<(std::ostream& out, const Place<Print>& place) {
  place.print(out);
  return out;
}

template <class... Parts>
auto where(const Parts&... parts) {
  auto print = [&parts...](std::ostream& out) {
    int i = 0;
    ((out << (i == 0 ? "" : i % 2 ? " " : ", ") << parts, ++i), ...);
  };
  return Place<decltype(print)>{print};
}

}  // namespace sse2str::test
