// Helpers for sweeping offsets, lengths and positions with test data.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <random>

namespace sse2str::test {

inline constexpr size_t kBlockSize = 16;
inline constexpr size_t kLineSize = 64;

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

 private:
  std::mt19937 engine_;
};

// A value argument whose low byte is `byte` and whose other bits are junk the
// routine must ignore.
inline int value_with_junk(unsigned char byte, TestRandom& random) {
  return static_cast<int>((random.word() & ~0xFFu) | byte);
}

}  // namespace sse2str::test
