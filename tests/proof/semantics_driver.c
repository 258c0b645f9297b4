// SPDX-License-Identifier: MIT
// Runs instructions of the routines on this processor for the semantics
// check (check_semantics.py).  Reads records from standard input: the
// index of a stub, the registers, EFLAGS, the SIMD registers and the
// scratch memory; runs the stub, which loads the state, executes the one
// instruction and stores the state again; writes the state back.
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#define SCRATCH_ADDRESS 0x30000000u
#define SCRATCH_SIZE 256

struct state {
  uint32_t general[8];  // eax, ecx, edx, ebx, esp, ebp, esi, edi
  uint32_t eflags;
  uint8_t xmm[8][16];
};

struct state stub_state;
uint32_t stub_saved_esp;
extern void (*const stubs[])(void);
extern const uint32_t stub_count;

int main(void) {
  uint8_t *scratch = mmap((void *)SCRATCH_ADDRESS, 4096, PROT_READ | PROT_WRITE,
                          MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
  if (scratch != (uint8_t *)SCRATCH_ADDRESS) {
    perror("mmap");
    return 2;
  }
  uint32_t index;
  while (fread(&index, sizeof index, 1, stdin) == 1) {
    if (index >= stub_count || fread(&stub_state, sizeof stub_state, 1, stdin) != 1 ||
        fread(scratch, SCRATCH_SIZE, 1, stdin) != 1) {
      fprintf(stderr, "semantics_driver: bad record\n");
      return 2;
    }
    stubs[index]();
    fwrite(&stub_state, sizeof stub_state, 1, stdout);
    fwrite(scratch, SCRATCH_SIZE, 1, stdout);
  }
  return 0;
}
