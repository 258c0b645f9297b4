// SPDX-License-Identifier: MIT
// __bzero_sse2_rep: sets `count` bytes from `destination` to zero.  The fill
// itself, shared with __memset_sse2_rep, is in fill.h and fill_body.inc;
// this module carries its own tables.
#include "fill/fill.h"
#include "frame/entry_frame.h"

using namespace sse2str;

SSE2STR_ENTRY_FRAME();

SSE2STR_BODY
void bzero_body(void* destination, size_t count) SSE2STR_UNNAMED(bzero_body);
SSE2STR_CHECK_PROTOTYPE(bzero_body);

void bzero_body(void* destination, size_t count) {
  char* const start = static_cast<char*>(destination);
  ZeroPattern pattern = ZeroPattern::cleared();
  const auto finish = [] {};
#include "fill/fill_body.inc"
}

SSE2STR_ENTRY_END();
