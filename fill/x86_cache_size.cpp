// SPDX-License-Identifier: MIT
// __x86_data_cache_size for programs that do not define it themselves.
//
// The fill routines read this 32-bit byte count to decide from which size on
// a fill goes to `rep stosl` (at C - C/16 bytes after alignment).  This
// object sets it before main, and before the program's own constructors, to
// the value data_cache_size.h picks for the processor, unless the program
// has its own definition:
//   - linked from libsse2str.a, the object is not pulled in at all when the
//     program defines the symbol;
//   - linked explicitly, its definition is weak, so the program's wins; the
//     constructor writes only this object's own storage, which the exported
//     name then no longer refers to.
// A program may also assign the variable at any time; each large fill reads
// it afresh.
#include <cpuid.h>
#include <stdint.h>

#include "fill/data_cache_size.h"

// The storage behind the weak exported name, under a name of its own.
static uint32_t own_data_cache_size asm("sse2str_own_data_cache_size") =
    sse2str::kFallbackDataCacheSize;

extern "C" {
extern uint32_t __x86_data_cache_size
    __attribute__((weak, alias("sse2str_own_data_cache_size")));
}

namespace sse2str {
namespace {

CpuidAnswer processor_cpuid(unsigned leaf, unsigned subleaf) {
  CpuidAnswer answer;
  __cpuid_count(leaf, subleaf, answer.eax, answer.ebx, answer.ecx, answer.edx);
  return answer;
}

// Runs at the first priority open to programs, so that their constructors
// may already fill with the value set.
__attribute__((constructor(101))) void set_data_cache_size() {
  own_data_cache_size = data_cache_size_for(processor_cpuid);
}

}  // namespace
}  // namespace sse2str
