// The provider of __x86_data_cache_size: set before main, and before
// ordinary constructors, to the fast-string value on processors with ERMS and
// otherwise to the level-1 data-cache size, which the C library reports
// independently.
#include <cpuid.h>
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
// C - C/16 = 2048: the string store from 2 KiB on.
constexpr uint32_t kFastString = 2184;

bool has_erms() {
  unsigned eax, ebx, ecx, edx;
  if (__get_cpuid_max(0, nullptr) < 7) return false;
  __cpuid_count(7, 0, eax, ebx, ecx, edx);
  return (ebx >> 9) & 1;
}

uint32_t expected() {
  if (has_erms()) return kFastString;
  const long size = sysconf(_SC_LEVEL1_DCACHE_SIZE);
  return size > 0 ? static_cast<uint32_t>(size) : kFallback;
}

TEST(X86CacheSize, HoldsTheProcessorsValueBeforeMain) {
  EXPECT_EQ(__x86_data_cache_size, expected());
}

TEST(X86CacheSize, IsSetBeforeOrdinaryConstructorsRun) {
  EXPECT_EQ(seen_by_constructor, expected());
}

TEST(X86CacheSize, FastStringValueStartsTheStringStoreAt2KiB) {
  EXPECT_EQ(kFastString - (kFastString >> 4), 2048u);
  EXPECT_LT((kFastString - 1) - ((kFastString - 1) >> 4), 2048u);
}

}  // namespace
