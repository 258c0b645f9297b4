// SPDX-License-Identifier: MIT
// __memset_sse2_rep against the reference model, at every placement.  The
// exact stores of each path are checked from a trace in fill_stores_test.cpp.
#include "fill_test.h"

namespace sse2str::test {
namespace {

SSE2STR_FILL_TESTS(Memset, Routine::memset, __memset_sse2_rep)

// Only the low 8 bits of the value count, on every path.
TEST(Memset, UsesOnlyTheLowByteOfTheValue) {
  GuardedPages pages(4);
  TestRandom random(13);
  uint32_t cache = 0;
  int value = 0;
  size_t count = 0, offset = 0;
  const auto at = where("cache size", cache, "value", value, "count", count, "offset", offset);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (uint32_t c : {kAlwaysBlockLoop, kAlwaysStringStore}) {
      cache = c;
      for (int v : {0x1A5, -1, 0x100, 0x7F, -128, 0x12345678}) {
        value = v;
        for (size_t n : {1, 7, 31, 32, 100, 143, 1000, 5000}) {
          count = n;
          for (size_t o : {0, 5}) {
            offset = o;
            if (!agrees(fill_trial(Routine::memset, pages, {false, offset}, count, value, cache,
                                   random)))
              return;
          }
        }
      }
    }
  });
}

}  // namespace
}  // namespace sse2str::test
