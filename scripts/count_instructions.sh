#!/bin/sh
# Instructions per call of each routine at sizes 0, 1, 7 and 15, counted by
# single-stepping (bench/instruction_count.c), for one set of module objects:
#
#   scripts/count_instructions.sh OBJECT.o...
#
# Give the seven objects of one configuration (with or without the hook);
# the benchmark's _mcount, a bare return, is linked in.  For the objects of
# the current build tree: scripts/count_instructions.sh build/modules/*_sse2*.o
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
gcc -m32 -msse2 -O1 -fno-builtin -no-pie -I"$root/include" -o "$out/count" \
    "$root/bench/instruction_count.c" "$root/bench/hook.S" "$@"
"$out/count"
