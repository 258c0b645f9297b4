// SPDX-License-Identifier: MIT
/* Counts the slashes of a path through the shared object, which makes
   CALLS_memchr calls (one per slash and one more), and finds the last one
   itself, CALLS_strrchr times.  Built with interposition, the counting hook
   reports exactly these numbers. */
#include <stdio.h>
#include <string.h>

#include "bytes.h"

#define CALLS_memchr 5
#define CALLS_strrchr 2

int main(void) {
  static const char path[] = "a/path/to/some/file.txt";
  int failures = 0;

  if (count_byte(path, '/', sizeof path - 1) != CALLS_memchr - 1) {
    printf("wrong result: count_byte\n");
    ++failures;
  }
  for (int i = 0; i < CALLS_strrchr; ++i) {
    if (strrchr(path + i, '/') != path + 14) {
      printf("wrong result: strrchr (call %d)\n", i);
      ++failures;
    }
  }
  if (failures == 0) printf("shared object and program: all results right\n");
  return failures != 0;
}
