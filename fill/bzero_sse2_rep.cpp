// __bzero_sse2_rep: sets `count` bytes from `destination` to zero.  The fill
// itself, shared with __memset_sse2_rep, is in fill.h; this module carries
// its own tables.
#include "fill/fill.h"
#include "frame/entry_frame.h"

using namespace sse2str;

SSE2STR_ENTRY_FRAME(".text.sse2", __bzero_sse2_rep, bzero_sse2_rep_body);

SSE2STR_BODY(".text.sse2")
void bzero_body(void* destination, size_t count) asm("bzero_sse2_rep_body");

SSE2STR_LONG_PATH(".text.sse2")
void bzero_long(char* destination, size_t count);

void bzero_body(void* destination, size_t count) {
  if (is_short_fill(count)) {
    short_fill(static_cast<char*>(destination), count, ZeroPattern{});
    return;
  }
  bzero_long(static_cast<char*>(destination), count);
}

void bzero_long(char* destination, size_t count) { long_fill(destination, count, ZeroPattern{}); }

SSE2STR_ENTRY_END(".text.sse2", __bzero_sse2_rep);
