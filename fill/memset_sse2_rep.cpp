// __memset_sse2_rep: fills `count` bytes from `destination` with the low
// byte of `value` and returns `destination`.  The fill itself, shared with
// __bzero_sse2_rep, is in fill.h; this module carries its own tables.
#include "fill/fill.h"
#include "frame/entry_frame.h"

using namespace sse2str;

SSE2STR_ENTRY_FRAME(".text.sse2", __memset_sse2_rep, memset_sse2_rep_body);

SSE2STR_BODY(".text.sse2")
void* memset_body(void* destination, int value, size_t count) asm("memset_sse2_rep_body");

void* memset_body(void* destination, int value, size_t count) {
  fill_range(static_cast<char*>(destination), count, BytePattern(value));
  return destination;
}

SSE2STR_ENTRY_END(".text.sse2", __memset_sse2_rep);
