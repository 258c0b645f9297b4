#!/bin/sh
# SPDX-License-Identifier: MIT
# Instructions per call of each routine, counted by single-stepping
# (bench/instruction_count.c), for one set of module objects:
#
#   scripts/count_instructions.sh [--offset N] [--kinds] [SIZE...] OBJECT.o...
#
# Give the seven objects of one configuration (with or without the hook);
# the benchmark's _mcount, a bare return, is linked in.  The other arguments
# go to the counting program: the sizes to count at, the operands' offset
# from a 64-byte boundary, --kinds for wcscmp's pass kinds.  For the objects
# of the current build tree: scripts/count_instructions.sh build/modules/*_sse2*.o
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
objects=""
options=""
for argument; do
  case "$argument" in
    *.o) objects="$objects $argument" ;;
    *) options="$options $argument" ;;
  esac
done
# shellcheck disable=SC2086 # word lists
gcc -m32 -msse2 -O1 -fno-builtin -no-pie -I"$root/include" -I"$root" -o "$out/count" \
    "$root/bench/instruction_count.c" "$root/bench/hook.S" $objects
# shellcheck disable=SC2086
"$out/count" $options
