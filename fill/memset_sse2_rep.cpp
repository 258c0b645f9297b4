// __memset_sse2_rep: fills `count` bytes from `destination` with the low
// byte of `value` and returns `destination`.  The fill itself, shared with
// __bzero_sse2_rep, is in fill.h; this module carries its own tables.
#include "fill/fill.h"
#include "frame/entry_frame.h"

using namespace sse2str;

SSE2STR_ENTRY_FRAME(".text.sse2", __memset_sse2_rep, memset_sse2_rep_body);

SSE2STR_BODY(".text.sse2")
void* memset_body(void* destination, int value, size_t count) asm("memset_sse2_rep_body");

SSE2STR_LONG_PATH(".text.sse2")
void* memset_long(char* destination, size_t count, uint32_t word);

// The result is the destination read again from the argument area on every
// path, so no register holds it through the fill.
void* memset_body(void* destination, int value, size_t count) {
  const BytePattern pattern{broadcast_word(value)};
  if (is_short_fill(count)) {
    short_fill(static_cast<char*>(destination), count, pattern);
    return argument_word<void*>(0);
  }
  return memset_long(static_cast<char*>(destination), count, pattern.word);
}

void* memset_long(char* destination, size_t count, uint32_t word) {
  long_fill(destination, count, BytePattern{word});
  return argument_word<void*>(0);
}

SSE2STR_ENTRY_END(".text.sse2", __memset_sse2_rep);
