#!/bin/sh
# SPDX-License-Identifier: MIT
# Instructions per call of each routine, counted by single-stepping
# (bench/instruction_count.c), for one set of module objects:
#
#   scripts/count_instructions.sh [--platform-mcount] [--dispatch DISPATCH.o]
#                                 [--offset N] [--kinds] [SIZE...] OBJECT.o...
#
# Give the seven objects of one configuration (hook-free or profiling).  The
# profiling objects' _mcount is the benchmark's, a bare return
# (bench/hook.S), or with --platform-mcount the platform C library's, called
# through the PLT as in any dynamic program.  With --dispatch the routines
# are called through the dispatch object's indirect functions, its standard
# names renamed dispatch_<name> first; give the generic fallbacks' object
# among the others.  The remaining arguments go to the counting program: the
# sizes to count at, the operands' offset from a 64-byte boundary, --kinds
# for wcscmp's pass kinds.  For the objects of the current build tree:
# scripts/count_instructions.sh build/modules/*_sse2*.o
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
objects=""
options=""
hook="$root/bench/hook.S -Wl,--defsym=_mcount=returning_mcount"
dispatch=""
while [ $# -gt 0 ]; do
  case "$1" in
    --platform-mcount) hook="" ;;
    --dispatch)
      names=$(sed -n 's/^SSE2STR_ROUTINE(\([a-z]*\),.*/\1/p' "$root/routines.def")
      renames=""
      for name in $names; do
        renames="$renames --redefine-sym $name=dispatch_$name"
      done
      # shellcheck disable=SC2086 # word lists
      objcopy $renames "$2" "$out/dispatch.o"
      # Each name renamed and still an indirect function.
      for name in $names; do
        nm "$out/dispatch.o" | grep -q " i dispatch_$name\$" ||
          { echo "$0: $2 has no indirect function $name" >&2; exit 1; }
      done
      dispatch="-DSSE2STR_COUNT_DISPATCH $out/dispatch.o"
      shift ;;
    *.o) objects="$objects $1" ;;
    *) options="$options $1" ;;
  esac
  shift
done
# shellcheck disable=SC2086 # word lists
gcc -m32 -msse2 -O1 -fno-builtin -fno-pie -no-pie -I"$root/include" -I"$root" -o "$out/count" \
    "$root/bench/instruction_count.c" $hook $dispatch $objects
# shellcheck disable=SC2086
"$out/count" $options
