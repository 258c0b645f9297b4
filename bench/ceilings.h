// SPDX-License-Identifier: MIT
// Ceilings: the plainest aligned SSE2 loops that do the bulk of each kind of
// work, with no start or end handling beyond whole blocks.  A routine cannot
// beat the ceiling of its kind over the same bytes, so its distance to the
// ceiling is what a better routine could still gain on this core.
#pragma once

#include <stddef.h>

namespace bench {

// Scans `size` bytes (rounded up to whole blocks) from the 16-byte aligned
// `start` for `value`: load, compare, movemask, OR into an accumulator.
unsigned ceiling_load(const char* start, int value, size_t size);

// Compares two aligned streams of `size` bytes 32 bits at a time.
unsigned ceiling_load2(const char* first, const char* second, size_t size);

// Copies `size` bytes from `source` to `destination` (both aligned), testing
// every block for a zero byte on the way.
unsigned ceiling_copy(char* destination, const char* source, size_t size);

// Stores `size` bytes (rounded up to whole blocks) of `value` at the aligned
// `destination`.
void ceiling_store(char* destination, int value, size_t size);

}  // namespace bench
