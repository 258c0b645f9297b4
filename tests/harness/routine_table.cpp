// SPDX-License-Identifier: MIT
#include "routine_table.h"

namespace sse2str::test {

namespace {

// In the order of Routine.
const RoutineInfo kTable[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) {#name, #module},
#include "routines.def"
#undef SSE2STR_ROUTINE
};

}  // namespace

const RoutineInfo& info(Routine routine) { return kTable[static_cast<int>(routine)]; }

bool find_routine(std::string_view name, Routine* routine) {
  for (Routine r : kAllRoutines) {
    if (name == info(r).name || name == info(r).module) {
      *routine = r;
      return true;
    }
  }
  return false;
}

}  // namespace sse2str::test
