// SPDX-License-Identifier: MIT
// __memset_sse2_rep: fills `count` bytes from `destination` with the low
// byte of `value` and returns `destination`.  The fill itself, shared with
// __bzero_sse2_rep, is in fill.h and fill_body.inc; this module carries its
// own tables.
#include "fill/fill.h"
#include "frame/entry_frame.h"

using namespace sse2str;

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
void* memset_body(void* destination, int value, size_t count) SSE2STR_UNNAMED(memset_body);
SSE2STR_CHECK_PROTOTYPE(memset_body);

// The result is the destination read again from the argument area just
// before each return, so no register holds it through the fill.
void* memset_body(void* destination, int value, size_t count) {
  char* const start = static_cast<char*>(destination);
  BytePattern pattern{broadcast_word(value)};
  const auto finish = [] { return argument_word<void*>(0); };
#include "fill/fill_body.inc"
}

SSE2STR_ENTRY_END();
