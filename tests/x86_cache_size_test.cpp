// SPDX-License-Identifier: MIT
// The provider of __x86_data_cache_size: the value it picks for given CPUID
// answers, and that it sets the processor's before ordinary constructors run.
#include <cpuid.h>
#include <gtest/gtest.h>
#include <stdint.h>

#include <map>
#include <utility>

#include "fill/data_cache_size.h"
#include "frame/geometry.h"

extern "C" uint32_t __x86_data_cache_size;

namespace sse2str::test {
namespace {

// What the program's earliest constructors see (priority 102 runs after the
// provider's 101 and before every constructor of default priority, whatever
// the link order).
uint32_t seen_by_constructor = 0;
__attribute__((constructor(102))) void record_cache_size() {
  seen_by_constructor = __x86_data_cache_size;
}

// A processor that answers the leaves it is given and zeros for the rest;
// asking for a leaf above the highest it reports is a failure.
struct Processor {
  std::map<std::pair<unsigned, unsigned>, CpuidAnswer> leaves;
  uint32_t cache_size() const {
    return data_cache_size_for([this](unsigned leaf, unsigned subleaf) {
      const unsigned range = leaf & 0x80000000u;
      const auto highest = leaves.find({range, 0});
      if (leaf != range) {
        EXPECT_TRUE(highest != leaves.end() && leaf <= highest->second.eax)
            << "leaf " << std::hex << leaf << " beyond the highest reported";
      }
      const auto it = leaves.find({leaf, subleaf});
      return it == leaves.end() ? CpuidAnswer{} : it->second;
    });
  }
};

constexpr unsigned kErms = 1u << 9;

// A leaf-4 cache description: type, level and geometry.
CpuidAnswer cache(unsigned type, unsigned level, unsigned ways, unsigned line, unsigned sets) {
  return {type | level << 5, (ways - 1) << 22 | (line - 1), sets - 1, 0};
}
constexpr unsigned kData = 1, kInstruction = 2, kUnified = 3;

// The string store takes over at exactly 2 KiB after alignment.
TEST(X86CacheSize, FastStringStoresStartTheStringStoreAt2KiB) {
  const Processor erms{{{{0, 0}, {7, 0, 0, 0}}, {{7, 0}, {0, kErms, 0, 0}}}};
  const uint32_t c = erms.cache_size();
  EXPECT_EQ(fill_stages::string_store_threshold(c), 2048u);
  EXPECT_LT(fill_stages::string_store_threshold(c - 1), 2048u);
}

// Without fast string stores, the level-1 data cache: the first level-1
// data or unified cache of leaf 4, else the extended leaf, else 32 KiB.
TEST(X86CacheSize, OtherwiseTheLevel1DataCacheSize) {
  const Processor parameters{{{{0, 0}, {7, 0, 0, 0}},
                              {{4, 0}, cache(kInstruction, 1, 8, 64, 64)},
                              {{4, 1}, cache(kData, 1, 12, 64, 64)},
                              {{4, 2}, cache(kUnified, 2, 16, 64, 1024)}}};
  EXPECT_EQ(parameters.cache_size(), 48u * 1024);
  const Processor unified{{{{0, 0}, {4, 0, 0, 0}}, {{4, 0}, cache(kUnified, 1, 4, 32, 128)}}};
  EXPECT_EQ(unified.cache_size(), 16u * 1024);
  const Processor extended{{{{0, 0}, {1, 0, 0, 0}},
                            {{0x80000000, 0}, {0x80000005, 0, 0, 0}},
                            {{0x80000005, 0}, {0, 0, 64u << 24, 0}}}};
  EXPECT_EQ(extended.cache_size(), 64u * 1024);
  const Processor silent{{{{0, 0}, {1, 0, 0, 0}}, {{0x80000000, 0}, {0x80000004, 0, 0, 0}}}};
  EXPECT_EQ(silent.cache_size(), 32u * 1024);
}

// Leaves above the highest reported are not asked (the EXPECT in Processor),
// so answers there change nothing.
TEST(X86CacheSize, IgnoresLeavesAboveTheHighestReported) {
  const Processor old{
      {{{0, 0}, {2, 0, 0, 0}}, {{7, 0}, {0, kErms, 0, 0}}, {{4, 0}, cache(kData, 1, 8, 64, 64)}}};
  EXPECT_EQ(old.cache_size(), 32u * 1024);
}

TEST(X86CacheSize, HoldsTheProcessorsValueBeforeOrdinaryConstructorsRun) {
  const uint32_t processors = data_cache_size_for([](unsigned leaf, unsigned subleaf) {
    CpuidAnswer a;
    __cpuid_count(leaf, subleaf, a.eax, a.ebx, a.ecx, a.edx);
    return a;
  });
  EXPECT_EQ(seen_by_constructor, processors);
  EXPECT_EQ(__x86_data_cache_size, processors);
}

}  // namespace
}  // namespace sse2str::test
