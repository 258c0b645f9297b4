// SPDX-License-Identifier: MIT
// A program with its own __x86_data_cache_size, linked with the provider's
// object as well: its definition and its value must stand.
#include <stdint.h>
#include <stdio.h>

extern "C" {
uint32_t __x86_data_cache_size = 12345;
}

int main() {
  if (__x86_data_cache_size == 12345) return 0;
  fprintf(stderr, "__x86_data_cache_size is %u, the program defined 12345\n",
          static_cast<unsigned>(__x86_data_cache_size));
  return 1;
}
