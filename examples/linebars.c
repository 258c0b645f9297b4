// SPDX-License-Identifier: MIT
/* linebars: draws the length of each input line as a bar.
 *
 *   linebars < file
 *
 * Prints, for each line, its length in bytes and a bar of one '#' per byte,
 * cut at kWidest with a '>' where the line is longer. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sse2str.h"

enum { kWidest = 60 };

int main(void) {
  char line[4096];
  char bar[kWidest + 2]; /* the bar, a '>' where cut, the terminator */

  while (fgets(line, sizeof line, stdin) != NULL) {
    size_t length = strcspn(line, "\n");
    size_t drawn = length < kWidest ? length : kWidest;
    __memset_sse2_rep(bar, '#', drawn);
    bar[drawn] = length > kWidest ? '>' : '\0';
    bar[drawn + 1] = '\0';
    printf("%4zu %s\n", length, bar);
  }
  if (ferror(stdin)) {
    perror("linebars");
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
