// SPDX-License-Identifier: MIT
// The fills whose stores fill_stores_test.cpp traces: fill_store_driver runs
// them under valgrind's lackey tool, the test reads the trace.  Each case
// runs __memset_sse2_rep and then __bzero_sse2_rep on the same range.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <vector>

#include "frame/geometry.h"

namespace sse2str::test {

using fill_stages::kShortFillLimit;
using fill_stages::kStrideSize;
using fill_stages::kTailLimit;
using fill_stages::string_store_threshold;

struct StoreCase {
  size_t offset;   // of the start from a 4 KiB boundary
  size_t count;
  uint32_t cache;  // __x86_data_cache_size during the call
};

// Room for the largest case below.
inline constexpr size_t kStoreBufferSize = 3 * 4096;

// Data-cache sizes that send every fill reaching the large-fill decision
// down one path: 0 gives the threshold 0 (string store), the largest value
// the threshold 0xF0000001 (block loop).
inline constexpr uint32_t kAlwaysStringStore = 0;
inline constexpr uint32_t kAlwaysBlockLoop = 0xFFFFFFFFu;

inline std::vector<StoreCase> store_cases() {
  std::vector<StoreCase> cases;
  // Every short-table index, at every start alignment in a block.
  for (size_t offset = 0; offset < kBlockSize; ++offset)
    for (size_t count = 0; count < kShortFillLimit; ++count)
      cases.push_back({offset, count, kAlwaysBlockLoop});
  // Every tail-table index reached directly: 32 to 127 from an aligned
  // start, 17 to 31 after a 15-byte head store; the head store at every
  // alignment, with the borders of the medium fill.
  for (size_t count = kShortFillLimit; count <= kTailLimit + 17; ++count)
    cases.push_back({0, count, kAlwaysBlockLoop});
  for (size_t count = kShortFillLimit; count < kShortFillLimit + kBlockSize; ++count)
    cases.push_back({1, count, kAlwaysBlockLoop});
  for (size_t offset = 1; offset < kBlockSize; ++offset)
    for (size_t count : {32, 33, 47, 63, 100, 142, 143, 144})
      cases.push_back({offset, count, kAlwaysBlockLoop});
  // Every tail-table index after one block-loop stride, and several strides.
  for (size_t count = kTailLimit; count < kTailLimit + kStrideSize; ++count)
    cases.push_back({0, count, kAlwaysBlockLoop});
  for (size_t offset : {1, 9, 15})
    for (size_t count : {256, 300, 383, 384, 600, 1000})
      cases.push_back({offset, count, kAlwaysBlockLoop});
  // The string store with each number of closing bytes, at every alignment,
  // from the least count that reaches the large-fill decision from any start.
  constexpr size_t kLeastLargeCount = kTailLimit + kBlockSize - 1;
  for (size_t offset = 0; offset < kBlockSize; ++offset)
    for (size_t count = kLeastLargeCount; count < kLeastLargeCount + 8; ++count)
      cases.push_back({offset, count, kAlwaysStringStore});
  cases.push_back({0, 128, kAlwaysStringStore});
  cases.push_back({7, 1000, kAlwaysStringStore});
  // Thresholds: C = 137 puts it at 129; C = 4096 at 3840.
  cases.push_back({0, 128, 137});
  cases.push_back({0, 129, 137});
  cases.push_back({0, 3839, 4096});
  cases.push_back({0, 3840, 4096});
  cases.push_back({1, 3839 + 15, 4096});
  cases.push_back({1, 3840 + 15, 4096});
  return cases;
}

}  // namespace sse2str::test
