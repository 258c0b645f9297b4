// SPDX-License-Identifier: MIT
/* distinct: counts the different bytes of each input line.
 *
 *   distinct < file
 *
 * Prints, for each line, how many different byte values it holds (the
 * newline not counted) and the line itself. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "sse2str.h"

int main(void) {
  char line[4096];
  unsigned char seen[256];

  while (fgets(line, sizeof line, stdin) != NULL) {
    size_t length = strcspn(line, "\n"), different = 0;
    __bzero_sse2_rep(seen, sizeof seen);
    for (size_t i = 0; i < length; ++i) {
      unsigned char byte = (unsigned char)line[i];
      different += !seen[byte];
      seen[byte] = 1;
    }
    printf("%3zu %.*s\n", different, (int)length, line);
  }
  if (ferror(stdin)) {
    perror("distinct");
    return EXIT_FAILURE;
  }
  return EXIT_SUCCESS;
}
