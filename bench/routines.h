// SPDX-License-Identifier: MIT
// How the benchmark measures each routine of the list (routines.def): the
// workload (workloads.h) that prepares its operands and calls it, and the
// ceiling, the SSE2 loop that bounds its kind of work.  A routine of the
// list without an entry here does not build.
//
// Its candidates follow from its name and symbol: our module hook-free
// (`<symbol>`), its profiling build calling a returning hook
// (`<symbol>_hook`) and the platform's `_mcount` (`<symbol>_mcount`), the
// dispatch's standard name (`dispatch_<name>`), the peers after
// bench_peers.py has renamed them (`musl_<name>`, `diet_<name>`) and the
// plain byte loop (`ref::<name>`, models/reference.h).
#pragma once

#include "workloads.h"

namespace bench {

enum class Routine {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) name,
#include "routines.def"
#undef SSE2STR_ROUTINE
};

template <class W, class C>
struct Measure {
  using Workload = W;
  using Ceiling = C;
};

template <Routine>
struct Measured;
template <>
struct Measured<Routine::memchr> : Measure<SearchByte, Load> {};
template <>
struct Measured<Routine::strnlen> : Measure<StringLength, Load> {};
template <>
struct Measured<Routine::strrchr> : Measure<LastByte, Load> {};
template <>
struct Measured<Routine::stpcpy> : Measure<CopyString, Copy> {};
template <>
struct Measured<Routine::wcscmp> : Measure<CompareWide, Load2> {};
template <>
struct Measured<Routine::memset> : Measure<FillByte, Store> {};
template <>
struct Measured<Routine::bzero> : Measure<FillZero, Store> {};

}  // namespace bench
