# SPDX-License-Identifier: MIT
# Building the delivered objects.
#
# The routines are written in C++, but what ships is the assembly the pinned
# compiler (GCC 12, the one the machine-code shapes are tuned on) makes of
# it: `make regen` compiles every module, with and without the profiling
# hook, and writes the result under gen/, where it is committed
# (gen/prof/<name>.s, gen/noprof/<name>.s, gen/support/<name>.s).  Every
# build assembles the objects from those files with whatever assembler the
# machine has, so they do not depend on the compiler installed, and checks
# each routine's object (its contract, its call-frame records, its fill
# tables) before any object is delivered.  SSE2STR_PROFILE picks the
# configuration copied to build/modules/<name>.o and put into the archive;
# the tests take both, and so does the installed tree, which build/package/
# holds as it is installed (cmake/Sse2strInstall.cmake).

set(SSE2STR_MODULE_DIR ${CMAKE_BINARY_DIR}/modules)
set(SSE2STR_GEN_DIR ${PROJECT_SOURCE_DIR}/gen)
# What the pinned compiler generates here; `make regen` copies it to gen/.
set(SSE2STR_REGEN_DIR ${CMAKE_BINARY_DIR}/regen)
set(SSE2STR_CHECKED_DIR ${CMAKE_BINARY_DIR}/checked)

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
  # Unaligned integer stores stay MOVDQU, not the shorter MOVUPS that
  # generic tuning would pick.
  -mtune-ctrl=^sse_typeless_stores
  -fno-tree-loop-distribute-patterns
  # The entry frame comes first in its section and the body follows it.
  -fno-toplevel-reorder -fno-reorder-blocks-and-partition
  # Branch targets on 16-byte boundaries.
  -falign-jumps=16
  # Each of the 16 positions of a cascade keeps its own exit.
  -fno-crossjumping
  # The generated text names no compiler version: it is the same wherever
  # a patch release of the pinned compiler makes it.
  -fno-ident
  -Wall -Wextra -Werror)
# Every routine runs in the three scratch registers and the SIMD ones: GCC
# saves a callee-saved register on every path of a function as soon as one
# path uses it (it cannot move the pushes past a short path that reads the
# arguments from the stack), so the registers are fixed and no path saves
# one.  A path short of registers makes GCC spill, to a stack frame or into
# the argument area, which the object check, the call-frame check and the
# frame tests reject.  (The support objects keep them.)  Every block reached
# only by a jump starts on a 16-byte boundary.  A routine's call-frame
# records are opened and closed by its entry frame (frame/entry_frame.h),
# one set for the whole routine: the body adds none of its own.
set(SSE2STR_ROUTINE_FLAGS -ffixed-ebx -ffixed-esi -ffixed-edi -ffixed-ebp
    --param=align-threshold=65536 -fno-asynchronous-unwind-tables)

# The objects that choose between the routines and their plain-C twins
# (dispatch/) run on processors without SSE2, and some of them before the C
# library is set up: C for an i686, no SIMD, nothing the compiler could turn
# into a call of a library routine.
set(SSE2STR_PLAIN_FLAGS
  -std=c11 -O2 -march=i686 -mtune=generic
  -fno-pic -fno-pie -fno-stack-protector -fcf-protection=none
  -ffreestanding -fno-builtin -fno-tree-loop-distribute-patterns
  -fasynchronous-unwind-tables -fno-ident
  -Wall -Wextra -Werror)

# The pinned compiler: the GCC release the shapes are tuned on, needed by
# `make regen` and the test that the generated files are up to date, and by
# nothing else.  It must compile 32-bit code (g++-12-multilib on Debian).
set(SSE2STR_PINNED_GCC 12)
find_program(SSE2STR_PINNED_CXX NAMES g++-${SSE2STR_PINNED_GCC})
# Its C compiler, for the sources in C, comes with it.
find_program(SSE2STR_PINNED_CC NAMES gcc-${SSE2STR_PINNED_GCC})
set(SSE2STR_PINNED_MISSING "")
if(NOT SSE2STR_PINNED_CXX)
  set(SSE2STR_PINNED_MISSING "g++-${SSE2STR_PINNED_GCC} is not installed")
else()
  execute_process(COMMAND ${SSE2STR_PINNED_CXX} -m32 -msse2 -fsyntax-only -x c++ -
                  INPUT_FILE ${PROJECT_SOURCE_DIR}/cmake/pinned-compiler-probe.cpp
                  RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
  if(NOT status EQUAL 0)
    set(SSE2STR_PINNED_MISSING
        "${SSE2STR_PINNED_CXX} cannot compile 32-bit code (g++-${SSE2STR_PINNED_GCC}-multilib)")
  endif()
endif()
if(SSE2STR_PINNED_MISSING)
  set(SSE2STR_PINNED_MISSING "${SSE2STR_PINNED_MISSING}: the generated assembly cannot be "
      "made here (make regen), nor checked against its sources (scripts/setup.sh regen "
      "installs it)")
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

set(SSE2STR_REGEN ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/regen.py)

set_property(GLOBAL PROPERTY SSE2STR_DELIVERED "")
set_property(GLOBAL PROPERTY SSE2STR_MODULES "")
set_property(GLOBAL PROPERTY SSE2STR_SUPPORT_OBJECTS "")
set_property(GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS "")
set_property(GLOBAL PROPERTY SSE2STR_DISPATCH_OBJECTS "")
# The installed tree's objects as build/package/ holds them, in pairs of
# path and object, and the members of its two archives.
set(SSE2STR_PACKAGE_DIR ${CMAKE_BINARY_DIR}/package)
set_property(GLOBAL PROPERTY SSE2STR_PACKAGED "")
set_property(GLOBAL PROPERTY SSE2STR_PACKAGED_PLAIN "")
set_property(GLOBAL PROPERTY SSE2STR_PACKAGED_PROFILED "")
# Every delivered path and the object it is copied from, in pairs.
set_property(GLOBAL PROPERTY SSE2STR_DELIVERY "")
# The targets of the objects checked before delivery, each with the checks
# it runs (SSE2STR_CHECKS_OF_<target>), the scripts of those checks, and
# the generated files, relative to gen/.
set_property(GLOBAL PROPERTY SSE2STR_CHECKED_TARGETS "")
set(SSE2STR_CHECKS ${PROJECT_SOURCE_DIR}/scripts/check_object.py
    ${PROJECT_SOURCE_DIR}/scripts/check_cfi.py ${PROJECT_SOURCE_DIR}/scripts/check_fill_tables.py
    ${PROJECT_SOURCE_DIR}/scripts/elf_object.py)
set_property(GLOBAL PROPERTY SSE2STR_GENERATED "")
# <standard name>=<routine> for each module, the aliases that route a
# program's calls of the standard routine to this one (sse2str::interpose).
set_property(GLOBAL PROPERTY SSE2STR_ALIASES "")

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

# sse2str_compile_command(<source> <arguments>...): the pinned compiler's
# command for <source>, listed in build/regen/compile_commands.json for the
# tools that read the sources (make lint, editors).
function(sse2str_compile_command source)
  set(arguments "")
  foreach(argument g++-${SSE2STR_PINNED_GCC} ${ARGN} -S ${source})
    string(REPLACE "\\" "\\\\" argument "${argument}")
    string(REPLACE "\"" "\\\"" argument "${argument}")
    string(APPEND arguments "\"${argument}\", ")
  endforeach()
  string(REGEX REPLACE ", $" "" arguments "${arguments}")
  set_property(GLOBAL APPEND_STRING PROPERTY SSE2STR_COMPILE_COMMANDS
    "  {\"directory\": \"${PROJECT_SOURCE_DIR}\", \"file\": \"${source}\",\n   \"arguments\": [${arguments}]},\n")
endfunction()

# sse2str_assembled(<target> <generated file> <source> <flags>...): OBJECT
# library <target>, assembled from gen/<generated file>, which the pinned
# compiler (its C compiler for a .c source) makes from <source> (relative to
# the project root) with <flags>.
# The compiler runs in the project root on relative paths, so nothing in
# the generated text depends on where the tree lies.  A file not generated
# yet (a new module) is assembled from what the pinned compiler makes here
# until `make regen` writes it.
function(sse2str_assembled target generated source)
  set(committed ${SSE2STR_GEN_DIR}/${generated})
  set(made ${SSE2STR_REGEN_DIR}/${generated})
  set(arguments -m32 ${ARGN})
  if(EXISTS ${committed})
    add_library(${target} OBJECT ${committed})
  elseif(NOT SSE2STR_PINNED_MISSING)
    message(WARNING "sse2str: gen/${generated} is missing: run make regen")
    add_library(${target} OBJECT ${made})
  else()
    message(FATAL_ERROR "sse2str: gen/${generated} is missing, and ${SSE2STR_PINNED_MISSING}")
  endif()
  # Assembled for the first processor with SSE2: an instruction beyond it
  # does not assemble, and alignment gaps are filled with the long no-ops
  # every such processor has, in fewer instructions than the forms the
  # assemblers choose for a plain i386 (Clang's one-byte no-ops, GNU as's
  # LEAs, which binutils 2.40 and 2.44 even lay out differently).
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANG_AND_ID:ASM,GNU>:-Wa$<COMMA>-march=pentium4>
    $<$<COMPILE_LANG_AND_ID:ASM,Clang>:-march=pentium4>)
  set_property(GLOBAL APPEND PROPERTY SSE2STR_GENERATED ${generated})
  set(compiler ${SSE2STR_PINNED_CXX})
  if(source MATCHES "\\.c$")
    set(compiler ${SSE2STR_PINNED_CC})
  endif()
  sse2str_compile_command(${source} ${arguments})
  if(SSE2STR_PINNED_MISSING)
    return()
  endif()
  add_custom_command(OUTPUT ${made}
    COMMAND ${SSE2STR_REGEN} compile --compiler ${compiler} --source ${source}
            --output ${made} -- ${arguments}
    DEPENDS ${PROJECT_SOURCE_DIR}/${source} ${PROJECT_SOURCE_DIR}/scripts/regen.py
    DEPFILE ${made}.d
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Generating gen/${generated} with ${SSE2STR_PINNED_CXX}")
endfunction()

# sse2str_delivered(<name> <target> [<list>]): the object of OBJECT library
# `target` is delivered as build/modules/<name>.o, the path users link, and
# listed in `list` (by default the objects of the archive).
function(sse2str_delivered name target)
  set(list SSE2STR_DELIVERED)
  if(ARGC GREATER 2)
    set(list ${ARGV2})
  endif()
  set(out ${SSE2STR_MODULE_DIR}/${name}.o)
  set_property(GLOBAL APPEND PROPERTY ${list} ${out})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_DELIVERY ${out} $<TARGET_OBJECTS:${target}>)
endfunction()

# sse2str_packaged(<file> <target> [<archive list>...]): the object of OBJECT
# library `target` is installed as lib/sse2str/<file> (build/package/objects/
# <file>), and is a member of the archives whose member lists are named.
function(sse2str_packaged file target)
  set(out ${SSE2STR_PACKAGE_DIR}/objects/${file})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_PACKAGED ${out} $<TARGET_OBJECTS:${target}>)
  foreach(list ${ARGN})
    set_property(GLOBAL APPEND PROPERTY ${list} ${out})
  endforeach()
endfunction()

# sse2str_checked(<target> <check arguments>...): the object of `target` is
# checked by scripts/check_object.py with these arguments before any object
# is delivered.
function(sse2str_checked target)
  set(check_object ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_object.py)
  set_property(GLOBAL APPEND PROPERTY SSE2STR_CHECKED_TARGETS ${target})
  set_property(GLOBAL PROPERTY SSE2STR_CHECKS_OF_${target}
               COMMAND ${check_object} $<TARGET_OBJECTS:${target}> ${ARGN})
endfunction()

# sse2str_module(<routine> MAX_CODE <bytes> [UNDEFINED <symbols>...]
#                [RODATA <section>] [SHARED_RETURN] [FLAGS <flags>...])
# The module of a routine of routines.def, which names its source, symbol
# and section; the symbol and the section reach the source as SSE2STR_SYMBOL
# and SSE2STR_SECTION.  RODATA names the section of a fill's jump tables,
# which reaches the source as SSE2STR_RODATA and which the table check
# reads.  FLAGS are added after the common ones, for what one module alone
# needs.  MAX_CODE bounds the code section in both configurations: a
# little above what the routine takes with each of its shared pieces once,
# so a piece copied again fails the object check.
# SHARED_RETURN exempts a routine that still branches to the `ret` of
# another exit from that rule of the object check (docs/CONTRACT.md).
function(sse2str_module routine)
  cmake_parse_arguments(M "SHARED_RETURN" "RODATA;MAX_CODE" "UNDEFINED;FLAGS" ${ARGN})
  if(NOT DEFINED SSE2STR_${routine}_MODULE)
    message(FATAL_ERROR "sse2str_module: ${routine} is not a routine of routines.def")
  endif()
  set(name ${SSE2STR_${routine}_MODULE})
  set(source ${SSE2STR_${routine}_SOURCE})
  set(symbol ${SSE2STR_${routine}_SYMBOL})
  set(section ${SSE2STR_${routine}_SECTION})
  set(check_object ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_object.py)
  set(check_cfi ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_cfi.py)
  set(check_tables ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/check_fill_tables.py)
  set(rodata_definition "")
  if(M_RODATA)
    set(rodata_definition "-DSSE2STR_RODATA=\"${M_RODATA}\"")
  endif()
  foreach(config prof noprof)
    set(target ${name}_${config})
    set(profile 0)
    if(config STREQUAL prof)
      set(profile 1)
    endif()
    sse2str_assembled(${target} ${config}/${name}.s ${source}
      ${SSE2STR_MODULE_FLAGS} ${SSE2STR_ROUTINE_FLAGS} ${M_FLAGS} -I.
      -DSSE2STR_SYMBOL=${symbol} "-DSSE2STR_SECTION=\"${section}\"" ${rodata_definition}
      -DSSE2STR_PROFILE=${profile})

    # The checks of the object, which sse2str_finish_modules() runs.
    set(object $<TARGET_OBJECTS:${target}>)
    set(undefined ${M_UNDEFINED})
    set(frame_args "")
    if(config STREQUAL prof)
      set(undefined _mcount ${undefined})
      set(frame_args --entry-frame)
    endif()
    set(object_args --symbol ${symbol} --section ${section} --max-code ${M_MAX_CODE}
                    ${frame_args})
    foreach(u ${undefined})
      list(APPEND object_args --undefined ${u})
    endforeach()
    if(M_SHARED_RETURN)
      list(APPEND object_args --shared-return)
    endif()
    if(M_RODATA)
      list(APPEND object_args --rodata ${M_RODATA})
    endif()
    set(checks COMMAND ${check_object} ${object} ${object_args}
               COMMAND ${check_cfi} ${object} --symbol ${symbol})
    if(M_RODATA)
      list(APPEND checks COMMAND ${check_tables} ${object} --section ${M_RODATA} --code ${section})
    endif()
    set_property(GLOBAL APPEND PROPERTY SSE2STR_CHECKED_TARGETS ${target})
    set_property(GLOBAL PROPERTY SSE2STR_CHECKS_OF_${target} "${checks}")
  endforeach()

  if(SSE2STR_PROFILE)
    sse2str_delivered(${name} ${name}_prof)
  else()
    sse2str_delivered(${name} ${name}_noprof)
  endif()
  sse2str_packaged(${name}.o ${name}_noprof SSE2STR_PACKAGED_PLAIN)
  sse2str_packaged(${name}_p.o ${name}_prof SSE2STR_PACKAGED_PROFILED)
  set_property(GLOBAL APPEND PROPERTY SSE2STR_MODULES ${name})
  set_property(GLOBAL PROPERTY SSE2STR_UNDEFINED_${name} ${M_UNDEFINED})
  set_property(GLOBAL APPEND PROPERTY SSE2STR_ALIASES ${routine}=${symbol})
endfunction()

# sse2str_support_object(<name> SOURCE <file> PROVIDES <symbols>...): an
# object shipped beside the modules (in build/modules and the archive) that is
# not itself a routine but defines symbols some modules leave undefined; the
# installed packages link it with every module that needs one of them.
function(sse2str_support_object name)
  cmake_parse_arguments(M "" "SOURCE" "PROVIDES" ${ARGN})
  sse2str_assembled(${name} support/${name}.s ${M_SOURCE} ${SSE2STR_MODULE_FLAGS} -I.)
  # It runs in every program that links it, with or without SSE2.
  sse2str_checked(${name} --no-simd)
  sse2str_delivered(${name} ${name})
  sse2str_packaged(${name}.o ${name} SSE2STR_PACKAGED_PLAIN SSE2STR_PACKAGED_PROFILED)
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
  # aligned to 4 bytes only.
  set(flags ${SSE2STR_MODULE_FLAGS})
  list(REMOVE_ITEM flags -mno-80387)
  sse2str_assembled(${name} support/${name}.s ${M_SOURCE} ${flags}
                    -mincoming-stack-boundary=2 -I.)
  sse2str_checked(${name} --no-simd)
  sse2str_delivered(${name} ${name} SSE2STR_HOOK_OBJECTS)
  sse2str_packaged(${name}.o ${name})
endfunction()

# sse2str_dispatch_object(<name> SOURCE <file>): an object of the choice by
# processor (dispatch/), shipped beside the modules (in build/modules,
# installed with them) but kept out of the archives: it defines standard
# names, which an archive member would bind in every program that links the
# archive.  It must run on processors without SSE2 and call no library
# routine.
function(sse2str_dispatch_object name)
  cmake_parse_arguments(M "" "SOURCE" "" ${ARGN})
  sse2str_assembled(${name} support/${name}.s ${M_SOURCE} ${SSE2STR_PLAIN_FLAGS} -I.)
  sse2str_checked(${name} --no-simd --forbid-undefined ${SSE2STR_LIBRARY_ROUTINES})
  sse2str_delivered(${name} ${name} SSE2STR_DISPATCH_OBJECTS)
  sse2str_packaged(${name}.o ${name})
endfunction()

# sse2str_copies(<pairs> <commands> <sources> <outputs>): for a list of pairs
# of a path and the object copied to it, the copy commands and the lists of
# objects and of paths.
function(sse2str_copies pairs commands sources outputs)
  set(copy "")
  set(from "")
  set(to "")
  while(pairs)
    list(POP_FRONT pairs out object)
    list(APPEND copy COMMAND ${CMAKE_COMMAND} -E copy ${object} ${out})
    list(APPEND from ${object})
    list(APPEND to ${out})
  endwhile()
  set(${commands} ${copy} PARENT_SCOPE)
  set(${sources} ${from} PARENT_SCOPE)
  set(${outputs} ${to} PARENT_SCOPE)
endfunction()

# The `modules` target: every object checked, then every delivered object
# and the archive of the routines and support objects, in one step.  The
# `regenerated` target: what the pinned compiler makes of the sources now,
# which `make regen` copies to gen/ and a test compares with it; the
# commands it runs are listed in build/regen/compile_commands.json.
function(sse2str_finish_modules)
  get_property(modules GLOBAL PROPERTY SSE2STR_MODULES)
  foreach(routine ${SSE2STR_ROUTINES})
    if(NOT SSE2STR_${routine}_MODULE IN_LIST modules)
      message(FATAL_ERROR "routines.def lists ${routine}, but no sse2str_module builds it")
    endif()
  endforeach()
  get_property(delivered GLOBAL PROPERTY SSE2STR_DELIVERED)
  get_property(hooks GLOBAL PROPERTY SSE2STR_HOOK_OBJECTS)
  get_property(dispatch GLOBAL PROPERTY SSE2STR_DISPATCH_OBJECTS)
  list(APPEND hooks ${dispatch})
  get_property(delivery GLOBAL PROPERTY SSE2STR_DELIVERY)
  set(archive ${SSE2STR_MODULE_DIR}/libsse2str.a)
  # The installed tree: both configurations side by side, each as objects
  # and as an archive (cmake/Sse2strInstall.cmake names them).
  get_property(packaged GLOBAL PROPERTY SSE2STR_PACKAGED)
  get_property(plain GLOBAL PROPERTY SSE2STR_PACKAGED_PLAIN)
  get_property(profiled GLOBAL PROPERTY SSE2STR_PACKAGED_PROFILED)
  set(package_archives ${SSE2STR_PACKAGE_DIR}/libsse2str.a ${SSE2STR_PACKAGE_DIR}/libsse2str_p.a)
  sse2str_copies("${packaged}" package_copies package_sources package_objects)

  # Each object is checked when it changes, after everything delivered
  # before is withdrawn (files, not the folder, so that checks running at
  # once do not trip over each other): a failing check leaves nothing to
  # link, and the objects are delivered again, together, once every check
  # has passed.
  get_property(targets GLOBAL PROPERTY SSE2STR_CHECKED_TARGETS)
  set(checked "")
  foreach(target ${targets})
    get_property(checks GLOBAL PROPERTY SSE2STR_CHECKS_OF_${target})
    set(stamp ${SSE2STR_CHECKED_DIR}/${target}.checked)
    add_custom_command(OUTPUT ${stamp}
      COMMAND ${CMAKE_COMMAND} -E rm -f ${delivered} ${hooks} ${archive} ${package_objects}
              ${package_archives}
      ${checks}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${SSE2STR_CHECKED_DIR}
      COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
      DEPENDS ${target} $<TARGET_OBJECTS:${target}> ${SSE2STR_CHECKS}
      COMMAND_EXPAND_LISTS VERBATIM
      COMMENT "Checking ${target}")
    list(APPEND checked ${stamp})
  endforeach()
  sse2str_copies("${delivery}" copies sources unused)
  add_custom_command(OUTPUT ${delivered} ${hooks} ${archive}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SSE2STR_MODULE_DIR}
    ${copies}
    COMMAND ${CMAKE_AR} rcs ${archive} ${delivered}
    DEPENDS ${checked} ${sources}
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Delivering the checked objects and libsse2str.a")
  add_custom_command(OUTPUT ${package_objects} ${package_archives}
    COMMAND ${CMAKE_COMMAND} -E rm -f ${package_objects} ${package_archives}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${SSE2STR_PACKAGE_DIR}/objects
    ${package_copies}
    COMMAND ${CMAKE_AR} rcs ${SSE2STR_PACKAGE_DIR}/libsse2str.a ${plain}
    COMMAND ${CMAKE_AR} rcs ${SSE2STR_PACKAGE_DIR}/libsse2str_p.a ${profiled}
    DEPENDS ${checked} ${package_sources}
    COMMAND_EXPAND_LISTS VERBATIM
    COMMENT "Packaging both configurations of the checked objects")
  add_custom_target(modules ALL DEPENDS ${delivered} ${hooks} ${archive} ${package_objects}
                                        ${package_archives})

  get_property(commands GLOBAL PROPERTY SSE2STR_COMPILE_COMMANDS)
  string(REGEX REPLACE ",\n$" "\n" commands "${commands}")
  file(WRITE ${SSE2STR_REGEN_DIR}/compile_commands.json "[\n${commands}]\n")

  get_property(generated GLOBAL PROPERTY SSE2STR_GENERATED)
  if(SSE2STR_PINNED_MISSING)
    add_custom_target(regen COMMAND ${CMAKE_COMMAND} -E echo "sse2str: ${SSE2STR_PINNED_MISSING}"
                      COMMAND ${CMAKE_COMMAND} -E false)
    return()
  endif()
  list(TRANSFORM generated PREPEND ${SSE2STR_REGEN_DIR}/ OUTPUT_VARIABLE made)
  # Made in every build with the tests, for the test that compares them.
  if(SSE2STR_TESTS)
    add_custom_target(regenerated ALL DEPENDS ${made})
  else()
    add_custom_target(regenerated DEPENDS ${made})
  endif()
  add_custom_target(regen
    COMMAND ${SSE2STR_REGEN} install --made ${SSE2STR_REGEN_DIR} --committed ${SSE2STR_GEN_DIR}
            ${generated}
    DEPENDS ${made}
    COMMENT "Copying what the sources make now into gen/")
endfunction()
