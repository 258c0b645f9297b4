// SPDX-License-Identifier: MIT
// Checks shared by the two fills: memset_test.cpp and bzero_test.cpp run them
// on their routine through SSE2STR_FILL_TESTS.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "check.h"
#include "fill_store_cases.h"
#include "frame_suite.h"
#include "models/reference.h"
#include "routines.h"

namespace sse2str::test {

// What sets the two fills apart: memset takes a value and returns the
// destination; bzero stores zeros and returns nothing.
constexpr bool is_memset(Routine fill) { return fill == Routine::memset; }

inline unsigned char byte_stored(Routine fill, int value) {
  return is_memset(fill) ? static_cast<unsigned char>(value) : 0;
}

// Calls the fill; bzero's result reads as null.
inline void* call_fill(Routine fill, void* destination, int value, size_t count) {
  if (is_memset(fill)) return Sse2Routines::memset(destination, value, count);
  Sse2Routines::bzero(destination, count);
  return nullptr;
}

// The argument words a call of the fill pushes.
inline std::vector<uint32_t> fill_args(Routine fill, void* destination, int value, size_t count) {
  if (is_memset(fill)) return {word(destination), word(value), word(count)};
  return {word(destination), word(count)};
}

// A fill of `count` bytes at `anchor` in `pages`, with `cache` as the data
// cache size.  The destination and a line on each side of it (as far as the
// pages go) hold random bytes other than the one the fill stores, so a byte
// left unwritten or one written outside the range shows.
inline Trial fill_trial(Routine fill, const GuardedPages& pages, Anchor anchor, size_t count,
                        int value, uint32_t cache, TestRandom& random) {
  const size_t room = room_after(anchor, count, pages.window());
  const size_t after = std::min<size_t>(kLineSize, room);
  const size_t before = std::min<size_t>(kLineSize, pages.size() - count - room);
  Trial t = trial_of(fill, anchor, count, value);
  cut(t.first, random.bytes_avoiding(before + count + after, byte_stored(fill, value)), before,
      count);
  t.cache_size = cache;
  return t;
}

// Every start offset in a line and every count through all short counts,
// every tail index after the head store, one to three block-loop strides and
// every tail index after them, on both large-fill paths and with a
// threshold inside the sweep.  The range begins at the given offset from a
// page that follows an inaccessible one, and again ends at the last byte
// before an inaccessible page.
template <Routine kFill>
void check_every_offset_and_count() {
  constexpr size_t kMaxCount = kShortFillLimit + kTailLimit + 3 * kStrideSize + kLineSize;
  GuardedPages pages(2);
  TestRandom random(11);
  uint32_t cache = 0;
  size_t count = 0, edge = 0;
  const auto at = where("cache size", cache, "count", count, "edge", edge);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (uint32_t c : {kAlwaysBlockLoop, kAlwaysStringStore, uint32_t{320}}) {
      cache = c;
      for (count = 0; count <= kMaxCount; ++count) {
        const int value = value_with_junk(random.byte(), random);
        for (edge = 0; edge < kEdges; ++edge) {
          if (!agrees(fill_trial(kFill, pages, edge_anchor(edge), count, value, cache, random)))
            return;
        }
      }
    }
  });
}

// Large counts around 64 KiB and 1 MiB, at several start offsets, with the
// processor's cache size and on each large-fill path alone; and counts whose
// remaining bytes after the head store straddle the threshold for several
// cache sizes.
template <Routine kFill>
void check_large_counts() {
  constexpr size_t kKiB = 1024, kMiB = 1024 * kKiB;
  GuardedPages pages(kMiB / page_size() + 2);
  TestRandom random(12);
  const size_t counts[] = {64 * kKiB - 1, 64 * kKiB, 64 * kKiB + 3, 100 * kKiB + 13,
                           kMiB - 77, kMiB};
  const size_t offsets[] = {0, 1, 8, 15, 16, 37, 63};
  const uint32_t processor_cache = __x86_data_cache_size;
  uint32_t cache = 0;
  size_t count = 0, offset = 0;
  const char* placement = "";
  const auto at =
      where("cache size", cache, "count", count, "placement", placement, "offset", offset);
  expect_trials_agree(at, sweep_arena(pages.window()), [&](auto&& agrees) {
    for (uint32_t c : {processor_cache, kAlwaysStringStore, kAlwaysBlockLoop}) {
      cache = c;
      for (size_t n : counts) {
        count = n;
        placement = "from the page start";
        for (size_t o : offsets) {
          offset = o;
          if (!agrees(fill_trial(kFill, pages, {false, offset}, count, 0x1A5, cache, random)))
            return;
        }
        placement = "ending at a guard page";
        offset = 0;
        if (!agrees(fill_trial(kFill, pages, {true, 0}, count, -1, cache, random))) return;
      }
    }
    placement = "remaining after the head store around the threshold";
    for (uint32_t c : {uint32_t{136}, uint32_t{137}, uint32_t{138}, uint32_t{4096},
                       uint32_t{48 * kKiB}, uint32_t{kMiB}}) {
      cache = c;
      const size_t threshold = string_store_threshold(cache);
      for (size_t o : offsets) {
        offset = o;
        const size_t head = -reinterpret_cast<uintptr_t>(pages.begin() + offset) & (kBlockSize - 1);
        for (size_t remaining = threshold - 2; remaining <= threshold + 2; ++remaining) {
          if (remaining < kTailLimit) continue;
          count = remaining + head;
          if (!agrees(fill_trial(kFill, pages, {false, offset}, count, 0x5A, cache, random)))
            return;
        }
      }
    }
  });
}

// A count of 0 touches nothing, wherever the start points.
template <Routine kFill>
void check_zero_count() {
  expect_touches_nothing([](char* start) {
    void* const result = call_fill(kFill, start, 0x5A, 0);
    if (is_memset(kFill)) {
      EXPECT_EQ(result, start);
    }
  });
}

// Calls that take each path of the fill, for the frame checks, with the
// registers each may save: only the string store saves one (%edi, for
// `rep stosl`).  The cache size set here puts the string-store threshold at
// 3840 bytes.
template <Routine kFill>
std::vector<FrameCase> fill_frame_cases() {
  __x86_data_cache_size = 4096;
  alignas(64) static char data[8192];
  auto call = [](const char* label, char* start, int value, size_t count, unsigned saved) {
    return FrameCase{label, fill_args(kFill, start, value, count), word(start), is_memset(kFill),
                     saved};
  };
  return {
      call("zero count", nullptr, 'a', 0, 0),
      call("short fill", data + 3, 'b', 7, 0),
      call("longest short fill", data + 1, 'c', 31, 0),
      call("medium fill after the head store", data + 5, 0x1A5, 100, 0),
      call("medium fill from an aligned start", data, 'd', 127, 0),
      call("block loop and tail", data + 7, 'e', 1000, 0),
      call("string store and closing bytes", data + 9, -1, 5000, 1),
  };
}

// ---- SIMD registers on the short path -----------------------------------------

// A call of a fill with canaries in xmm0 to xmm7, made from assembly since
// the compiler keeps no promise about those registers across a call.
struct SimdProbe {
  uint32_t args[3] = {0, 0, 0xA5A5A5A5u};  // the argument words, first one nearest
  const void* entry;
  alignas(16) uint8_t before[8][16];
  uint8_t after[8][16];
};
static_assert(offsetof(SimdProbe, entry) == 12 && offsetof(SimdProbe, before) == 16 &&
              offsetof(SimdProbe, after) == 144);

inline void call_with_simd_canaries(SimdProbe* probe) {
  asm volatile(
      "movdqa 16(%0), %%xmm0\n\tmovdqa 32(%0), %%xmm1\n\t"
      "movdqa 48(%0), %%xmm2\n\tmovdqa 64(%0), %%xmm3\n\t"
      "movdqa 80(%0), %%xmm4\n\tmovdqa 96(%0), %%xmm5\n\t"
      "movdqa 112(%0), %%xmm6\n\tmovdqa 128(%0), %%xmm7\n\t"
      "pushl 8(%0)\n\tpushl 4(%0)\n\tpushl (%0)\n\t"
      "call *12(%0)\n\t"
      "addl $12, %%esp\n\t"
      "movdqa %%xmm0, 144(%0)\n\tmovdqa %%xmm1, 160(%0)\n\t"
      "movdqa %%xmm2, 176(%0)\n\tmovdqa %%xmm3, 192(%0)\n\t"
      "movdqa %%xmm4, 208(%0)\n\tmovdqa %%xmm5, 224(%0)\n\t"
      "movdqa %%xmm6, 240(%0)\n\tmovdqa %%xmm7, 256(%0)"
      :
      : "S"(probe)
      : "eax", "ecx", "edx", "memory", "cc", "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5",
        "xmm6", "xmm7");
}

// A short fill leaves every SIMD register alone; from 32 bytes on the
// broadcast block is made (which shows the probe sees a change).  The
// profiling hook scribbles over the SIMD registers itself, so only the build
// without it can tell.
template <Routine kFill>
void check_short_fills_keep_simd_registers(const void* entry, bool profiled) {
  if (profiled) GTEST_SKIP() << "the profiling hook scribbles over the SIMD registers";
  alignas(64) static char data[128];
  SimdProbe probe{};
  probe.entry = entry;
  for (size_t count = 0; count <= kShortFillLimit; ++count) {
    for (size_t offset = 0; offset < 4; ++offset) {
      for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 16; ++j) probe.before[i][j] = static_cast<uint8_t>(16 * i + j + 1);
      const std::vector<uint32_t> args = fill_args(kFill, data + offset, 0x5A, count);
      std::copy(args.begin(), args.end(), probe.args);
      call_with_simd_canaries(&probe);
      const bool kept = memcmp(probe.before, probe.after, sizeof probe.before) == 0;
      EXPECT_EQ(kept, count < kShortFillLimit) << "count " << count << ", offset " << offset;
    }
  }
}

// ---- fills of more than 2 GiB ------------------------------------------------

// Name of the environment variable that lets the huge fills run; they take
// seconds and 2 GiB of memory, so they run as tests of their own.
inline constexpr const char* kHugeTestsVariable = "SSE2STR_HUGE_TESTS";

// Plain word loops, for speed over gigabytes; patterns that are not one byte
// repeated keep the compiler from calling a library fill for them.
inline void fill_background(char* p, size_t bytes, uint32_t pattern) {
  for (size_t i = 0; i + 4 <= bytes; i += 4) memcpy(p + i, &pattern, 4);
}

// Offset of the first byte of [p, p + bytes) that differs from `byte`, or
// `bytes`.
inline size_t first_byte_other_than(const char* p, size_t bytes, unsigned char byte) {
  size_t i = 0;
  for (; i < bytes && (reinterpret_cast<uintptr_t>(p + i) & 3) != 0; ++i)
    if (static_cast<unsigned char>(p[i]) != byte) return i;
  const uint32_t word = byte * 0x01010101u;
  for (; i + 4 <= bytes; i += 4) {
    uint32_t got;
    memcpy(&got, p + i, 4);
    if (got != word) break;
  }
  for (; i < bytes; ++i)
    if (static_cast<unsigned char>(p[i]) != byte) return i;
  return bytes;
}

// One fill whose count has its top bit set, on each large-fill path.  The
// range ends at the last byte before an inaccessible page and starts 3 bytes
// past a multiple of 16, so the head store runs; the block loop then still
// has more than 2 GiB to go after its first strides, so a running count read
// as signed would end it early.
template <Routine kFill>
void check_huge_fill() {
  if (getenv(kHugeTestsVariable) == nullptr)
    GTEST_SKIP() << "set " << kHugeTestsVariable << " to run (ctest label slow)";
  constexpr size_t kCount = 0x80000000u + 0x10000 + 77;
  const GuardedPages pages((kCount + kLineSize) / page_size() + 1);
  char* const end = pages.end();
  char* const start = end - kCount;
  // The head store takes the 13 bytes up to a multiple of 16.
  ASSERT_EQ(reinterpret_cast<uintptr_t>(start) & (kBlockSize - 1), 3u);
  static_assert(kCount - 13 >= 0x80000000u + 0x10000);

  const struct {
    uint32_t cache;
    const char* path;
    int value;
    uint32_t background;
  } runs[] = {{kAlwaysStringStore, "string store", 0x1A5, 0x01234567u},
              {kAlwaysBlockLoop, "block loop", -1, 0x76543210u}};
  for (const auto& run : runs) {
    SCOPED_TRACE(run.path);
    char* const low = start - kLineSize;
    const size_t aligned_low = reinterpret_cast<uintptr_t>(low) & 3;
    fill_background(low - aligned_low, static_cast<size_t>(end - low) + aligned_low,
                    run.background);
    std::vector<char> in_front(low, start);
    const uint32_t processor_cache = __x86_data_cache_size;
    __x86_data_cache_size = run.cache;
    void* result = nullptr;
    expect_no_fault(where("start", static_cast<void*>(start)),
                    [&] { result = call_fill(kFill, start, run.value, kCount); });
    __x86_data_cache_size = processor_cache;
    if (is_memset(kFill)) {
      EXPECT_EQ(result, start);
    }
    const unsigned char byte = byte_stored(kFill, run.value);
    const size_t wrong = first_byte_other_than(start, kCount, byte);
    EXPECT_EQ(wrong, kCount) << "byte at start + " << wrong << " is not the fill byte";
    EXPECT_EQ(memcmp(low, in_front.data(), in_front.size()), 0) << "bytes in front of the start changed";
  }
}

}  // namespace sse2str::test

// Which SIMD registers a fill changes is a matter of its machine code: the
// plain-C twins (SSE2STR_GENERIC) use none, at any count.
#if SSE2STR_GENERIC
#define SSE2STR_SIMD_REGISTER_TESTS(Suite, routine, entry)
#else
#define SSE2STR_SIMD_REGISTER_TESTS(Suite, routine, entry)            \
  TEST(Suite, ShortFillsLeaveTheSimdRegistersAlone) {                 \
    ::sse2str::test::check_short_fills_keep_simd_registers<routine>(  \
        reinterpret_cast<const void*>(&entry), SSE2STR_PROFILE != 0); \
  }
#endif

// Instantiates the checks above, the frame checks among them, for the fill
// `routine` (Routine::memset or Routine::bzero) whose entry point is `entry`.
// SSE2STR_PROFILE tells which configuration of the module the test links.
#define SSE2STR_FILL_TESTS(Suite, routine, entry)                                              \
  TEST(Suite, FillsExactlyTheRangeForEveryOffsetAndCount) {                                    \
    ::sse2str::test::check_every_offset_and_count<routine>();                                  \
  }                                                                                            \
  TEST(Suite, FillsLargeRangesOnEveryPath) { ::sse2str::test::check_large_counts<routine>(); } \
  TEST(Suite, ZeroCountTouchesNothing) { ::sse2str::test::check_zero_count<routine>(); }       \
  SSE2STR_SIMD_REGISTER_TESTS(Suite, routine, entry)                                           \
  TEST(Suite, FillsMoreThan2GiBOnBothLargeFillPaths) {                                         \
    ::sse2str::test::check_huge_fill<routine>();                                               \
  }                                                                                            \
  SSE2STR_FRAME_TESTS(Suite##Frame, entry, ::sse2str::test::fill_frame_cases<routine>)
