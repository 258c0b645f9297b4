// __bzero_sse2_rep against the reference model, at every placement.  That
// it performs the same stores as __memset_sse2_rep is checked from a trace
// in fill_stores_test.cpp.
#include "fill_test.h"

namespace sse2str::test {
namespace {

struct Bzero {
  static constexpr Routine kRoutine = Routine::kBzero;
  static constexpr bool kHasResult = false;
  static void* fill(void* destination, int, size_t count) {
    __bzero_sse2_rep(destination, count);
    return nullptr;
  }
  static unsigned char byte_of(int) { return 0; }
  static std::vector<uint32_t> args(void* destination, int, size_t count) {
    return {word(destination), word(count)};
  }
};

SSE2STR_FILL_TESTS(Bzero, Bzero, __bzero_sse2_rep)

}  // namespace
}  // namespace sse2str::test
