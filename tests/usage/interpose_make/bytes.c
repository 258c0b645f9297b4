// SPDX-License-Identifier: MIT
/* The shared object: it calls memchr once per byte found and once more.
   Linked without the interposition libraries, its calls reach the routine
   only through the program that loads it. */
#include "bytes.h"

#include <string.h>

size_t count_byte(const void *bytes, int c, size_t n) {
  const unsigned char *next = bytes;
  const unsigned char *end = next + n;
  size_t count = 0;
  while ((next = memchr(next, c, (size_t)(end - next))) != NULL) {
    ++count;
    ++next;
  }
  return count;
}
