// The provider of __x86_data_cache_size: set before main, and before
// ordinary constructors, to the level-1 data-cache size, which the C
// library reports independently.
#include <gtest/gtest.h>
#include <stdint.h>
#include <unistd.h>

extern "C" uint32_t __x86_data_cache_size;

namespace {

// What the program's earliest constructors see (priority 102 runs after the
// provider's 101 and before every constructor of default priority, whatever
// the link order).
uint32_t seen_by_constructor = 0;
__attribute__((constructor(102))) void record_cache_size() {
  seen_by_constructor = __x86_data_cache_size;
}

constexpr uint32_t kFallback = 32 * 1024;

uint32_t reported_by_the_c_library() {
  const long size = sysconf(_SC_LEVEL1_DCACHE_SIZE);
  return size > 0 ? static_cast<uint32_t>(size) : kFallback;
}

TEST(X86CacheSize, HoldsTheLevel1DataCacheSizeBeforeMain) {
  EXPECT_EQ(__x86_data_cache_size, reported_by_the_c_library());
}

TEST(X86CacheSize, IsSetBeforeOrdinaryConstructorsRun) {
  EXPECT_EQ(seen_by_constructor, reported_by_the_c_library());
}

}  // namespace
