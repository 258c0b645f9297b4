// SPDX-License-Identifier: MIT
// Waits for its standard input to close.  The benchmark report starts it
// and reads what the kernel runs for it (/proc/<pid>/exe): this program,
// or the emulator that i386 programs are handed to.
#include <unistd.h>

int main(void) {
  char byte;
  while (read(0, &byte, 1) > 0) {
  }
  return 0;
}
