// SPDX-License-Identifier: MIT
// Entry frame shared by every routine.
//
// Each exported routine is a few lines of assembly followed by a C++ body in
// the same section.  The assembly is the part C++ cannot say: the profiling
// prologue (push %ebp; mov %esp,%ebp; call _mcount; pop %ebp), with
// call-frame directives exact at each of its instructions.  It leaves the
// stack exactly as it was at entry and falls through into the body, an
// ordinary cdecl function whose first instruction follows the pop.
//
// The body is a function without a symbol: its assembler name is a local
// label (`.L...`), which the assembler keeps out of the object's symbol
// table.  So the exported symbol is the only name any tool finds inside the
// routine, and gprof, perf, valgrind and gdb attribute every instruction to
// it.  The body runs every stage of the routine in the scratch registers
// (the modules are built with the callee-saved ones fixed), so no path of
// it saves a register.
//
// Top-level asm and functions are emitted in source order (the modules are
// built with -fno-toplevel-reorder): the entry frame is the first thing in
// the routine's section and the body, declared and defined right after it
// with no alignment of its own, follows it without a gap.
#pragma once

#include <type_traits>

#include "include/sse2str.h"

// The build gives each module its exported symbol and its section, from the
// list of routines (routines.def).
#if !defined(SSE2STR_SYMBOL) || !defined(SSE2STR_SECTION)
#error "SSE2STR_SYMBOL and SSE2STR_SECTION come from the build (routines.def)"
#endif
#define SSE2STR_STRING_(text) #text
#define SSE2STR_STRING(text) SSE2STR_STRING_(text)
#define SSE2STR_SYMBOL_NAME_ SSE2STR_STRING(SSE2STR_SYMBOL)

#ifndef SSE2STR_PROFILE
#define SSE2STR_PROFILE 1
#endif

// The assembly text is laid out by hand, one instruction or directive a line.
// clang-format off
#if SSE2STR_PROFILE
// After the pop the stack is as it was at entry, and so are the records.
#define SSE2STR_FRAME_CODE_                                                   \
  "\tpushl %ebp\n"                                                           \
  "\t.cfi_adjust_cfa_offset 4\n"                                             \
  "\t.cfi_rel_offset %ebp, 0\n"                                              \
  "\tmovl %esp, %ebp\n"                                                      \
  "\t.cfi_def_cfa_register %ebp\n"                                           \
  "\tcall _mcount\n"                                                         \
  "\tpopl %ebp\n"                                                            \
  "\t.cfi_def_cfa %esp, 4\n"                                                 \
  "\t.cfi_restore %ebp\n"
#else
// Without the hook the exported symbol labels the body itself, at the start
// of the section.
#define SSE2STR_FRAME_CODE_ ""
#endif

// Opens the routine at the start of its section, and its one set of
// call-frame records, which the body's instructions continue: the body is
// compiled without records of its own (-fno-asynchronous-unwind-tables),
// as it pushes nothing but what its asm statements describe themselves
// (the fills' string store), so the row after the frame holds for all of
// it.  An unwinder asked where the procedure of any instruction starts
// finds the exported symbol.
#define SSE2STR_ENTRY_FRAME()                                                 \
  asm(".pushsection " SSE2STR_SECTION ",\"ax\",@progbits\n"                   \
      "\t.p2align 4\n"                                                        \
      "\t.globl " SSE2STR_SYMBOL_NAME_ "\n"                                    \
      "\t.type " SSE2STR_SYMBOL_NAME_ ", @function\n"                          \
      SSE2STR_SYMBOL_NAME_ ":\n"                                               \
      "\t.cfi_startproc\n" SSE2STR_FRAME_CODE_ ".popsection\n")

// Placed after the body: the records and the exported symbol span the whole
// routine, so unwinders, profilers and disassemblers attribute every
// instruction to it.  The records end here, right behind the body (top-level
// asm and functions keep their source order; the assembler keeps records
// apart per subsection).  The size is taken in subsection 1, which the
// assembler lays out after everything in subsection 0 (the frame and the
// body), so it holds whatever order the compiler emits them in.
#define SSE2STR_ENTRY_END()                                                   \
  asm(".pushsection " SSE2STR_SECTION ",\"ax\",@progbits\n"                   \
      "\t.cfi_endproc\n"                                                     \
      "\t.subsection 1\n"                                                    \
      "\t.size " SSE2STR_SYMBOL_NAME_ ", .-" SSE2STR_SYMBOL_NAME_ "\n"          \
      ".popsection\n")
// clang-format on

// The assembler name of a part of a routine: a local label, so the part has
// no symbol of its own.  Written after the part's declarator.
#define SSE2STR_UNNAMED(part) asm(".L" #part)

// Attributes of a routine body: kept although nothing calls it, never
// inlined, taking its arguments on the stack like the exported symbol (never
// a register convention GCC might choose for a local function), and placed
// in the routine's section right behind the frame.  Aligned to one byte, so
// -falign-functions puts no padding between the frame's pop and the body's
// first instruction.
#define SSE2STR_BODY \
  static __attribute__((used, noinline, cdecl, aligned(1), section(SSE2STR_SECTION)))

// The body has the type of the exported routine's public prototype
// (include/sse2str.h), so callers and the body agree on every argument word
// and the result.
#define SSE2STR_CHECK_PROTOTYPE(body)                                     \
  static_assert(std::is_same_v<decltype(body), decltype(SSE2STR_SYMBOL)>, \
                #body " has the prototype of " SSE2STR_SYMBOL_NAME_)

// Argument word `index` of the routine (0 for the first), read from the
// caller's argument area.  The body runs on the stack it was entered with
// (the entry frame leaves it as it was, and the body pushes nothing), so
// the canonical frame address is the first argument word; the compiler
// addresses it relative to the stack pointer.  A value needed only at a
// path's end is read here rather than held in a register from entry.
template <class T>
inline __attribute__((always_inline)) T argument_word(unsigned index) {
  static_assert(sizeof(T) == 4, "arguments are 32-bit words");
  // Volatile: each use is a load of its own, never merged with another.
  return static_cast<const volatile T*>(__builtin_dwarf_cfa())[index];
}

// Argument word `index`, or its low byte when T is one byte wide, as the
// memory operand of the one instruction that uses it (a compare with a
// constant, say), so it takes no register at all: GCC compares a byte with
// zero in memory, but loads a word into a register to test it.  The empty
// asm tells the compiler that memory may have changed: it can neither
// answer this read from an earlier one held in a register nor move it above
// that point, while a plain read, unlike argument_word's, may be folded
// into the instruction that uses it.
template <class T>
inline __attribute__((always_inline)) T argument_operand(unsigned index) {
  static_assert(sizeof(T) == 4 || sizeof(T) == 1, "an argument word or its low byte");
  asm volatile("" ::: "memory");
  // Little-endian: a word's low byte comes first.
  return *reinterpret_cast<const T*>(static_cast<const char*>(__builtin_dwarf_cfa()) + index * 4);
}
