// __bzero_sse2_rep against the reference model, at every placement.  That
// it performs the same stores as __memset_sse2_rep is checked from a trace
// in fill_stores_test.cpp.
#include "fill_test.h"

namespace sse2str::test {
namespace {

struct Bzero {
  static constexpr bool kHasResult = false;
  static void* fill(void* destination, int, size_t count) {
    __bzero_sse2_rep(destination, count);
    return nullptr;
  }
  static void reference(void* destination, int, size_t count) { ref::bzero(destination, count); }
  static unsigned char byte_of(int) { return 0; }
  static std::vector<uint32_t> args(void* destination, int, size_t count) {
    return {word(destination), word(count)};
  }
};

TEST(Bzero, ClearsExactlyTheRangeForEveryOffsetAndCount) {
  check_every_offset_and_count<Bzero>();
}

TEST(Bzero, ClearsLargeRangesOnEveryPath) { check_large_counts<Bzero>(); }

TEST(Bzero, ZeroCountTouchesNothing) { check_zero_count<Bzero>(); }

TEST(Bzero, ShortFillsLeaveTheSimdRegistersAlone) {
  check_short_fills_keep_simd_registers<Bzero>(reinterpret_cast<const void*>(&__bzero_sse2_rep),
                                               SSE2STR_PROFILE != 0);
}

TEST(Bzero, ClearsMoreThan2GiBOnBothLargeFillPaths) { check_huge_fill<Bzero>(); }

SSE2STR_FRAME_TESTS(BzeroFrame, __bzero_sse2_rep, fill_frame_cases<Bzero>)

}  // namespace
}  // namespace sse2str::test
