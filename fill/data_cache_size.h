// SPDX-License-Identifier: MIT
// The rule that picks __x86_data_cache_size from what the processor reports
// through CPUID.  x86_cache_size.cpp applies it to the processor at start-up;
// the tests apply it to CPUID answers of their own.
//
// The fill routines send a fill to `rep stosl` from C - C/16 bytes after
// alignment on, C being the value chosen here:
//   - on processors with fast string stores (the ERMS feature bit),
//     kFastStringCacheSize: there `rep stosl` beats the 16-byte block loop
//     from a couple of kilobytes on (`make bench` measures the crossover and
//     its report states it for the machine it ran on);
//   - on others, where the string store pays off only beyond the cache, the
//     size of the level-1 data cache, from the deterministic cache parameters
//     (leaf 4), else from the extended level-1 cache leaf, else
//     kFallbackDataCacheSize.
#pragma once

#include <stdint.h>

namespace sse2str {

// Constants are inline variables: an unused internal one would still be
// emitted under -fno-toplevel-reorder.

// Used when the processor reports no level-1 data cache: the size common to
// x86 processors with SSE2 for two decades.
inline constexpr uint32_t kFallbackDataCacheSize = 32 * 1024;

// With fast string stores: the smallest C whose threshold C - C/16 is 2 KiB.
inline constexpr uint32_t kFastStringCacheSize = 2184;

// Structured extended features (leaf 7, sub-leaf 0): EBX bit 9 is ERMS,
// enhanced `rep movsb`/`rep stosb`, which also makes `rep stosl` fast.
inline constexpr unsigned kExtendedFeaturesLeaf = 7;
inline constexpr unsigned kErmsBit = 1u << 9;

// Deterministic cache parameters (leaf 4), one sub-leaf per cache.
inline constexpr unsigned kCacheParametersLeaf = 4;
inline constexpr unsigned kMaxCacheSubleaves = 64;
inline constexpr unsigned kCacheTypeNone = 0;
inline constexpr unsigned kCacheTypeData = 1;
inline constexpr unsigned kCacheTypeUnified = 3;

// Level-1 cache and TLB information (extended leaf), AMD and others.
inline constexpr unsigned kExtendedLeaves = 0x80000000;
inline constexpr unsigned kL1CacheLeaf = 0x80000005;

// What CPUID answers for one leaf and sub-leaf.
struct CpuidAnswer {
  unsigned eax, ebx, ecx, edx;
};

// The data-cache size to set, given `cpuid(leaf, subleaf)` returning the
// processor's CpuidAnswer.  Leaves above the highest one the processor
// reports (in EAX of leaf 0, or of 0x80000000 for the extended range) are
// never asked for: their answers mean nothing.
template <class Cpuid>
uint32_t data_cache_size_for(Cpuid cpuid) {
  const unsigned highest = cpuid(0, 0).eax;
  if (highest >= kExtendedFeaturesLeaf && (cpuid(kExtendedFeaturesLeaf, 0).ebx & kErmsBit) != 0)
    return kFastStringCacheSize;

  if (highest >= kCacheParametersLeaf) {
    for (unsigned subleaf = 0; subleaf < kMaxCacheSubleaves; ++subleaf) {
      const CpuidAnswer cache = cpuid(kCacheParametersLeaf, subleaf);
      const unsigned type = cache.eax & 0x1F;
      const unsigned level = (cache.eax >> 5) & 0x7;
      if (type == kCacheTypeNone) break;
      if (level != 1 || (type != kCacheTypeData && type != kCacheTypeUnified)) continue;
      const uint32_t ways = (cache.ebx >> 22) + 1;
      const uint32_t partitions = ((cache.ebx >> 12) & 0x3FF) + 1;
      const uint32_t line = (cache.ebx & 0xFFF) + 1;
      const uint32_t sets = cache.ecx + 1;
      return ways * partitions * line * sets;
    }
  }

  if (cpuid(kExtendedLeaves, 0).eax >= kL1CacheLeaf) {
    const uint32_t kib = cpuid(kL1CacheLeaf, 0).ecx >> 24;  // size in KiB in the top byte
    if (kib != 0) return kib * 1024;
  }
  return kFallbackDataCacheSize;
}

}  // namespace sse2str
