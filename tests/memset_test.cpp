// __memset_sse2_rep against the reference model, at every placement.  The
// exact stores of each path are checked from a trace in fill_stores_test.cpp.
#include "fill_test.h"

namespace sse2str::test {
namespace {

struct Memset {
  static constexpr bool kHasResult = true;
  static void* fill(void* destination, int value, size_t count) {
    return __memset_sse2_rep(destination, value, count);
  }
  static void reference(void* destination, int value, size_t count) {
    ref::memset(destination, value, count);
  }
  static unsigned char byte_of(int value) { return static_cast<unsigned char>(value); }
  static std::vector<uint32_t> args(void* destination, int value, size_t count) {
    return {word(destination), word(value), word(count)};
  }
};

SSE2STR_FILL_TESTS(Memset, Memset, __memset_sse2_rep)

// Only the low 8 bits of the value count, on every path.
TEST(Memset, UsesOnlyTheLowByteOfTheValue) {
  GuardedPages pages(4);
  TestRandom random(13);
  for (uint32_t cache : {kAlwaysBlockLoop, kAlwaysStringStore}) {
    CacheSize scoped(cache);
    for (int value : {0x1A5, -1, 0x100, 0x7F, -128, 0x12345678}) {
      for (size_t count : {1, 7, 31, 32, 100, 143, 1000, 5000}) {
        for (size_t offset : {0, 5}) {
          EXPECT_TRUE(fills_exactly<Memset>(pages, pages.begin() + offset, count, value, random))
              << "value " << value << ", count " << count << ", offset " << offset;
        }
      }
    }
  }
}

}  // namespace
}  // namespace sse2str::test
