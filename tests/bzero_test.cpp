// __bzero_sse2_rep against the reference model, at every placement.  That
// it performs the same stores as __memset_sse2_rep is checked from a trace
// in fill_stores_test.cpp.
#include "fill_test.h"
#include "frame_suite.h"

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
  static void set_args(uint32_t words[3], void* destination, int, size_t count) {
    words[0] = word(destination), words[1] = word(count), words[2] = 0xA5A5A5A5u;
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

// Calls that take each path of the routine, for the frame checks.  The
// cache size set here puts the string-store threshold at 3840 bytes.
std::vector<FrameCase> frame_cases() {
  __x86_data_cache_size = 4096;
  alignas(64) static char data[8192];
  auto call = [](const char* label, char* start, size_t count) {
    return FrameCase{label, {word(start), word(count)}, 0, false};
  };
  return {
      call("zero count", nullptr, 0),
      call("short fill", data + 3, 7),
      call("longest short fill", data + 1, 31),
      call("medium fill after the head store", data + 5, 100),
      call("medium fill from an aligned start", data, 127),
      call("block loop and tail", data + 7, 1000),
      call("string store and closing bytes", data + 9, 5000),
  };
}

SSE2STR_FRAME_TESTS(BzeroFrame, __bzero_sse2_rep, frame_cases)

}  // namespace
}  // namespace sse2str::test
