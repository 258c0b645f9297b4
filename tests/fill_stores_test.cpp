// SPDX-License-Identifier: MIT
// The exact stores of both fills, from a trace: fill_store_driver runs the
// cases of fill_store_cases.h under valgrind's lackey tool, which logs every
// load and store with its address and width.  Final contents cannot show a
// store split in two, stores issued out of order or a byte written twice;
// the trace does.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "fill_store_cases.h"

namespace sse2str::test {
namespace {

struct Store {
  uintptr_t address;
  unsigned width;
  bool operator==(const Store& o) const { return address == o.address && width == o.width; }
};
using Stores = std::vector<Store>;

// What the trace shows of one call.
struct Call {
  Stores stores;             // inside the buffer, in order
  unsigned cache_reads = 0;  // loads of __x86_data_cache_size
  unsigned buffer_reads = 0;
};

struct Trace {
  uintptr_t buffer = 0, marker = 0, cache = 0;
  size_t buffer_size = 0;
  std::vector<Call> calls;  // memset and bzero alternately, case by case
  std::string error;
};

// "offset:width ..." relative to `base`, as the rules of the fills are written.
std::string describe(const Stores& stores, uintptr_t base) {
  std::ostringstream out;
  for (const Store& s : stores) out << static_cast<long>(s.address - base) << ":" << s.width << " ";
  return out.str();
}

Trace run_driver() {
  Trace trace;
  char log[] = "/tmp/sse2str-lackey-XXXXXX";
  const int fd = mkstemp(log);
  if (fd < 0) return trace.error = "mkstemp failed", trace;
  close(fd);
  const std::string command = std::string(SSE2STR_VALGRIND) +
                              " --tool=lackey --trace-mem=yes --log-file=" + log + " " +
                              SSE2STR_STORE_DRIVER;
  FILE* const out = popen(command.c_str(), "r");
  void *buffer = nullptr, *marker = nullptr, *cache = nullptr;
  const int fields = out ? fscanf(out, "buffer %p %zu marker %p cache %p", &buffer,
                                  &trace.buffer_size, &marker, &cache)
                         : 0;
  const int status = out ? pclose(out) : -1;
  if (fields != 4 || status != 0) {
    unlink(log);
    return trace.error = "driver under valgrind failed: " + command, trace;
  }
  trace.buffer = reinterpret_cast<uintptr_t>(buffer);
  trace.marker = reinterpret_cast<uintptr_t>(marker);
  trace.cache = reinterpret_cast<uintptr_t>(cache);

  // Lines " S addr,size", " L addr,size" and " M addr,size" (load and store).
  std::ifstream in(log);
  std::string line;
  bool started = false;
  while (std::getline(in, line)) {
    if (line.size() < 4 || line[0] != ' ') continue;
    const char kind = line[1];
    unsigned long address = 0;
    unsigned width = 0;
    if (sscanf(line.c_str() + 3, "%lx,%u", &address, &width) != 2) continue;
    const bool stores = kind == 'S' || kind == 'M', loads = kind == 'L' || kind == 'M';
    if (stores && address == trace.marker) {
      trace.calls.emplace_back();
      started = true;
      continue;
    }
    if (!started) continue;
    Call& call = trace.calls.back();
    const bool in_buffer = address >= trace.buffer && address < trace.buffer + trace.buffer_size;
    if (stores && in_buffer) call.stores.push_back({address, width});
    if (loads && in_buffer) ++call.buffer_reads;
    if (loads && address == trace.cache) ++call.cache_reads;
  }
  unlink(log);
  if (!trace.calls.empty()) trace.calls.pop_back();  // after the last marker
  if (trace.calls.size() != 2 * store_cases().size())
    trace.error = "trace holds " + std::to_string(trace.calls.size()) + " calls";
  return trace;
}

// One run of the driver serves every test of this program.
const Trace& trace() {
  static const Trace trace = run_driver();
  return trace;
}

// ---- the rules ---------------------------------------------------------------

// The stores the rules prescribe for a fill of `count` bytes at `start`.
Stores prescribed_stores(uintptr_t start, size_t count, uint32_t cache) {
  Stores s;
  // Closing run by the set bits of the residue, widest first, back from end.
  auto closing = [&s](uintptr_t end, size_t residue) {
    if (residue & 8) s.push_back({end - residue, 8});
    if (residue & 4) s.push_back({end - (residue & 7), 4});
    if (residue & 2) s.push_back({end - (residue & 3), 2});
    if (residue & 1) s.push_back({end - 1, 1});
  };
  if (count < kShortFillLimit) {
    for (size_t i = 0; i + 4 <= count; i += 4) s.push_back({start + i, 4});
    closing(start + count, count % 4);
    return s;
  }
  uintptr_t p = start;
  size_t remaining = count;
  if (start % kBlockSize != 0) {
    s.push_back({start, kBlockSize});
    p = start - start % kBlockSize + kBlockSize;
    remaining -= p - start;
  }
  if (remaining >= kTailLimit) {
    if (remaining >= string_store_threshold(cache)) {
      for (; remaining >= 4; remaining -= 4, p += 4) s.push_back({p, 4});
      if (remaining & 2) s.push_back({p, 2}), p += 2;
      if (remaining & 1) s.push_back({p, 1});
      return s;
    }
    for (; remaining >= kStrideSize; remaining -= kStrideSize, p += kStrideSize)
      for (size_t i = 0; i < kStrideSize; i += kBlockSize) s.push_back({p + i, kBlockSize});
  }
  for (size_t i = 0; i + kBlockSize <= remaining; i += kBlockSize) s.push_back({p + i, kBlockSize});
  closing(p + remaining, remaining % kBlockSize);
  return s;
}

bool reads_cache_size(uintptr_t start, size_t count) {
  return count >= kShortFillLimit && count - (-start % kBlockSize) >= kTailLimit;
}

// Each case, with the calls the trace shows for it.
template <class Check>
void for_each_case(Check&& check) {
  const Trace& t = trace();
  ASSERT_EQ(t.error, "");
  const std::vector<StoreCase> cases = store_cases();
  for (size_t i = 0; i < cases.size(); ++i)
    check(cases[i], t.buffer + cases[i].offset, t.calls[2 * i], t.calls[2 * i + 1]);
}

// The traced memset call of case `c`; null when the case list lacks it.
const Call* traced_memset(const StoreCase& c) {
  const std::vector<StoreCase> cases = store_cases();
  for (size_t i = 0; i < cases.size(); ++i)
    if (cases[i].offset == c.offset && cases[i].count == c.count && cases[i].cache == c.cache)
      return &trace().calls[2 * i];
  return nullptr;
}

std::string label(const StoreCase& c) {
  return "offset " + std::to_string(c.offset) + ", count " + std::to_string(c.count) +
         ", cache size " + std::to_string(c.cache);
}

// Widths, addresses and order of every store, for every short-table and
// tail-table index, the head store at every alignment, block-loop passes
// and the string store with each number of closing bytes.  The bytes
// written twice are those the head store shares with the next store.  bzero
// stores exactly as memset does.
TEST(FillStores, MemsetAndBzeroMakeThePrescribedStores) {
  int failures = 0;
  for_each_case([&](const StoreCase& c, uintptr_t start, const Call& memset, const Call& bzero) {
    const Stores want = prescribed_stores(start, c.count, c.cache);
    for (const auto& [name, call] : {std::pair{"memset", &memset}, std::pair{"bzero", &bzero}}) {
      if (failures < 10 && !(call->stores == want)) {
        ++failures;
        ADD_FAILURE() << name << ", " << label(c) << "\n  stores " << describe(call->stores, start)
                      << "\n  want   " << describe(want, start);
      }
    }
  });
}

// Apart from the stores the rules prescribe: exactly the bytes of the range
// are written, once each except those under the head store that the next
// store covers again, in ascending order, every store after the head at a
// multiple of its own width unless the fill is short.
TEST(FillStores, WriteEachByteOfTheRangeInAscendingOrder) {
  for_each_case([&](const StoreCase& c, uintptr_t start, const Call& memset, const Call&) {
    std::vector<int> writes(c.count, 0);
    uintptr_t previous = 0;
    for (size_t i = 0; i < memset.stores.size(); ++i) {
      const Store& s = memset.stores[i];
      ASSERT_GE(s.address, start) << label(c);
      ASSERT_LE(s.address + s.width, start + c.count) << label(c);
      if (i > 0) {
        ASSERT_GT(s.address, previous) << label(c) << ", store " << i;
      }
      previous = s.address;
      if (c.count >= kShortFillLimit && !(i == 0 && start % kBlockSize != 0)) {
        ASSERT_EQ(s.address % s.width, 0u) << label(c) << ", store " << i;
      }
      for (unsigned b = 0; b < s.width; ++b) ++writes[s.address - start + b];
    }
    const size_t twice_end = c.count >= kShortFillLimit && start % kBlockSize != 0 ? kBlockSize : 0;
    const size_t twice_begin = twice_end ? kBlockSize - start % kBlockSize : 0;
    for (size_t b = 0; b < c.count; ++b)
      ASSERT_EQ(writes[b], b >= twice_begin && b < twice_end ? 2 : 1) << label(c) << ", byte " << b;
  });
}

// __x86_data_cache_size is read once by each fill that reaches the
// large-fill decision and by no other; the destination is never read.
TEST(FillStores, ReadTheCacheSizeOnlyAtTheLargeFillDecision) {
  for_each_case([](const StoreCase& c, uintptr_t start, const Call& memset, const Call& bzero) {
    const unsigned want = reads_cache_size(start, c.count) ? 1 : 0;
    ASSERT_EQ(memset.cache_reads, want) << "memset, " << label(c);
    ASSERT_EQ(bzero.cache_reads, want) << "bzero, " << label(c);
    ASSERT_EQ(memset.buffer_reads + bzero.buffer_reads, 0u) << label(c);
  });
}

// Stores written out by hand, as offset:width from the start, for telling
// cases of each table, the head store and the thresholds.
TEST(FillStores, TellingCases) {
  auto run = [](unsigned offset, unsigned width, unsigned n) {
    std::string s;
    for (unsigned i = 0; i < n; ++i) s += std::to_string(offset + i * width) + ":" + std::to_string(width) + " ";
    return s;
  };
  const std::string pass = run(0, 16, 8);  // one block-loop pass from offset 0
  const struct {
    StoreCase c;
    std::string stores;
  } rows[] = {
      // Short table, at an odd start.
      {{3, 0, kAlwaysBlockLoop}, ""},
      {{3, 1, kAlwaysBlockLoop}, "0:1 "},
      {{3, 3, kAlwaysBlockLoop}, "0:2 2:1 "},
      {{3, 4, kAlwaysBlockLoop}, "0:4 "},
      {{3, 7, kAlwaysBlockLoop}, "0:4 4:2 6:1 "},
      {{3, 28, kAlwaysBlockLoop}, run(0, 4, 7)},
      {{3, 31, kAlwaysBlockLoop}, run(0, 4, 7) + "28:2 30:1 "},
      // Tail table from an aligned start, directly and after one pass.
      {{0, 112, kAlwaysBlockLoop}, run(0, 16, 7)},
      {{0, 127, kAlwaysBlockLoop}, run(0, 16, 7) + "112:8 120:4 124:2 126:1 "},
      {{0, 128, kAlwaysBlockLoop}, pass},
      {{0, 129, kAlwaysBlockLoop}, pass + "128:1 "},
      {{0, 143, kAlwaysBlockLoop}, pass + "128:8 136:4 140:2 142:1 "},
      {{0, 144, kAlwaysBlockLoop}, pass + "128:16 "},
      {{0, 149, kAlwaysBlockLoop}, pass + "128:16 144:4 148:1 "},
      // Head store: the pointer at start + 11, 21 bytes left.
      {{5, 32, kAlwaysBlockLoop}, "0:16 11:16 27:4 31:1 "},
      // Threshold 129: 128 bytes take one pass, 129 the string store.
      {{0, 128, 137}, pass},
      {{0, 129, 137}, run(0, 4, 32) + "128:1 "},
      // Threshold 3840: remaining 3840 bytes take the string store, 3839 the
      // block loop (29 strides, then tail index 127).
      {{0, 3840, 4096}, run(0, 4, 960)},
      {{0, 3839, 4096}, run(0, 16, 8 * 29) + run(3712, 16, 7) + "3824:8 3832:4 3836:2 3838:1 "},
      {{1, 3840 + 15, 4096}, "0:16 " + run(15, 4, 960)},
      {{1, 3839 + 15, 4096}, "0:16 " + run(15, 16, 8 * 29 + 7) + "3839:8 3847:4 3851:2 3853:1 "},
      // Threshold 0: the string store from 128 bytes on.
      {{0, 128, kAlwaysStringStore}, run(0, 4, 32)},
      {{7, 1000, kAlwaysStringStore}, "0:16 " + run(9, 4, 247) + "997:2 999:1 "},
  };
  ASSERT_EQ(trace().error, "");
  for (const auto& row : rows) {
    const Call* const memset = traced_memset(row.c);
    ASSERT_NE(memset, nullptr) << "not traced: " << label(row.c);
    EXPECT_EQ(describe(memset->stores, trace().buffer + row.c.offset), row.stores) << label(row.c);
  }
}

}  // namespace
}  // namespace sse2str::test
