// SPDX-License-Identifier: MIT
#include "frame_suite.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <signal.h>
#include <ucontext.h>

#define UNW_LOCAL_ONLY
#include <libunwind.h>

#include <cstdio>
#include <fstream>
#include <set>

#include "abi.h"
#include "guard.h"

namespace sse2str::test {

namespace {

// The hook's return address lies right after `push %ebp; mov %esp,%ebp;
// call _mcount` at the start of the routine.
constexpr uintptr_t kHookReturnOffset = 1 + 2 + 5;

constexpr uint32_t kMisalignments[] = {0, 4, 8, 12};

AbiCall make_call(const void* entry, const FrameCase& c) {
  AbiCall call{};
  call.entry = entry;
  for (size_t i = 0; i < c.args.size() && i < kArgWords; ++i) call.args[i] = c.args[i];
  // Unused argument words carry a pattern the routine must not write.
  for (size_t i = c.args.size(); i < kArgWords; ++i) call.args[i] = 0xA5A5A5A5u + i;
  return call;
}

std::string hex(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "%#x", v);
  return buf;
}

// Makes the call through the thunk and checks its result, if it has one.
void call_and_check_result(AbiCall& call, const FrameCase& c, const char* when) {
  sse2str_abi_call(&call);
  if (c.has_result) {
    EXPECT_EQ(hex(call.result), hex(c.expected)) << "result" << when;
  }
}

// ---- single-stepping --------------------------------------------------------

struct TraceState {
  Extent extent;
  uintptr_t body = 0;             // the first instruction after the entry frame
  const AbiCall* call = nullptr;  // the thunk records its stack pointer there
  unsigned traced = 0;
  unsigned deepest = 0;  // most words pushed below the return address
  unsigned failures = 0;
  std::set<uintptr_t>* seen = nullptr;
  char first_failure[256] = {};
};

TraceState* trace = nullptr;

void note_failure(uintptr_t ip, const char* what, unw_word_t got, unw_word_t want) {
  if (trace->failures++ == 0)
    snprintf(trace->first_failure, sizeof trace->first_failure,
             "at routine+%#lx: %s is %#lx, expected %#lx",
             static_cast<unsigned long>(ip - trace->extent.start), what,
             static_cast<unsigned long>(got), static_cast<unsigned long>(want));
}

// Runs at every instruction while the trap flag is set.  Inside the routine
// it unwinds one frame from the interrupted context and checks that it
// arrives in the thunk with the caller's stack pointer and registers.
void on_trap(int, siginfo_t*, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  const uintptr_t ip = uc->uc_mcontext.gregs[REG_EIP];
  if (trace == nullptr || ip < trace->extent.start || ip >= trace->extent.end) return;
  ++trace->traced;
  trace->seen->insert(ip);
  if (ip >= trace->body) {
    // At entry the stack pointer is just below the caller's, at the return
    // address; every word below that is one the routine pushed.
    const uintptr_t at_entry = trace->call->esp_before - sizeof(uint32_t);
    const uintptr_t sp = static_cast<uint32_t>(uc->uc_mcontext.gregs[REG_ESP]);
    if (sp < at_entry && (at_entry - sp) / sizeof(uint32_t) > trace->deepest)
      trace->deepest = (at_entry - sp) / sizeof(uint32_t);
  }

  unw_cursor_t cursor;
  if (unw_init_local2(&cursor, reinterpret_cast<unw_context_t*>(uc), UNW_INIT_SIGNAL_FRAME) != 0) {
    note_failure(ip, "unw_init_local2 result", 1, 0);
    return;
  }
  // The procedure the records place the instruction in is the routine,
  // from its symbol to its end, wherever in it the instruction lies.
  unw_proc_info_t procedure;
  if (unw_get_proc_info(&cursor, &procedure) != 0) {
    note_failure(ip, "unw_get_proc_info result", 1, 0);
    return;
  }
  if (procedure.start_ip != trace->extent.start) {
    note_failure(ip, "procedure start", procedure.start_ip, trace->extent.start);
    return;
  }
  if (procedure.end_ip != trace->extent.end) {
    note_failure(ip, "procedure end", procedure.end_ip, trace->extent.end);
    return;
  }
  if (unw_step(&cursor) <= 0) {
    note_failure(ip, "unw_step result", 0, 1);
    return;
  }
  struct Expectation {
    int reg;
    const char* name;
    unw_word_t value;
  };
  const Expectation expected[] = {
      {UNW_REG_IP, "caller's ip", reinterpret_cast<uintptr_t>(sse2str_abi_return_site)},
      {UNW_REG_SP, "caller's sp", trace->call->esp_before},
      {UNW_X86_EBX, "ebx", kCanaryEbx},
      {UNW_X86_ESI, "esi", kCanaryEsi},
      {UNW_X86_EDI, "edi", kCanaryEdi},
      {UNW_X86_EBP, "ebp", kCanaryEbp},
  };
  for (const Expectation& e : expected) {
    unw_word_t value = 0;
    if (unw_get_reg(&cursor, e.reg, &value) != 0 || value != e.value) {
      note_failure(ip, e.name, value, e.value);
      return;
    }
  }
}

// Offsets from the entry of the instructions the static check reaches.
std::set<uintptr_t> reachable_offsets(const char* path) {
  std::set<uintptr_t> offsets;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) offsets.insert(std::stoul(line, nullptr, 16));
  return offsets;
}

}  // namespace

Extent routine_extent(const void* entry) {
  Dl_info info;
  void* found = nullptr;
  Extent extent;
  if (dladdr1(entry, &info, &found, RTLD_DL_SYMENT) == 0) return extent;
  const auto* symbol = static_cast<const ElfW(Sym)*>(found);
  if (symbol != nullptr) {
    extent.start = reinterpret_cast<uintptr_t>(entry);
    extent.end = extent.start + symbol->st_size;
  }
  return extent;
}

void check_abi(const void* entry, const std::vector<FrameCase>& cases) {
  ASSERT_FALSE(cases.empty());
  for (const FrameCase& c : cases) {
    for (uint32_t misalign : kMisalignments) {
      SCOPED_TRACE(c.label + ", stack misaligned by " + std::to_string(misalign));
      AbiCall call = make_call(entry, c);
      call.misalign = misalign;
      call_and_check_result(call, c, "");
      EXPECT_EQ(hex(call.ebx), hex(kCanaryEbx)) << "ebx not preserved";
      EXPECT_EQ(hex(call.esi), hex(kCanaryEsi)) << "esi not preserved";
      EXPECT_EQ(hex(call.edi), hex(kCanaryEdi)) << "edi not preserved";
      EXPECT_EQ(hex(call.ebp), hex(kCanaryEbp)) << "ebp not preserved";
      EXPECT_EQ(call.esp_after, call.esp_before) << "stack pointer not restored";
      EXPECT_EQ(call.eflags_after & kDirectionFlag, 0u) << "direction flag left set";
      for (int i = 0; i < kArgWords; ++i)
        EXPECT_EQ(hex(call.args_after[i]), hex(call.args[i])) << "argument word " << i;
    }
  }
}

void check_hook(const void* entry, const std::vector<FrameCase>& cases, bool profiled) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(entry);
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.label);
    AbiCall call = make_call(entry, c);
    sse2str_hook_calls = 0;
    call_and_check_result(call, c, " after the hook ran");
    if (!profiled) {
      EXPECT_EQ(sse2str_hook_calls, 0u) << "a build without the hook called it";
      continue;
    }
    ASSERT_EQ(sse2str_hook_calls, 1u) << "the hook must run exactly once per call";
    EXPECT_EQ(hex(sse2str_hook_self[0]), hex(start + kHookReturnOffset))
        << "the hook must see the routine's own entry";
    EXPECT_EQ(hex(sse2str_hook_caller[0]),
              hex(reinterpret_cast<uintptr_t>(sse2str_abi_return_site)))
        << "the hook must see the routine's caller through the frame pointer";
  }
}

void check_unwinding(const void* entry, const std::vector<FrameCase>& cases, bool profiled,
                     const char* reachable) {
  const Extent extent = routine_extent(entry);
  ASSERT_NE(extent.start, 0u) << "routine symbol not found (link with -rdynamic)";
  ASSERT_GT(extent.end, extent.start);

  struct sigaction previous;
  ASSERT_EQ(install_handler(SIGTRAP, on_trap, 0, &previous), 0);

  std::set<uintptr_t> seen;
  for (const FrameCase& c : cases) {
    SCOPED_TRACE(c.label);
    TraceState state;
    state.extent = extent;
    // The entry frame ends with the pop of the frame pointer.
    state.body = extent.start + (profiled ? kHookReturnOffset + 1 : 0);
    state.seen = &seen;
    AbiCall call = make_call(entry, c);
    call.trace = 1;
    call.misalign = 4;
    state.call = &call;
    trace = &state;
    call_and_check_result(call, c, " under single-stepping");
    trace = nullptr;
    EXPECT_GT(state.traced, 0u) << "no instruction of the routine was traced";
    EXPECT_EQ(state.failures, 0u) << state.failures << " of " << state.traced
                                  << " instructions unwound wrongly; first "
                                  << state.first_failure;
    EXPECT_LE(state.deepest, c.max_saved_words) << "registers saved on this path";
  }
  sigaction(SIGTRAP, &previous, nullptr);

  const std::set<uintptr_t> offsets = reachable_offsets(reachable);
  ASSERT_FALSE(offsets.empty()) << "no reachable instructions listed in " << reachable;
  for (uintptr_t ip : seen)
    EXPECT_EQ(offsets.count(ip - extent.start), 1u)
        << "stepped routine+" << hex(ip - extent.start)
        << ", which the static call-frame check does not reach";
  printf("stepped %zu of %zu reachable instructions\n", seen.size(), offsets.size());
  ::testing::Test::RecordProperty("instructions_stepped", static_cast<int>(seen.size()));
  ::testing::Test::RecordProperty("instructions_reachable", static_cast<int>(offsets.size()));
}

}  // namespace sse2str::test
