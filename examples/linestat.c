// SPDX-License-Identifier: MIT
/* linestat: counts the lines of its input and finds the longest.
 *
 *   linestat < file
 *
 * Prints "<lines> lines, longest <bytes> bytes at line <number>".  A last
 * line without a newline counts as a line. */
#include <stdio.h>
#include <stdlib.h>

#include "sse2str.h"

int main(void) {
  static char buffer[1 << 16];
  unsigned long lines = 0, longest_line = 0;
  size_t longest = 0, current = 0; /* bytes of the line being read so far */
  size_t got;

  while ((got = fread(buffer, 1, sizeof buffer, stdin)) > 0) {
    const char *p = buffer, *end = buffer + got;
    const char *newline;
    while ((newline = __memchr_sse2(p, '\n', (size_t)(end - p))) != NULL) {
      current += (size_t)(newline - p);
      ++lines;
      if (current > longest) {
        longest = current;
        longest_line = lines;
      }
      current = 0;
      p = newline + 1;
    }
    current += (size_t)(end - p);
  }
  if (ferror(stdin)) {
    perror("linestat");
    return EXIT_FAILURE;
  }
  if (current > 0) {
    ++lines;
    if (current > longest) {
      longest = current;
      longest_line = lines;
    }
  }
  printf("%lu lines, longest %zu bytes at line %lu\n", lines, longest, longest_line);
  return EXIT_SUCCESS;
}
