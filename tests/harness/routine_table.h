// The seven routines as data, for the tests that treat them alike: the fuzz
// targets, the stress test and the hostile-placement test.
//
// A routine joins those tests by being linked in: the table refers to the
// entry points weakly, so a module that has not been built yet leaves its
// entry null and the tests pass over it.  The build tells the tests which
// modules it linked (SSE2STR_LANDED_MODULES), and a test checks the table
// against that list, so a module cannot drop out unnoticed.
#pragma once

#include <string_view>

#include "routines.h"

// Weak references: a module that is not linked in leaves its entry null.
// Code that calls a routine through these declarations checks landed()
// first.
#pragma weak __memchr_sse2
#pragma weak __strnlen_sse2
#pragma weak __strrchr_sse2
#pragma weak __stpcpy_sse2
#pragma weak __wcscmp_sse2
#pragma weak __memset_sse2_rep
#pragma weak __bzero_sse2_rep

namespace sse2str::test {

enum class Routine { kMemchr, kStrnlen, kStrrchr, kStpcpy, kWcscmp, kMemset, kBzero };

inline constexpr Routine kAllRoutines[] = {
    Routine::kMemchr, Routine::kStrnlen, Routine::kStrrchr, Routine::kStpcpy,
    Routine::kWcscmp, Routine::kMemset,  Routine::kBzero,
};

struct RoutineInfo {
  const char* name;    // the standard routine it stands for: "memchr"
  const char* module;  // its deliverable: "memchr_sse2"
  const void* entry;   // null when the module is not linked in
  bool writes;         // writes memory (a destination) rather than only reading
};

const RoutineInfo& info(Routine routine);
inline bool landed(Routine routine) { return info(routine).entry != nullptr; }

// The routine whose name or module is `name`; false when there is none.
bool find_routine(std::string_view name, Routine* routine);

}  // namespace sse2str::test
