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
#include <vector>

#include "reference.h"
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

// The routines linked in, in the order of Routine.
std::vector<Routine> landed_routines();

// The routine whose name or module is `name`; false when there is none.
bool find_routine(std::string_view name, Routine* routine);

// The routines under test and their plain-loop models behind one set of
// names, so that a check can be written once for both.
struct Sse2Routines {
  static const void* memchr(const void* s, int v, size_t n) { return __memchr_sse2(s, v, n); }
  static size_t strnlen(const char* s, size_t n) { return __strnlen_sse2(s, n); }
  static const char* strrchr(const char* s, int v) { return __strrchr_sse2(s, v); }
  static char* stpcpy(char* d, const char* s) { return __stpcpy_sse2(d, s); }
  static int wcscmp(const wchar_t* a, const wchar_t* b) { return __wcscmp_sse2(a, b); }
  static void* memset(void* d, int v, size_t n) { return __memset_sse2_rep(d, v, n); }
  static void bzero(void* d, size_t n) { __bzero_sse2_rep(d, n); }
};

struct ModelRoutines {
  static const void* memchr(const void* s, int v, size_t n) { return ref::memchr(s, v, n); }
  static size_t strnlen(const char* s, size_t n) { return ref::strnlen(s, n); }
  static const char* strrchr(const char* s, int v) { return ref::strrchr(s, v); }
  static char* stpcpy(char* d, const char* s) { return ref::stpcpy(d, s); }
  static int wcscmp(const wchar_t* a, const wchar_t* b) { return ref::wcscmp(a, b); }
  static void* memset(void* d, int v, size_t n) { return ref::memset(d, v, n); }
  static void bzero(void* d, size_t n) { ref::bzero(d, n); }
};

}  // namespace sse2str::test
