// SPDX-License-Identifier: MIT
// Every routine from several threads at once: random trials on
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
#include "models/reference.h"
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

// Runs `round(thread)` on kThreads threads until the phase time is up and
// every thread has done its minimum of rounds; a round reports a failure by
// returning its description, which stops all threads and fails the test.
// Records the rounds each thread ran.  Returns whether all went well.
template <class Round>
bool run_threads(Round round) {
  std::atomic<bool> stop{false};
  std::mutex lock;
  std::string failure;
  std::vector<int> rounds(kThreads, 0);
  std::vector<std::thread> threads;
  const auto deadline = Clock::now() + kPhaseTime;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      int& n = rounds[t];
      while (!stop && n < kMaxRounds && (n < kMinRounds || Clock::now() < deadline)) {
        ++n;
        std::string difference = round(t);
        if (!difference.empty()) {
          std::lock_guard<std::mutex> hold(lock);
          if (failure.empty()) failure = "thread " + std::to_string(t) + ": " + difference;
          stop = true;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(failure, "");
  if (!failure.empty()) return false;
  std::ostringstream counts;
  for (int n : rounds) {
    EXPECT_GE(n, kMinRounds);
    counts << n << " ";
  }
  testing::Test::RecordProperty("rounds_per_thread", counts.str());
  return true;
}

// Random trials of every routine, each thread in windows of its own.
TEST(Stress, EveryRoutineOnPrivateBuffersFromSeveralThreads) {
  struct Private {
    GuardedPages first{2}, second{2};
    TestRandom random{0};
  };
  std::vector<Private> buffers(kThreads);
  for (int t = 0; t < kThreads; ++t) buffers[t].random = TestRandom(100 + t);

  run_threads([&](int t) -> std::string {
    Private& p = buffers[t];
    const Arena arena{p.first.window(), p.second.window()};
    std::vector<uint8_t> input(p.random.below(700));
    for (auto& b : input) b = p.random.byte();
    for (Routine r : kAllRoutines) {
      Trial trial = decode_trial(r, input.data(), input.size(), p.first.size());
      trial.cache_size.reset();  // a global: left alone while threads fill
      std::string difference = run_trial(trial, arena);
      if (!difference.empty()) return difference;
    }
    return "";
  });
}

// ---- fills beside searches ------------------------------------------------------

// One page cut into regions of awkward sizes, so that neighbours share
// blocks and lines, taken in turn by a searcher and the two writers:
//  - searches read bytes of a neighbour that a fill is changing at that
//    moment (allowed, as long as those bytes never reach the result);
//  - a fill that wrote a byte beyond its region would change what a search
//    finds;
//  - a fill that rewrote a neighbour's bytes with what it had read of them
//    would undo the other writer's work, which that writer then sees.
constexpr size_t kRegionSizes[] = {37, 5, 64, 13, 100, 29, 48, 3, 80, 17, 71, 9, 130, 22};
constexpr int kWriters = 2;  // threads 0 and 1 write, the others search

// The last kWideTail bytes of a searched region are zero: they end it as a
// byte string and, whatever its length modulo 4, as a wide string.
constexpr size_t kWideTail = 7;

struct Region {
  char* begin;
  size_t size;
};

// A search of a region that does not change (its count and value in a
// trial), and its answer, taken from the model before the threads start.
struct Search {
  Trial call;
  Region region;
  char* other = nullptr;  // wcscmp's second string
  Result answer = 0;
};

// The answer of Sse2Routines or ModelRoutines to a search: a pointer as its
// offset in the region, a length or a sign as itself.
template <class Routines>
Result search(const Search& s) {
  const Window region{s.region.begin, s.region.begin + s.region.size};
  return call_routine<Routines>(s.call, {s.region.begin, s.other}, region, {});
}

// Searches of a region whose answers lie in the region, or are "none".
void add_searches(const Region& r, TestRandom& random, std::vector<std::vector<char>>& others,
                  std::vector<Search>& searches) {
  if (r.size <= kWideTail) return;
  const size_t text = r.size - kWideTail;
  random.fill_string(r.begin, text);
  memset(r.begin + text, 0, kWideTail);
  const unsigned char present = static_cast<unsigned char>(r.begin[random.below(text)]);
  const int absent = 0x100 | random.byte_other_than(0);  // junk above the low byte
  for (int value : {int(present), absent}) {
    searches.push_back({trial_of(Routine::memchr, {}, r.size, value), r});
    searches.push_back({trial_of(Routine::strrchr, {}, 0, value), r});
  }
  searches.push_back({trial_of(Routine::memchr, {}, ~0u, present), r});  // count far past
  searches.push_back({trial_of(Routine::strnlen, {}, ~size_t{0}), r});
  searches.push_back({trial_of(Routine::strnlen, {}, r.size / 2), r});
  // The same wide string elsewhere, equal, and with its last character
  // before the terminator changed.
  for (int changed : {0, 1}) {
    others.emplace_back(r.begin, r.begin + r.size);
    if (changed) others.back()[(text - 1) & ~size_t{3}] ^= 0x40;
    searches.push_back({trial_of(Routine::wcscmp, {}), r, others.back().data()});
  }
}

// A write of a region by its writer thread.
struct Write {
  Routine routine;
  Region region;
  int value;
  const char* source;  // stpcpy: a string of region.size - 1 bytes
};

// Writes, then returns what differs from what the region must hold.
std::string write_and_check(const Write& w) {
  const Region& r = w.region;
  unsigned char fill = static_cast<unsigned char>(w.value);
  switch (w.routine) {
    case Routine::memset:
      __memset_sse2_rep(r.begin, w.value, r.size);
      break;
    case Routine::bzero:
      __bzero_sse2_rep(r.begin, r.size);
      fill = 0;
      break;
    case Routine::stpcpy:
      __stpcpy_sse2(r.begin, w.source);
      break;
    default:
      return std::string(info(w.routine).name) + " writes nothing";
  }
  for (size_t i = 0; i < r.size; ++i) {
    const unsigned char want =
        w.routine == Routine::stpcpy ? static_cast<unsigned char>(w.source[i]) : fill;
    if (static_cast<unsigned char>(r.begin[i]) != want) {
      std::ostringstream d;
      d << info(w.routine).name << " of " << r.size << " bytes at "
        << static_cast<const void*>(r.begin) << ": byte " << i << " is "
        << int(static_cast<unsigned char>(r.begin[i])) << ", want " << int(want);
      return d.str();
    }
  }
  return "";
}

TEST(Stress, FillsBesideSearchesOfNeighbouringRegions) {
  GuardedPages page(1);
  TestRandom random(7);
  page.fill(0);

  std::vector<Region> searched;
  std::vector<Write> writes[kWriters];
  std::vector<std::string> sources;  // stpcpy's, one per written region
  sources.reserve(page.size());
  for (size_t i = 0, at = 0; at + kRegionSizes[i % std::size(kRegionSizes)] <= page.size(); ++i) {
    const Region r{page.begin() + at, kRegionSizes[i % std::size(kRegionSizes)]};
    at += r.size;
    const size_t role = i % (kWriters + 1);
    if (role == kWriters) {
      searched.push_back(r);
      continue;
    }
    sources.emplace_back(r.size - 1, '\0');
    random.fill_string(sources.back().data(), sources.back().size());
    for (Routine routine : {Routine::memset, Routine::bzero, Routine::stpcpy}) {
      for (int value : {0xA5, 0x15A, 0})
        writes[role].push_back({routine, r, value, sources.back().c_str()});
    }
  }

  std::vector<std::vector<char>> others;  // wcscmp's second strings, kept in place
  others.reserve(2 * searched.size());
  std::vector<Search> searches;
  for (const Region& r : searched) add_searches(r, random, others, searches);
  for (Search& s : searches) s.answer = search<ModelRoutines>(s);
  const std::vector<char> before(page.begin(), page.end());

  const bool clean = run_threads([&](int t) -> std::string {
    if (t < kWriters) {
      for (const Write& w : writes[t]) {
        std::string difference = write_and_check(w);
        if (!difference.empty()) return difference;
      }
      return "";
    }
    for (const Search& s : searches) {
      const Result got = search<Sse2Routines>(s);
      if (got != s.answer) {
        std::ostringstream d;
        d << info(s.call.routine).name << " of the " << s.region.size << " bytes at page offset "
          << (s.region.begin - page.begin()) << ", value " << s.call.value << ", count "
          << s.call.count << ": got " << got << ", want " << s.answer;
        return d.str();
      }
    }
    return "";
  });
  if (!clean) return;
  for (const Region& r : searched) {
    const size_t at = r.begin - page.begin();
    EXPECT_EQ(memcmp(r.begin, before.data() + at, r.size), 0)
        << "a write reached the searched region at page offset " << at;
  }
}

}  // namespace
}  // namespace sse2str::test
