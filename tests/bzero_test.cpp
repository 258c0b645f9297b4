// SPDX-License-Identifier: MIT
// __bzero_sse2_rep against the reference model, at every placement.  That
// it performs the same stores as __memset_sse2_rep is checked from a trace
// in fill_stores_test.cpp.
#include "fill_test.h"

namespace sse2str::test {
namespace {

SSE2STR_FILL_TESTS(Bzero, Routine::bzero, __bzero_sse2_rep)

}  // namespace
}  // namespace sse2str::test
