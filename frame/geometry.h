// SPDX-License-Identifier: MIT
// The geometry of the routines: the block and the line, and the length of
// each stage a routine runs through before the next takes over.
//
// The routines take these values from here, and the tests derive from them
// the borders their sweeps must cross (the last length a stage handles, the
// first the next one does), so a change to a stage moves the tests with it.
// Only constants and the rules made of them live here, with no SSE2 types,
// so that test code built for any processor can include it.  The
// object-level rules the routines keep are in docs/CONTRACT.md.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sse2str {

// Constants are inline variables: the modules are built with
// -fno-toplevel-reorder, which keeps every unreferenced variable of internal
// linkage, and a module must carry no data it does not use.

// A block is 16 bytes handled by one SSE2 register; a line is 64 bytes that
// start at a multiple of 64.  A page is a whole number of lines.
inline constexpr size_t kBlockSize = 16;
inline constexpr size_t kLineSize = 64;
inline constexpr size_t kBlocksPerLine = kLineSize / kBlockSize;

namespace memchr_stages {
// Aligned passes made one block at a time before the line loop takes over.
inline constexpr int kAlignedPasses = 2;
}  // namespace memchr_stages

namespace strnlen_stages {
// Bytes probed one at a time before any block is read, and the bytes probed
// between two bound tests.
inline constexpr size_t kProbedBytes = kBlockSize;
inline constexpr size_t kProbeGroup = 4;
// Aligned passes made one block at a time before the line loop takes over.
inline constexpr int kAlignedPasses = 4;
}  // namespace strnlen_stages

namespace stpcpy_stages {
// Blocks after A (the aligned block that holds byte 16) taken one at a time
// before the line loop.  With A they cover kBlockPhaseReach bytes from A,
// and the line loop starts at the line that holds A + kBlockPhaseReach.
inline constexpr size_t kBlockPhaseBlocks = 6;
inline constexpr size_t kBlockPhaseReach = (kBlockPhaseBlocks + 1) * kBlockSize;
}  // namespace stpcpy_stages

namespace wcscmp_stages {
// Bytes of a character: wchar_t is a signed 32-bit integer on this ABI.
inline constexpr size_t kCharSize = 4;
// Bytes of each string whose pairs are compared one at a time, before any
// SIMD set-up: a block's worth, four pairs.
inline constexpr size_t kFirstStageBytes = kBlockSize;
// Blocks the lead-in compares at most before the passes: the straddle index
// of an address just past a line boundary, whose fourth block crosses it.
inline constexpr size_t kLongestLeadIn = kBlocksPerLine - 1;
}  // namespace wcscmp_stages

namespace fill_stages {
// Below this count a fill is short: the SIMD register is not touched.
inline constexpr size_t kShortFillLimit = 32;
// Below this many bytes after the head store, the tail table finishes.
inline constexpr size_t kTailLimit = 128;
// Bytes one stride of the block loop stores: eight aligned blocks.
inline constexpr size_t kStrideSize = 8 * kBlockSize;
// The large-fill decision: a fill that leaves kTailLimit bytes or more after
// the head store takes the string store when they are at least
// string_store_threshold(C), for the data-cache size C.  C - (C >> 4) never
// exceeds C, so it cannot wrap whatever C holds.
inline constexpr unsigned kThresholdShift = 4;
inline __attribute__((always_inline)) constexpr size_t string_store_threshold(uint32_t cache_size) {
  return cache_size - (cache_size >> kThresholdShift);
}
}  // namespace fill_stages

}  // namespace sse2str
