// Every linked routine from several threads at once: random trials on
// private buffers, and fills beside searches of neighbouring regions of one
// shared page.  Each phase runs for a fixed time, and at least a fixed
// number of rounds however slow the machine.
#include <gtest/gtest.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "guard.h"
#include "reference.h"
#include "routine_table.h"
#include "routines.h"
#include "sweep.h"
#include "trial.h"

namespace sse2str::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 4;
constexpr auto kPhaseTime = std::chrono::milliseconds(700);
constexpr int kMinRounds = 50;
constexpr int kMaxRounds = 1000000;

std::vector<Routine> linked_routines() {
  std::vector<Routine> linked;
  for (Routine r : kAllRoutines)
    if (landed(r)) linked.push_back(r);
  return linked;
}

// Runs `round(thread, round_number)` on kThreads threads until the phase
// time is up and every thread has done its minimum; stops all of them at
// the first failure, which a round reports by returning a description.
// Returns that description, or an empty string.
template <class Round>
std::string run_threads(Round round, std::vector<int>* rounds_done) {
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string failure;
  std::vector<std::thread> threads;
  rounds_done->assign(kThreads, 0);
  const auto deadline = Clock::now() + kPhaseTime;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      int& n = (*rounds_done)[t];
      while (!stop && n < kMaxRounds && (n < kMinRounds || Clock::now() < deadline)) {
        std::string difference = round(t, n++);
        if (!difference.empty()) {
          std::lock_guard<std::mutex> hold(lock);
          if (failure.empty()) failure = "thread " + std::to_string(t) + ": " + difference;
          stop = true;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  return failure;
}

// The modules this program linked are exactly those the build lists.
TEST(RoutineTable, HoldsExactlyTheLinkedModules) {
  const std::string listed = "," SSE2STR_LANDED_MODULES ",";
  for (Routine r : kAllRoutines) {
    const bool in_list = listed.find(std::string(",") + info(r).module + ",") != std::string::npos;
    EXPECT_EQ(landed(r), in_list) << info(r).module;
  }
}

// Random trials of every linked routine, each thread in windows of its own.
TEST(Stress, EveryRoutineOnPrivateBuffersFromSeveralThreads) {
  const std::vector<Routine> routines = linked_routines();
  ASSERT_FALSE(routines.empty());
  struct Private {
    GuardedPages first{2}, second{2};
    TestRandom random{0};
  };
  std::vector<Private> buffers(kThreads);
  for (int t = 0; t < kThreads; ++t) buffers[t].random = TestRandom(100 + t);

  std::vector<int> rounds;
  const std::string failure = run_threads(
      [&](int t, int) -> std::string {
        Private& p = buffers[t];
        const Stage stage{{p.first.begin(), p.first.end()}, {p.second.begin(), p.second.end()}};
        std::vector<uint8_t> input(p.random.below(700));
        for (auto& b : input) b = p.random.byte();
        for (Routine r : routines) {
          Trial trial = decode_trial(r, input.data(), input.size(), p.first.size());
          trial.cache_size.reset();  // a global: left alone while threads fill
          std::string difference = run_trial(trial, stage);
          if (!difference.empty()) return difference;
        }
        return "";
      },
      &rounds);
  EXPECT_EQ(failure, "");
  for (int t = 0; t < kThreads; ++t) EXPECT_GE(rounds[t], kMinRounds);
  std::ostringstream counts;
  for (int n : rounds) counts << n << " ";
  RecordProperty("rounds_per_thread", counts.str());
}

// ---- fills beside searches ------------------------------------------------------

// One page cut into regions of awkward sizes, so that neighbours share
// blocks and lines: searches read bytes of a neighbour that a fill is
// changing at that moment (allowed, as long as those bytes never reach the
// result), and a fill that wrote a byte beyond its region would change what
// a search finds.
constexpr size_t kRegionSizes[] = {37, 5, 64, 13, 100, 29, 48, 3, 80, 17, 71, 9, 130, 22};

// The last kWideTail bytes of a searched region are zero: they end it as a
// byte string and, whatever its length modulo 4, as a wide string.
constexpr size_t kWideTail = 7;

struct Region {
  char* begin;
  size_t size;
};

// A search of a region that does not change, and its answer, taken from the
// model before the threads start.
struct Search {
  Routine routine;
  Region region;
  int value = 0;        // memchr, strrchr
  size_t count = 0;     // memchr's count, strnlen's bound
  const char* other = nullptr;  // wcscmp's second string
  intptr_t answer = 0;
};

intptr_t run_search(const Search& s, bool model) {
  const char* p = s.region.begin;
  const auto* wide = reinterpret_cast<const wchar_t*>(p);
  const auto* other = reinterpret_cast<const wchar_t*>(s.other);
  auto pointer = [](const void* q) { return reinterpret_cast<intptr_t>(q); };
  switch (s.routine) {
    case Routine::kMemchr:
      return pointer(model ? ref::memchr(p, s.value, s.count) : __memchr_sse2(p, s.value, s.count));
    case Routine::kStrnlen:
      return static_cast<intptr_t>(model ? ref::strnlen(p, s.count) : __strnlen_sse2(p, s.count));
    case Routine::kStrrchr:
      return pointer(model ? ref::strrchr(p, s.value) : __strrchr_sse2(p, s.value));
    case Routine::kWcscmp:
      return model ? ref::wcscmp(wide, other) : __wcscmp_sse2(wide, other);
    default:
      return 0;
  }
}

// A fill (or copy) of a region by one writer thread, and what the region
// must hold afterwards.
struct Write {
  Routine routine;  // kMemchr stands for the plain-loop writer
  Region region;
  int value;
  const char* source;  // stpcpy: a string of region.size - 1 bytes
};

void run_write(const Write& w) {
  switch (w.routine) {
    case Routine::kMemset: __memset_sse2_rep(w.region.begin, w.value, w.region.size); break;
    case Routine::kBzero: __bzero_sse2_rep(w.region.begin, w.region.size); break;
    case Routine::kStpcpy: __stpcpy_sse2(w.region.begin, w.source); break;
    default: ref::memset(w.region.begin, w.value, w.region.size); break;
  }
}

std::string check_write(const Write& w) {
  for (size_t i = 0; i < w.region.size; ++i) {
    unsigned char want = static_cast<unsigned char>(w.value);
    if (w.routine == Routine::kBzero) want = 0;
    if (w.routine == Routine::kStpcpy) want = static_cast<unsigned char>(w.source[i]);
    if (static_cast<unsigned char>(w.region.begin[i]) != want) {
      std::ostringstream s;
      s << (w.routine == Routine::kMemchr ? "plain writer" : info(w.routine).name) << " of "
        << w.region.size << " bytes at " << static_cast<const void*>(w.region.begin) << ": byte "
        << i << " is " << int(static_cast<unsigned char>(w.region.begin[i])) << ", want "
        << int(want);
      return s.str();
    }
  }
  return "";
}

TEST(Stress, FillsBesideSearchesOfNeighbouringRegions) {
  GuardedPages page(1);
  TestRandom random(7);
  page.fill(0);

  // Alternate regions are searched and written.
  std::vector<Region> searched, written;
  {
    size_t at = 0;
    for (size_t i = 0;; ++i) {
      const size_t size = kRegionSizes[i % std::size(kRegionSizes)];
      if (at + size > page.size()) break;
      (i % 2 ? written : searched).push_back({page.begin() + at, size});
      at += size;
    }
  }

  // Searched regions: non-zero bytes, then the zero tail; searches whose
  // answer lies in the region, and some that find nothing.
  std::vector<std::vector<char>> others;  // wcscmp's second strings
  others.reserve(searched.size() * 2);
  std::vector<Search> searches;
  for (const Region& r : searched) {
    if (r.size <= kWideTail) continue;
    random.fill_avoiding(r.begin, r.size - kWideTail, 0);
    memset(r.begin + r.size - kWideTail, 0, kWideTail);
    const unsigned char present = static_cast<unsigned char>(r.begin[random.below(r.size - kWideTail)]);
    const int absent = 0x100 | random.byte();  // junk above the low byte
    for (int value : {int(present), absent}) {
      searches.push_back({Routine::kMemchr, r, value, r.size});
      searches.push_back({Routine::kStrrchr, r, value});
    }
    // A count far past the region, which holds a match.
    searches.push_back({Routine::kMemchr, r, present, ~size_t{0}});
    searches.push_back({Routine::kStrnlen, r, 0, ~size_t{0}});
    searches.push_back({Routine::kStrnlen, r, 0, r.size / 2});
    // The same wide string elsewhere, equal and with its last character
    // before the terminator changed.
    for (int changed : {0, 1}) {
      others.emplace_back(r.begin, r.begin + r.size);
      const size_t chars = (r.size - kWideTail + 3) / 4;
      if (changed && chars > 0) others.back()[(chars - 1) * 4] ^= 0x40;
      searches.push_back({Routine::kWcscmp, r, 0, 0, others.back().data()});
    }
  }
  std::vector<Search> linked_searches;
  for (Search& s : searches) {
    if (!landed(s.routine)) continue;
    s.answer = run_search(s, true);
    linked_searches.push_back(s);
  }
  const std::vector<char> searched_before(page.begin(), page.end());

  // Writes: every linked writer, and a plain loop that changes the
  // neighbours of the searched regions whatever is linked.
  std::vector<std::string> sources;
  sources.reserve(written.size());
  std::vector<Write> writes[2];  // one list per writer thread
  for (const Region& r : written) {
    sources.emplace_back(r.size - 1, 'c');
    for (size_t i = 0; i + 1 < r.size; ++i) sources.back()[i] = static_cast<char>(1 + random.below(255));
    for (Routine routine : {Routine::kMemset, Routine::kBzero, Routine::kStpcpy, Routine::kMemchr}) {
      if (routine != Routine::kMemchr && !landed(routine)) continue;
      for (int value : {0xA5, 0x15A, 0})
        writes[(&r - written.data()) % 2].push_back({routine, r, value, sources.back().c_str()});
    }
  }

  // Threads 0 and 1 write (each its own half of the regions), 2 and 3 search.
  std::vector<int> rounds;
  const std::string failure = run_threads(
      [&](int t, int) -> std::string {
        if (t < 2) {
          for (const Write& w : writes[t]) {
            run_write(w);
            std::string difference = check_write(w);
            if (!difference.empty()) return difference;
          }
          return "";
        }
        for (const Search& s : linked_searches) {
          const intptr_t got = run_search(s, false);
          if (got != s.answer) {
            std::ostringstream d;
            d << info(s.routine).name << " of the region at page offset "
              << (s.region.begin - page.begin()) << " (" << s.region.size << " bytes), value "
              << s.value << ", count " << s.count << ": got " << got << ", want " << s.answer;
            return d.str();
          }
        }
        return "";
      },
      &rounds);
  EXPECT_EQ(failure, "");
  for (int t = 0; t < kThreads; ++t) EXPECT_GE(rounds[t], kMinRounds);

  // No write reached a searched region.
  for (const Region& r : searched) {
    const size_t at = r.begin - page.begin();
    EXPECT_EQ(memcmp(r.begin, searched_before.data() + at, r.size), 0)
        << "searched region at page offset " << at << " changed";
  }
}

}  // namespace
}  // namespace sse2str::test
