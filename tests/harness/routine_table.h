// The seven routines as data, for the tests that treat them alike: the fuzz
// targets, the stress test and the hostile-placement test.
#pragma once

#include <string_view>

#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {

enum class Routine { kMemchr, kStrnlen, kStrrchr, kStpcpy, kWcscmp, kMemset, kBzero };

inline constexpr Routine kAllRoutines[] = {
    Routine::kMemchr, Routine::kStrnlen, Routine::kStrrchr, Routine::kStpcpy,
    Routine::kWcscmp, Routine::kMemset,  Routine::kBzero,
};

struct RoutineInfo {
  const char* name;    // the standard routine it stands for: "memchr"
  const char* module;  // its deliverable: "memchr_sse2"
  const void* entry;
  bool writes;         // writes memory (a destination) rather than only reading
};

const RoutineInfo& info(Routine routine);

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
