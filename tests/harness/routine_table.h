// SPDX-License-Identifier: MIT
// The routines as data, taken from the list of routines (routines.def), for
// the tests that treat them alike: the fuzz targets, the stress test and the
// hostile-placement test.
#pragma once

#include <string_view>

#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {

enum class Routine {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) name,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

inline constexpr Routine kAllRoutines[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) Routine::name,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

struct RoutineInfo {
  const char* name;    // the standard routine it stands for: "memchr"
  const char* module;  // its deliverable: "memchr_sse2"
};

const RoutineInfo& info(Routine routine);

// The routine whose name or module is `name`; false when there is none.
bool find_routine(std::string_view name, Routine* routine);

// The routines under test and their plain-loop models behind one set of
// names, so that a check can be written once for both.
struct Sse2Routines {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  static constexpr auto* name = &symbol;
#include "routines.def"
#undef SSE2STR_ROUTINE
};

struct ModelRoutines {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  static constexpr auto* name = &ref::name;
#include "routines.def"
#undef SSE2STR_ROUTINE
};

}  // namespace sse2str::test
