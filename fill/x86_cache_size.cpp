// __x86_data_cache_size for programs that do not define it themselves.
//
// The fill routines read this 32-bit byte count to decide from which size on
// a fill goes to `rep stosl` (at C - C/16 bytes after alignment).  This
// object sets it before main, and before the program's own constructors,
// unless the program has its own definition:
//   - on processors with fast string stores (the ERMS feature bit), to
//     kFastStringCacheSize: there `rep stosl` beats the 16-byte block loop
//     from a couple of kilobytes on and runs twice as fast while the fill
//     stays in the level-1 cache (`make bench` measures the crossover);
//   - on others, where the string store pays off only beyond the cache, to
//     the level-1 data-cache size the processor reports.
// The program's own definition wins:
//   - linked from libsse2str.a, the object is not pulled in at all when the
//     program defines the symbol;
//   - linked explicitly, its definition is weak, so the program's wins; the
//     constructor writes only this object's own storage, which the exported
//     name then no longer refers to.
// A program may also assign the variable at any time; each large fill reads
// it afresh.
#include <cpuid.h>
#include <stdint.h>

namespace sse2str {

// Constants are inline variables: an unused internal one would still be
// emitted under -fno-toplevel-reorder.

// Used when the processor reports no level-1 data cache: the size common to
// x86 processors with SSE2 for two decades.
inline constexpr uint32_t kFallbackDataCacheSize = 32 * 1024;

// With fast string stores: the smallest C whose threshold C - C/16 is 2 KiB,
// the crossover of the block loop and `rep stosl` that `make bench` measures
// and its report states for the machine it ran on.
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
inline constexpr unsigned kL1CacheLeaf = 0x80000005;

}  // namespace sse2str

// The storage behind the weak exported name, under a name of its own.
static uint32_t own_data_cache_size asm("sse2str_own_data_cache_size") =
    sse2str::kFallbackDataCacheSize;

extern "C" {
extern uint32_t __x86_data_cache_size
    __attribute__((weak, alias("sse2str_own_data_cache_size")));
}

namespace sse2str {
namespace {

// The highest leaf of the range that starts at `base` (GCC's cpuid.h gives it
// unsigned, Clang's signed).
unsigned highest_leaf(unsigned base) {
  return static_cast<unsigned>(__get_cpuid_max(base, nullptr));
}

// Whether the processor reports fast string stores.
bool has_fast_string_stores() {
  if (highest_leaf(0) < kExtendedFeaturesLeaf) return false;
  unsigned eax, ebx, ecx, edx;
  __cpuid_count(kExtendedFeaturesLeaf, 0, eax, ebx, ecx, edx);
  return (ebx & kErmsBit) != 0;
}

// Size in bytes of the level-1 data cache described by leaf 4, or 0.
uint32_t level1_data_cache_from_parameters() {
  if (highest_leaf(0) < kCacheParametersLeaf) return 0;
  for (unsigned subleaf = 0; subleaf < kMaxCacheSubleaves; ++subleaf) {
    unsigned eax, ebx, ecx, edx;
    __cpuid_count(kCacheParametersLeaf, subleaf, eax, ebx, ecx, edx);
    const unsigned type = eax & 0x1F;
    const unsigned level = (eax >> 5) & 0x7;
    if (type == kCacheTypeNone) break;
    if (level != 1 || (type != kCacheTypeData && type != kCacheTypeUnified)) continue;
    const uint32_t ways = (ebx >> 22) + 1;
    const uint32_t partitions = ((ebx >> 12) & 0x3FF) + 1;
    const uint32_t line = (ebx & 0xFFF) + 1;
    const uint32_t sets = ecx + 1;
    return ways * partitions * line * sets;
  }
  return 0;
}

// Size in bytes of the level-1 data cache from the extended leaf, or 0.
uint32_t level1_data_cache_from_extended_leaf() {
  if (highest_leaf(0x80000000) < kL1CacheLeaf) return 0;
  unsigned eax, ebx, ecx, edx;
  __cpuid(kL1CacheLeaf, eax, ebx, ecx, edx);
  return (ecx >> 24) * 1024;  // size in KiB in the top byte
}

// Runs at the first priority open to programs, so that their constructors
// may already fill with the value set.
__attribute__((constructor(101))) void set_data_cache_size() {
  if (has_fast_string_stores()) {
    own_data_cache_size = kFastStringCacheSize;
    return;
  }
  uint32_t size = level1_data_cache_from_parameters();
  if (size == 0) size = level1_data_cache_from_extended_leaf();
  if (size != 0) own_data_cache_size = size;
}

}  // namespace
}  // namespace sse2str
