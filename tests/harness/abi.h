// SPDX-License-Identifier: MIT
// Calling a routine from assembly, to check what C cannot see: the
// callee-saved registers, the stack pointer, the direction flag and the
// argument words after the call.
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace sse2str::test {

// Values the thunk puts into the callee-saved registers before the call.
constexpr uint32_t kCanaryEbx = 0xB0B0B0B0;
constexpr uint32_t kCanaryEsi = 0x51515151;
constexpr uint32_t kCanaryEdi = 0xD1D1D1D1;
constexpr uint32_t kCanaryEbp = 0xEBEBEBEB;

constexpr uint32_t kTrapFlag = 0x100;
constexpr uint32_t kDirectionFlag = 0x400;

constexpr int kArgWords = 4;

// The layout is shared with abi_thunk.S; keep the offsets there in step.
struct AbiCall {
  // In.
  const void* entry;            //  0
  uint32_t args[kArgWords];     //  4  always four words are pushed
  uint32_t misalign;            // 20  stack offset from 16-byte alignment at the call
  uint32_t trace;               // 24  non-zero: run the call with the trap flag set
  // Out.
  uint32_t result;              // 28  %eax after the call
  uint32_t ebx, esi, edi, ebp;  // 32  callee-saved registers after the call
  uint32_t esp_before;          // 48  %esp at the call instruction
  uint32_t esp_after;           // 52  %esp after the return
  uint32_t eflags_after;        // 56
  uint32_t args_after[kArgWords];  // 60  the argument words after the call
  uint32_t saved_esp;           // 76  thunk bookkeeping
};

}  // namespace sse2str::test

extern "C" {
// Calls call->entry with the four argument words, the canaries in the
// callee-saved registers and %esp = 16k - misalign at the call instruction.
void sse2str_abi_call(sse2str::test::AbiCall* call);
// The return address of that call.
extern const char sse2str_abi_return_site[];

// The test profiling hook's log: for each call, its own return address (in
// the routine) and the return address found through the frame pointer (in
// the routine's caller).
constexpr int kHookLogSize = 64;
extern uint32_t sse2str_hook_calls;
extern uint32_t sse2str_hook_self[kHookLogSize];
extern uint32_t sse2str_hook_caller[kHookLogSize];
}
