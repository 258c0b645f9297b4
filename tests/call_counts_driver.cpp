// SPDX-License-Identifier: MIT
// Calls each routine a number of times of its own through the ABI thunk, with
// the counting hook linked as _mcount, and checks after every call that the
// routine with the hook inside kept the ABI: callee-saved registers, stack
// pointer, argument words, direction flag.  Prints on standard output the
// counts the hook must report ("expect: __memchr_sse2=1 ..."); the hook
// itself reports at exit (call_counts_test.py compares the two).
//
//   call_counts_driver            the calls, then exit
//   call_counts_driver fork       the calls, then a child that calls
//                                 __memchr_sse2 once and exits; the parent
//                                 exits after it
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include "abi.h"
#include "sse2str.h"

namespace {

using sse2str::test::AbiCall;

char source[64] = "counted calls of every routine";
char destination[64];
const wchar_t wide[] = L"counted";

uint32_t word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

// The argument words of one call of each routine.
namespace args {
const uint32_t memchr[] = {word(source), 'y', 32, 0};
const uint32_t strnlen[] = {word(source), 40, 0, 0};
const uint32_t strrchr[] = {word(source), 'e', 0, 0};
const uint32_t stpcpy[] = {word(destination), word(source), 0, 0};
const uint32_t wcscmp[] = {word(wide), word(wide), 0, 0};
const uint32_t memset[] = {word(destination), 'z', 48, 0};
const uint32_t bzero[] = {word(destination), 48, 0, 0};
}  // namespace args

struct Counted {
  const char* symbol;
  const void* entry;
  const uint32_t (&args)[sse2str::test::kArgWords];
};

// Every routine of the list of routines.
const Counted kRoutines[] = {
#define SSE2STR_ROUTINE(name, module, symbol, section, source) \
  {#symbol, reinterpret_cast<const void*>(&symbol), args::name},
#include "routines.def"
#undef SSE2STR_ROUTINE
};

// Stack offsets from 16-byte alignment at the call: the routines promise
// callers no more than 4-byte alignment, and so get none to hand the hook.
constexpr uint32_t kMisalignments[] = {0, 4, 8, 12};

// One call; false (with a message) if the ABI was not kept.
bool call_keeps_abi(const Counted& routine, uint32_t misalign) {
  AbiCall call = {};
  call.entry = routine.entry;
  memcpy(call.args, routine.args, sizeof call.args);
  call.misalign = misalign;
  sse2str_abi_call(&call);
  const bool kept = call.ebx == sse2str::test::kCanaryEbx &&
                    call.esi == sse2str::test::kCanaryEsi &&
                    call.edi == sse2str::test::kCanaryEdi &&
                    call.ebp == sse2str::test::kCanaryEbp && call.esp_after == call.esp_before &&
                    (call.eflags_after & sse2str::test::kDirectionFlag) == 0 &&
                    memcmp(call.args_after, call.args, sizeof call.args) == 0;
  if (!kept)
    printf(
        "ABI broken: %s (misalign %u): ebx %08x esi %08x edi %08x ebp %08x esp %08x/%08x "
        "eflags %08x\n",
        routine.symbol, misalign, call.ebx, call.esi, call.edi, call.ebp, call.esp_before,
        call.esp_after, call.eflags_after);
  return kept;
}

}  // namespace

int main(int argc, char** argv) {
  const bool fork_child = argc > 1 && strcmp(argv[1], "fork") == 0;
  bool kept = true;
  printf("expect:");
  int calls = 1;
  for (const Counted& routine : kRoutines) {
    for (int i = 0; i < calls; ++i) kept &= call_keeps_abi(routine, kMisalignments[i % 4]);
    printf(" %s=%d", routine.symbol, calls);
    calls += 2;
  }
  printf("\n");
  fflush(stdout);
  if (fork_child) {
    const pid_t child = fork();
    if (child == 0) {
      kept &= call_keeps_abi(kRoutines[0], 0);
      return kept ? 0 : 1;
    }
    int status = 0;
    waitpid(child, &status, 0);
    kept &= WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  return kept ? 0 : 1;
}
