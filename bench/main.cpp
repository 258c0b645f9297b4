// SPDX-License-Identifier: MIT
// The side-by-side benchmark: every candidate of every routine of the list
// (routines.def, measured as routines.h says), over the same sizes and start
// offsets and the same realistic mixes (mixes.h), registered for one run that
// Google Benchmark interleaves at random.
//
//   sse2str_bench [--quick] [benchmark flags]
//
// Before anything is measured each candidate is checked on every operand
// layout it will be timed on and on every call of every mix; the benchmarks
// of one that gives a wrong result, or is not linked, report why
// (SkipWithError) instead of a time.  Each benchmark, named
// workload/candidate/layout/size, carries the operands' start offsets or,
// for a mix, its calls, bytes and description (counters and label).  The
// run's context holds the rest the report needs, as plain values: the TSC
// rate, each routine's ceiling and character size, what the mixes were
// drawn from, and the fills' string-store threshold rule (the shift of
// C - (C >> shift) and the default of C, __x86_data_cache_size).
#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <x86intrin.h>

#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "frame/geometry.h"
#include "include/sse2str.h"
#include "mixes.h"
#include "models/reference.h"
#include "routines.h"
#include "workloads.h"

namespace bench {

using Function = void (*)();

template <class F>
Function function_of(F* f) {
  return reinterpret_cast<Function>(f);
}

}  // namespace bench

// Our routines are always linked: hook-free under their own symbols, the two
// profiling sets and the dispatch's standard names renamed
// (bench/CMakeLists.txt).  The peers are weak references: one that
// bench_peers.py left out is null and skipped.
#define SSE2STR_ROUTINE(name, module, symbol, section, source)                 \
  extern "C" decltype(symbol) symbol##_hook, symbol##_mcount, dispatch_##name; \
  extern "C" __attribute__((weak)) decltype(symbol) musl_##name, diet_##name;
#include "routines.def"
#undef SSE2STR_ROUTINE

namespace bench {
namespace {

// ---- what is measured ------------------------------------------------------

struct Plan {
  std::vector<size_t> sizes;
  std::vector<size_t> offsets;       // start offsets modulo 64
  std::vector<size_t> tuning_sizes;  // the fill threshold sweep (none: no suggestion)
  size_t mix_calls = 4096;           // calls per realistic mix
};

Plan full_plan() {
  Plan p;
  p.sizes = {1, 7, 15, 16, 31, 32, 63, 64, 100, 128, 256, 1 << 10, 4 << 10, 16 << 10, 64 << 10, 1 << 20};
  p.offsets = {0, 5, 37};
  for (size_t s = 1 << 10; s <= (4u << 20); s *= 2) {
    p.tuning_sizes.push_back(s);
    if (s < (4u << 20)) p.tuning_sizes.push_back(s + s / 2);
  }
  return p;
}

// Fewer sizes and offsets, and no fill threshold sweep: a grid this coarse
// would put the threshold a whole step away from where it belongs.
Plan quick_plan() {
  Plan p;
  p.sizes = {1, 15, 16, 64, 256, 4 << 10, 64 << 10};
  p.offsets = {0, 37};
  p.mix_calls = 2048;
  return p;
}

// ---- operand buffers -------------------------------------------------------

// Two page-aligned buffers, each with a page of slack in front of the
// operands and a page behind the largest one.
class Arena {
 public:
  static constexpr size_t kLead = 4096;

  explicit Arena(size_t largest) : bytes_(largest + 2 * kLead) {
    first_ = map(bytes_);
    second_ = map(bytes_);
  }
  ~Arena() {
    munmap(first_, bytes_);
    munmap(second_, bytes_);
  }
  Operands at(const Layout& layout, size_t size) const {
    return {first_ + kLead + layout.first, second_ + kLead + layout.second, size};
  }
  Operands at(size_t offset, size_t size) const { return at(Layout{"", offset, offset}, size); }

 private:
  static char* map(size_t bytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
      perror("mmap");
      exit(2);
    }
    return static_cast<char*>(p);
  }
  size_t bytes_;
  char* first_;
  char* second_;
};

// ---- the measured loops ----------------------------------------------------

std::string name_of(const std::string& workload, const char* candidate, const std::string& layout,
                    size_t size) {
  return workload + "/" + candidate + "/" + layout + "/" + std::to_string(size);
}

std::string name_of(const std::string& workload, const char* candidate, size_t offset, size_t size) {
  return name_of(workload, candidate, std::to_string(offset), size);
}

template <class W>
void measure(benchmark::State& state, typename W::Fn* f, int scenario, size_t first, size_t second,
             Operands o) {
  W::prepare(o, scenario);
  for (auto _ : state) W::call(f, o);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(o.size));
  state.counters["first"] = static_cast<double>(first);
  state.counters["second"] = static_cast<double>(second);
}

template <class C>
void measure_ceiling(benchmark::State& state, Operands o) {
  C::prepare(o);
  for (auto _ : state) C::call(o);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(o.size));
}

// A whole mix per iteration; the report divides by the number of calls.
template <class W>
void measure_mix(benchmark::State& state, typename W::Fn* f, const Mix* mix) {
  for (auto _ : state)
    for (const Operands& c : mix->calls) W::mix(f, c);
  state.counters["calls"] = static_cast<double>(mix->calls.size());
  state.counters["mix_bytes"] = mix->bytes;
  state.SetLabel(mix->description);
}

// The benchmark of a candidate that is not measured: it says why.
void skip(benchmark::State& state, const std::string& why) { state.SkipWithError(why.c_str()); }

// The block loop against the string store: a huge cache size puts every
// large fill below the threshold, zero puts every one above it.
void measure_fill_technique(benchmark::State& state, FillByte::Fn* f, unsigned cache_size,
                            Operands o) {
  const unsigned saved = __x86_data_cache_size;
  __x86_data_cache_size = cache_size;
  for (auto _ : state) FillByte::call(f, o);
  __x86_data_cache_size = saved;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(o.size));
}

// ---- registration ----------------------------------------------------------

template <class W, class = void>
struct HasLayouts : std::false_type {};
template <class W>
struct HasLayouts<W, std::void_t<decltype(W::kLayouts)>> : std::true_type {};

// The start offsets a workload is measured from: its own pairs, or the
// plan's offsets for both operands.
template <class W>
std::vector<Layout> layouts_of(const Plan& plan, std::vector<std::string>& labels) {
  std::vector<Layout> out;
  if constexpr (HasLayouts<W>::value) {
    out.assign(W::kLayouts.begin(), W::kLayouts.end());
  } else {
    for (size_t offset : plan.offsets) {
      labels.push_back(std::to_string(offset));
      out.push_back({nullptr, offset, offset});
    }
    for (size_t i = 0; i < out.size(); ++i) out[i].label = labels[i].c_str();
  }
  return out;
}

// The sizes a workload is measured at: what its calls really process, once.
template <class W>
std::vector<size_t> sizes_of(const Plan& plan) {
  std::vector<size_t> out;
  for (size_t size : plan.sizes) {
    const size_t processed = W::processed(size);
    bool seen = false;
    for (size_t s : out) seen = seen || s == processed;
    if (!seen) out.push_back(processed);
  }
  return out;
}

struct Candidate {
  const char* name;
  Function function;
  const char* absent;  // why a null function is missing
};

// One fact of the run for the report, in the run's context.
void context(const std::string& key, const std::string& value) {
  benchmark::AddCustomContext("sse2str." + key, value);
}

class Registry {
 public:
  Registry(const Plan& plan, const Arena& arena, const std::vector<Mix>& mixes)
      : plan_(plan), arena_(arena), mixes_(mixes) {}

  template <class W, class Ceiling>
  void add_routine(const char* routine, std::vector<Candidate> candidates, Function loop) {
    std::vector<std::string> labels;
    const std::vector<Layout> layouts = layouts_of<W>(plan_, labels);
    const std::vector<size_t> sizes = sizes_of<W>(plan_);
    std::vector<const Mix*> mixes;
    for (const Mix& m : mixes_)
      if (m.routine == routine) mixes.push_back(&m);
    for (const Candidate& c : candidates) {
      std::string why = c.function ? check<W>(c, layouts, sizes) : c.absent;
      if (why.empty()) why = check_mixes<W>(c, loop, mixes);
      if (!why.empty() && c.function) {
        fprintf(stderr, "sse2str_bench: %s %s: %s\n", routine, c.name, why.c_str());
        if (strncmp(c.name, "sse2str", 7) == 0) wrong_ours_ = true;
      }
      for (size_t s = 0; s < W::kScenarios.size(); ++s)
        add_candidate<W>(routine, s, c, layouts, sizes, why);
      for (const Mix* m : mixes) add_mix<W>(*m, c, why);
    }
    add_ceiling<Ceiling>();
    context(std::string(routine) + ".ceiling", Ceiling::kName);
    context(std::string(routine) + ".character_size", std::to_string(W::kCharacterSize));
  }

  static std::string mix_workload(const Mix& m) { return "mix:" + m.routine + ":" + m.name; }

  void add_fill_tuning(Function fill) {
    auto* f = reinterpret_cast<FillByte::Fn*>(fill);
    for (size_t size : plan_.tuning_sizes) {
      const Operands o = arena_.at(size_t{0}, size);
      benchmark::RegisterBenchmark(name_of("tune:memset", "block_loop", 0, size).c_str(),
                                   measure_fill_technique, f, ~0u, o);
      benchmark::RegisterBenchmark(name_of("tune:memset", "string_store", 0, size).c_str(),
                                   measure_fill_technique, f, 0u, o);
    }
  }

  bool wrong_ours() const { return wrong_ours_; }

 private:
  // Empty when the candidate is right on every layout it is timed on.
  template <class W>
  std::string check(const Candidate& c, const std::vector<Layout>& layouts,
                    const std::vector<size_t>& sizes) const {
    auto* f = reinterpret_cast<typename W::Fn*>(c.function);
    for (size_t s = 0; s < W::kScenarios.size(); ++s)
      for (const Layout& layout : layouts)
        for (size_t size : sizes)
          if (!W::correct(f, arena_.at(layout, size), static_cast<int>(s)))
            return "wrong result (" + std::string(W::kScenarios[s]) + ", layout " + layout.label +
                   ", size " + std::to_string(size) + ")";
    return "";
  }

  // Every call of every mix gives what the byte loop gives.
  template <class W>
  std::string check_mixes(const Candidate& c, Function loop,
                          const std::vector<const Mix*>& mixes) const {
    if (!loop) return "";
    auto* f = reinterpret_cast<typename W::Fn*>(c.function);
    auto* reference = reinterpret_cast<typename W::Fn*>(loop);
    for (const Mix* m : mixes)
      for (size_t i = 0; i < m->calls.size(); ++i)
        if (W::mix(f, m->calls[i]) != W::mix(reference, m->calls[i]))
          return "wrong result (mix " + m->name + ", call " + std::to_string(i) + ")";
    return "";
  }

  // The candidate's benchmarks: measured, or, with a reason `why` it is
  // not, skipped with that reason.
  template <class W>
  void add_candidate(const char* routine, size_t scenario, const Candidate& c,
                     const std::vector<Layout>& layouts, const std::vector<size_t>& sizes,
                     const std::string& why) {
    const std::string workload = std::string(routine) + ":" + W::kScenarios[scenario];
    auto* f = reinterpret_cast<typename W::Fn*>(c.function);
    for (const Layout& layout : layouts)
      for (size_t size : sizes) {
        const std::string name = name_of(workload, c.name, layout.label, size);
        if (why.empty())
          benchmark::RegisterBenchmark(name.c_str(), measure<W>, f, static_cast<int>(scenario),
                                       layout.first, layout.second, arena_.at(layout, size));
        else
          benchmark::RegisterBenchmark(name.c_str(), skip, why);
      }
  }

  template <class W>
  void add_mix(const Mix& m, const Candidate& c, const std::string& why) {
    const std::string name = name_of(mix_workload(m), c.name, "random", m.calls.size());
    if (why.empty())
      benchmark::RegisterBenchmark(name.c_str(), measure_mix<W>,
                                   reinterpret_cast<typename W::Fn*>(c.function), &m);
    else
      benchmark::RegisterBenchmark(name.c_str(), skip, why);
  }

  template <class Ceiling>
  void add_ceiling() {
    if (!ceilings_.insert(Ceiling::kName).second) return;
    const std::string workload = std::string("ceiling:") + Ceiling::kName;
    for (size_t size : plan_.sizes)
      benchmark::RegisterBenchmark(name_of(workload, "ceiling", 0, size).c_str(),
                                   measure_ceiling<Ceiling>, arena_.at(size_t{0}, size));
  }

  const Plan& plan_;
  const Arena& arena_;
  const std::vector<Mix>& mixes_;
  std::set<std::string> ceilings_;
  bool wrong_ours_ = false;
};

// ---- the clock -------------------------------------------------------------

// Time-stamp counter ticks per nanosecond, against the monotonic clock over
// a fifth of a second.  The counter runs at the processor's nominal rate
// whatever the current core clock.
double tsc_ghz() {
  auto now = [] {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_RAW, &t);
    return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
  };
  const double start = now();
  const uint64_t ticks0 = __rdtsc();
  double elapsed;
  do elapsed = now() - start;
  while (elapsed < 2e8);
  return static_cast<double>(__rdtsc() - ticks0) / elapsed;
}

// The processor's brand string, as its vendor names it (the report quotes it
// beside the clock), or "" when the processor has none.
std::string processor_name() {
  unsigned words[12] = {};
  unsigned highest = __get_cpuid_max(0x80000000u, nullptr);
  if (highest < 0x80000004u) return "";
  for (unsigned leaf = 0; leaf < 3; ++leaf)
    __get_cpuid(0x80000002u + leaf, &words[4 * leaf], &words[4 * leaf + 1], &words[4 * leaf + 2],
                &words[4 * leaf + 3]);
  char text[sizeof words + 1] = {};
  memcpy(text, words, sizeof words);
  std::string name(text);
  const size_t first = name.find_first_not_of(' ');
  const size_t last = name.find_last_not_of(' ');
  return first == std::string::npos ? "" : name.substr(first, last - first + 1);
}

bool take_flag(int& argc, char** argv, const char* flag) {
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], flag) == 0) {
      for (int j = i; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  using namespace bench;
  const bool quick = take_flag(argc, argv, "--quick");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  const Plan plan = quick ? quick_plan() : full_plan();
  const Arena arena(plan.tuning_sizes.empty() ? plan.sizes.back() : plan.tuning_sizes.back());
  Corpus corpus;
  const std::vector<Mix> mixes = make_mixes(SSE2STR_BENCH_DISTRIBUTIONS, plan.mix_calls, &corpus);
  Registry registry(plan, arena, mixes);

  static const char kNotLinked[] = "not linked (see the peers' notes)";
#define SSE2STR_ROUTINE(name, module, symbol, section, source)                               \
  registry.add_routine<Measured<Routine::name>::Workload, Measured<Routine::name>::Ceiling>( \
      #name,                                                                                 \
      {{"sse2str", function_of(symbol), nullptr},                                            \
       {"sse2str_hook", function_of(symbol##_hook), nullptr},                                \
       {"sse2str_mcount", function_of(symbol##_mcount), nullptr},                            \
       {"sse2str_dispatch", function_of(dispatch_##name), nullptr},                          \
       {"musl", function_of(musl_##name), kNotLinked},                                       \
       {"dietlibc", function_of(diet_##name), kNotLinked},                                   \
       {"byte_loop", function_of(ref::name), nullptr}},                                      \
      function_of(ref::name));
#include "routines.def"
#undef SSE2STR_ROUTINE
  registry.add_fill_tuning(function_of(__memset_sse2_rep));

  context("tsc_ghz", std::to_string(tsc_ghz()));
  context("processor", processor_name());
  context("quick", quick ? "1" : "0");
  context("corpus.files", std::to_string(corpus.files));
  context("corpus.lines", std::to_string(corpus.lines));
  context("corpus.words", std::to_string(corpus.words));
  context("corpus.distinct_words", std::to_string(corpus.distinct_words));
  context("corpus.paths_found", std::to_string(corpus.paths_found));
  context("corpus.paths", std::to_string(corpus.paths));
  context("x86_data_cache_size", std::to_string(__x86_data_cache_size));
  context("threshold_shift", std::to_string(sse2str::fill_stages::kThresholdShift));

  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return registry.wrong_ours() ? 1 : 0;
}
