#include "routine_table.h"

namespace sse2str::test {

namespace {

template <class F>
const void* entry_of(F* function) {
  return reinterpret_cast<const void*>(function);
}

// In the order of Routine.
const RoutineInfo kTable[] = {
    {"memchr", "memchr_sse2", entry_of(&__memchr_sse2), false},
    {"strnlen", "strnlen_sse2", entry_of(&__strnlen_sse2), false},
    {"strrchr", "strrchr_sse2", entry_of(&__strrchr_sse2), false},
    {"stpcpy", "stpcpy_sse2", entry_of(&__stpcpy_sse2), true},
    {"wcscmp", "wcscmp_sse2", entry_of(&__wcscmp_sse2), false},
    {"memset", "memset_sse2_rep", entry_of(&__memset_sse2_rep), true},
    {"bzero", "bzero_sse2_rep", entry_of(&__bzero_sse2_rep), true},
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
