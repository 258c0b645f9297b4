# SPDX-License-Identifier: MIT
# Building the deliverable modules.
#
# Every module is compiled twice: with the profiling entry hook (the default
# delivery) and without it.  Both are tested; SSE2STR_PROFILE picks the one
# copied to build/modules/<name>.o and put into the archive.

set(SSE2STR_MODULE_DIR ${CMAKE_BINARY_DIR}/modules)

# Flags that give every module its object-level contract.
set(SSE2STR_MODULE_FLAGS
  # Generic tuning saves callee-saved registers with push/pop rather than
  # with moves into a frame (the routines keep no locals).
  -std=c++17 -O2 -march=i686 -mtune=generic -msse2
  # No x87: an 8-byte move must never pass through an FPU register, where a
  # signalling-NaN bit pattern would be altered.
  -mno-80387
  # Callers may keep only 4-byte stack alignment.  The routines keep nothing
  # on the stack but pushed registers, so GCC never needs an aligned slot;
  # the object check rejects any SSE operand on the stack and any stack
  # realignment, should that change.
  # Absolute addressing, no PIC thunks; no canaries, no CET notes.
  -fno-pic -fno-pie -fno-stack-protector -fcf-protection=none
  # No calls the compiler invents (memset/memcpy/strlen for plain loops).
  -ffreestanding -fno-builtin
  -fno-exceptions -fno-rtti -fno-threadsafe-statics
  # Exact call-frame records at every instruction, for unwinders.
  -fasynchronous-unwind-tables
  # Routine starts and loop heads on 16-byte boundaries.
  -falign-functions=16 -falign-loops=16
  -Wall -Wextra -Werror)

# The same contract in each compiler's own words.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  list(APPEND SSE2STR_MODULE_FLAGS
    # Unaligned integer stores stay MOVDQU, not the shorter MOVUPS that
    # generic tuning would pick.
    -mtune-ctrl=^sse_typeless_stores
    -fno-tree-loop-distribute-patterns
    # The entry frame comes first in its section and the body follows it.
    -fno-toplevel-reorder -fno-reorder-blocks-and-partition
    # Branch targets on 16-byte boundaries.
    -falign-jumps=16
    # Each of the 16 positions of a cascade keeps its own exit.
    -fno-crossjumping)
  # Every routine runs in the three scratch registers and the SIMD ones:
  # GCC saves a callee-saved register on every path of a function as soon
  # as one path uses it (it cannot move the pushes past a short path that
  # reads the arguments from the stack), so the registers are fixed and no
  # path saves one.  A path short of registers makes GCC spill, to a stack
  # frame or into the argument area, which the object check, the call-frame
  # check and the frame tests reject.  (The support objects keep them.)
  # Every block reached only by a jump starts on a 16-byte boundary.
  set(SSE2STR_ROUTINE_FLAGS -ffixed-ebx -ffixed-esi -ffixed-edi -ffixed-ebp
      --param=align-threshold=65536)
elseif(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # Clang 14 (LLVM's x86 epilogues) pops callee-saved registers without
  # marking them restored in the call-frame records: between such a pop and
  # the return an unwinder still looks for the register in its stack slot,
  # which now lies below the stack pointer and may hold anything.
  option(SSE2STR_TRY_CLANG "Build the modules with Clang all the same" OFF)
  if(NOT SSE2STR_TRY_CLANG)
    message(FATAL_ERROR
      "sse2str: the modules cannot be built with Clang ${CMAKE_CXX_COMPILER_VERSION}: "
      "its epilogues pop callee-saved registers without .cfi_restore, so the "
      "call-frame records are wrong at the instructions between each pop and "
      "the return (the routines must unwind from every instruction).  Build "
      "them with GCC, or pass -DSSE2STR_TRY_CLANG=ON to see the rest of the "
      "suite pass (make test-clang).")
  endif()
  list(APPEND SSE2STR_MODULE_FLAGS
    # Callers may keep only 4-byte stack alignment (the bodies call
    # nothing, so the outgoing alignment does not matter).
    -mstack-alignment=4
    # Clang emits top-level asm ahead of every function, so the entry
    # frame leads its section without being asked.  Blocks reached only by
    # a jump start on 16-byte boundaries, and identical exits stay apart.
    "SHELL:-mllvm -align-all-nofallthru-blocks=4"
    "SHELL:-mllvm -enable-tail-merge=false")
else()
  message(FATAL_ERROR "sse2str: the modules build with GCC or Clang, not ${CMAKE_CXX_COMPILER_ID}")
endif()

# sse2str_python(<var> <module>...): the first Python that imports every
# module, of the one CMake found and the distribution's.  The scripts use
# the distribution's packages (scripts/setup.sh), which a Python installed
# apart from it (pyenv, a virtual environment) does not see.
function(sse2str_python var)
  set(${var} ${Python3_EXECUTABLE} PARENT_SCOPE)
  string(REPLACE ";" ", " modules "${ARGN}")
  foreach(python ${Python3_EXECUTABLE} /usr/bin/python3)
    execute_process(COMMAND ${python} -c "import ${modules}"
                    RESULT_VARIABLE missing OUTPUT_QUIET ERROR_QUIET)
    if(missing EQUAL 0)
      set(${var} ${python} PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

# The object checks, the tool tests and the benchmark's peers read objects
# with pyelftools and capstone (scripts/elf_object.py): every script of the
# build runs under a Python that imports them.
sse2str_python(Python3_EXECUTABLE capstone elftools)

set_property(GLOBAL PROPERTY SSE2STR_DELIVERED "")
set_property(GLOBAL PROPERTY SSE2STR_MODULES "")
set_property(GLOBAL PROPERTY SSE2STR_SUPPORT_OBJECTS "")
set_property(GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS "")
# <standard name>=<routine> for each module, the aliases that route a
# program's calls of the standard routine to this one (sse2str::interpose).
set_property(GLOBAL PROPERTY SSE2STR_ALIASES "")

# Copies the object of OBJECT library `target` to build/modules/<name>.o,
# the path users link, and lists it in `list` (by default the objects of the
# archive).
function(sse2str_deliver name target)
  set(list SSE2STR_DELIVERED)
  if(ARGC GREATER 2)
    set(list ${ARGV2})
  endif()
  set(out ${SSE2STR_MODULE_DIR}/${name}.o)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SSE2STR_MODULE_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_OBJECTS:${target}> ${out}
    DEPENDS ${target} $<TARGET_OBJECTS:${target}>
    COMMAND_EXPAND_LISTS
    COMMENT "Delivering ${name}.o")
  set_property(GLOBAL APPEND PROPERTY ${list} ${out})
endfunction()

# The routines of routines.def, in its order: SSE2STR_ROUTINES holds their
# names and, for each name, SSE2STR_<name>_MODULE, _SYMBOL, _SECTION and
# _SOURCE the other columns.
function(sse2str_read_routines)
  set(table ${PROJECT_SOURCE_DIR}/routines.def)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${table})
  file(STRINGS ${table} lines REGEX "^SSE2STR_ROUTINE\\(")
  set(names "")
  foreach(line ${lines})
    string(REGEX REPLACE "[ \"]" "" line "${line}")
    if(NOT line MATCHES "^SSE2STR_ROUTINE\\(([^,]+),([^,]+),([^,]+),([^,]+),([^,]+)\\)$")
      message(FATAL_ERROR "routines.def: a line not of five columns: ${line}")
    endif()
    list(APPEND names ${CMAKE_MATCH_1})
    set(SSE2STR_${CMAKE_MATCH_1}_MODULE ${CMAKE_MATCH_2} PARENT_SCOPE)
    set(SSE2STR_${CMAKE_MATCH_1}_SYMBOL ${CMAKE_MATCH_3} PARENT_SCOPE)
    set(SSE2STR_${CMAKE_MATCH_1}_SECTION ${CMAKE_MATCH_4} PARENT_SCOPE)
    set(SSE2STR_${CMAKE_MATCH_1}_SOURCE ${CMAKE_MATCH_5} PARENT_SCOPE)
  endforeach()
  set(SSE2STR_ROUTINES ${names} PARENT_SCOPE)
endfunction()
sse2str_read_routines()

# The platform's routines GCC could call in place of a plain loop: the
# standard ones of the list and their relatives.  The reference models, the
# ceilings and the benchmark's harness are checked to call none of them.
string(REPLACE ";" "," SSE2STR_STANDARD_ROUTINES "${SSE2STR_ROUTINES}")
set(SSE2STR_LIBRARY_ROUTINES ${SSE2STR_STANDARD_ROUTINES},strlen,strchr,strcpy,wcslen,memcpy,memmove)

# sse2str_module(<routine> MAX_CODE <bytes> [UNDEFINED <symbols>...]
#                [RODATA <section>] [FLAGS <flags>...])
# The module of a routine of routines.def, which names its source, symbol
# and section; the symbol and the section reach the source as SSE2STR_SYMBOL
# and SSE2STR_SECTION.  RODATA names the section of a fill's jump tables,
# which the table check reads.  FLAGS are added after the common ones, for
# what one module alone needs.  MAX_CODE bounds the code section in both
# configurations: a little above what the routine takes with each of its
# shared pieces once, so a piece copied again fails the object check.
function(sse2str_module routine)
  cmake_parse_arguments(M "" "RODATA;MAX_CODE" "UNDEFINED;FLAGS" ${ARGN})
  if(NOT DEFINED SSE2STR_${routine}_MODULE)
    message(FATAL_ERROR "sse2str_module: ${routine} is not a routine of routines.def")
  endif()
  set(name ${SSE2STR_${routine}_MODULE})
  set(M_SOURCE ${SSE2STR_${routine}_SOURCE})
  set(M_SYMBOL ${SSE2STR_${routine}_SYMBOL})
  set(M_SECTION ${SSE2STR_${routine}_SECTION})
  foreach(config prof noprof)
    set(target ${name}_${config})
    add_library(${target} OBJECT ${M_SOURCE})
    # FLAGS are GCC's words; a Clang build (a try, see above) goes without.
    target_compile_options(${target} PRIVATE ${SSE2STR_MODULE_FLAGS} ${SSE2STR_ROUTINE_FLAGS}
                           $<$<CXX_COMPILER_ID:GNU>:${M_FLAGS}>)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE SSE2STR_SYMBOL=${M_SYMBOL}
                               SSE2STR_SECTION="${M_SECTION}")
    if(config STREQUAL prof)
      target_compile_definitions(${target} PRIVATE SSE2STR_PROFILE=1)
      set(undefined _mcount ${M_UNDEFINED})
      set(frame_args --entry-frame)
    else()
      target_compile_definitions(${target} PRIVATE SSE2STR_PROFILE=0)
      set(undefined ${M_UNDEFINED})
      set(frame_args "")
    endif()
    set(check_args --symbol ${M_SYMBOL} --section ${M_SECTION} --max-code ${M_MAX_CODE}
                   ${frame_args})
    foreach(u ${undefined})
      list(APPEND check_args --undefined ${u})
    endforeach()
    add_test(NAME cfi.${name}.${config}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_cfi.py
              $<TARGET_OBJECTS:${target}> --symbol ${M_SYMBOL})
    if(M_RODATA)
      list(APPEND check_args --rodata ${M_RODATA})
      add_test(NAME fill_tables.${name}.${config}
        COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_fill_tables.py
                $<TARGET_OBJECTS:${target}> --section ${M_RODATA} --code ${M_SECTION})
    endif()
    add_test(NAME object.${name}.${config}
      COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_object.py
              $<TARGET_OBJECTS:${target}> ${check_args})
  endforeach()

  if(SSE2STR_PROFILE)
    set(delivered ${name}_prof)
  else()
    set(delivered ${name}_noprof)
  endif()
  sse2str_deliver(${name} ${delivered})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_MODULES ${name})
  set_property(GLOBAL PROPERTY SSE2STR_UNDEFINED_${name} ${M_UNDEFINED})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_ALIASES ${routine}=${M_SYMBOL})
endfunction()

# sse2str_support_object(<name> SOURCE <file> PROVIDES <symbols>...): an
# object shipped beside the modules (in build/modules and the archive) that is
# not itself a routine but defines symbols some modules leave undefined; the
# installed packages link it with every module that needs one of them.
function(sse2str_support_object name)
  cmake_parse_arguments(M "" "SOURCE" "PROVIDES" ${ARGN})
  add_library(${name} OBJECT ${M_SOURCE})
  target_compile_options(${name} PRIVATE ${SSE2STR_MODULE_FLAGS})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  sse2str_deliver(${name} ${name})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_SUPPORT_OBJECTS ${name})
  foreach(symbol ${M_PROVIDES})
    set_property(GLOBAL PROPERTY SSE2STR_PROVIDER_OF_${symbol} ${name})
  endforeach()
endfunction()

# sse2str_hook_object(<name> SOURCE <file>): a profiling hook shipped beside
# the modules (in build/modules, installed with them) but kept out of the
# archive: an archive member defining _mcount would be pulled into every
# program that links the archive, in place of the profiling runtime's.
function(sse2str_hook_object name)
  cmake_parse_arguments(M "" "SOURCE" "" ${ARGN})
  # The modules' flags, x87 allowed: the hook copies no data, and the C
  # library's C++ headers it includes declare long double overloads.  The
  # routines call it with the stack as their callers left it, which may be
  # aligned to 4 bytes only (Clang's flags already say so).
  set(flags ${SSE2STR_MODULE_FLAGS})
  list(REMOVE_ITEM flags -mno-80387)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    list(APPEND flags -mincoming-stack-boundary=2)
  endif()
  add_library(${name} OBJECT ${M_SOURCE})
  target_compile_options(${name} PRIVATE ${flags})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  sse2str_deliver(${name} ${name} SSE2STR_HOOK_OBJECTS)
endfunction()

# The `modules` target: every delivered object and the archive of them all.
function(sse2str_finish_modules)
  get_property(modules GLOBAL PROPERTY SSE2STR_MODULES)
  foreach(routine ${SSE2STR_ROUTINES})
    if(NOT SSE2STR_${routine}_MODULE IN_LIST modules)
      message(FATAL_ERROR "routines.def lists ${routine}, but no sse2str_module builds it")
    endif()
  endforeach()
  get_property(delivered GLOBAL PROPERTY SSE2STR_DELIVERED)
  get_property(hooks GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS)
  set(archive ${SSE2STR_MODULE_DIR}/libsse2str.a)
  add_custom_command(OUTPUT ${archive}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${archive}
    COMMAND ${CMAKE_AR} rcs ${archive} ${delivered}
    DEPENDS ${delivered}
    COMMENT "Archiving libsse2str.a")
  add_custom_target(modules ALL DEPENDS ${delivered} ${hooks} ${archive})
endfunction()
