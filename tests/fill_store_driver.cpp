// SPDX-License-Identifier: MIT
// Runs the traced fills (fill_store_cases.h) for fill_stores_test.cpp, which
// starts this program under valgrind's lackey tool and reads the trace.
//
// Before each call the driver stores to `trace_marker`, so the trace splits
// into one stretch per call; it first prints the addresses the reader needs.
#include <stdio.h>

#include "fill_store_cases.h"
#include "routines.h"

extern "C" uint32_t __x86_data_cache_size;

uint32_t trace_marker;

namespace {
alignas(4096) char buffer[sse2str::test::kStoreBufferSize];
}

int main() {
  using namespace sse2str::test;
  printf("buffer %p %zu\nmarker %p\ncache %p\n", static_cast<void*>(buffer), sizeof buffer,
         static_cast<void*>(&trace_marker), static_cast<void*>(&__x86_data_cache_size));
  fflush(stdout);
  uint32_t call = 0;
  for (const StoreCase& c : store_cases()) {
    char* const start = buffer + c.offset;
    __x86_data_cache_size = c.cache;
    trace_marker = call++;
    __memset_sse2_rep(start, 0x1A5, c.count);
    trace_marker = call++;
    __bzero_sse2_rep(start, c.count);
  }
  trace_marker = call;
  return 0;
}
