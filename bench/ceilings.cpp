// SPDX-License-Identifier: MIT
// The ceiling loops.  Each handles a whole line (four blocks) per pass and
// the rest block by block; its operands are aligned and its buffers have
// room for the rounding up to a block.  Built like the byte loops, so GCC
// cannot replace the store loop with a library call (checked at build time).
#include "ceilings.h"

#include "frame/block.h"

namespace bench {

using namespace sse2str;

namespace {

SSE2STR_INLINE Block merge(Block a, Block b) { return _mm_or_si128(a, b); }

// Agreement of two blocks, 32 bits at a time.
SSE2STR_INLINE Block equal_words(Block a, Block b) { return _mm_cmpeq_epi32(a, b); }

}  // namespace

unsigned ceiling_load(const char* start, int value, size_t size) {
  const Block needle = broadcast_byte(value);
  unsigned found = 0;
  size_t i = 0;
  for (; i + kLineSize <= size; i += kLineSize) {
    const Block m0 = equal_bytes(load_aligned(start + i), needle);
    const Block m1 = equal_bytes(load_aligned(start + i + 16), needle);
    const Block m2 = equal_bytes(load_aligned(start + i + 32), needle);
    const Block m3 = equal_bytes(load_aligned(start + i + 48), needle);
    found |= mask_of(merge(merge(m0, m1), merge(m2, m3)));
  }
  for (; i < size; i += kBlockSize) found |= match_mask(load_aligned(start + i), needle);
  return found;
}

unsigned ceiling_load2(const char* first, const char* second, size_t size) {
  unsigned agree = kFullMask;
  size_t i = 0;
  for (; i + kLineSize <= size; i += kLineSize) {
    const Block e0 = equal_words(load_aligned(first + i), load_aligned(second + i));
    const Block e1 = equal_words(load_aligned(first + i + 16), load_aligned(second + i + 16));
    const Block e2 = equal_words(load_aligned(first + i + 32), load_aligned(second + i + 32));
    const Block e3 = equal_words(load_aligned(first + i + 48), load_aligned(second + i + 48));
    agree &= mask_of(_mm_and_si128(_mm_and_si128(e0, e1), _mm_and_si128(e2, e3)));
  }
  for (; i < size; i += kBlockSize)
    agree &= mask_of(equal_words(load_aligned(first + i), load_aligned(second + i)));
  return agree;
}

unsigned ceiling_copy(char* destination, const char* source, size_t size) {
  const Block zero = zero_block();
  unsigned found = 0;
  size_t i = 0;
  for (; i + kLineSize <= size; i += kLineSize) {
    const Block b0 = load_aligned(source + i);
    const Block b1 = load_aligned(source + i + 16);
    const Block b2 = load_aligned(source + i + 32);
    const Block b3 = load_aligned(source + i + 48);
    found |= match_mask(bytewise_min(bytewise_min(b0, b1), bytewise_min(b2, b3)), zero);
    store_aligned(destination + i, b0);
    store_aligned(destination + i + 16, b1);
    store_aligned(destination + i + 32, b2);
    store_aligned(destination + i + 48, b3);
  }
  for (; i < size; i += kBlockSize) {
    const Block b = load_aligned(source + i);
    found |= match_mask(b, zero);
    store_aligned(destination + i, b);
  }
  return found;
}

void ceiling_store(char* destination, int value, size_t size) {
  const Block fill = broadcast_byte(value);
  size_t i = 0;
  for (; i + kLineSize <= size; i += kLineSize) {
    store_aligned(destination + i, fill);
    store_aligned(destination + i + 16, fill);
    store_aligned(destination + i + 32, fill);
    store_aligned(destination + i + 48, fill);
  }
  for (; i < size; i += kBlockSize) store_aligned(destination + i, fill);
}

}  // namespace bench
