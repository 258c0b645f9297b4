#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what a make target needs on Debian 12, when it is missing.
#
#   scripts/setup.sh [build|test|bench|fuzz|clang|lint|realworld|all]...
#
# Costs one dpkg-query when everything is present.  As root it installs the
# missing packages (adding the i386 architecture first); otherwise it prints
# the command to run and fails.
set -eu

build="g++-multilib cmake ninja-build make binutils python3"
# The object checks and the benchmark's peers read objects in Python
# (scripts/elf_object.py); the benchmark report's tables are made with
# pandas and tabulate.
objects="python3-pyelftools python3-capstone"
report="python3-pandas python3-tabulate"
# The proof of the objects (tests/proof/, make prove) solves with z3.
proof="python3-z3"
# The test suite includes short runs of the fuzz targets (clang, libFuzzer),
# runs gdb on the routines, checks the benchmark report's tables and proves
# the objects.
test="$build $objects $proof libgtest-dev:i386 libgmock-dev:i386 libunwind-dev:i386 valgrind gdb libc6-dbg:i386 pkgconf clang-14 libclang-rt-14-dev $report"
bench="$build $objects libbenchmark-dev:i386 $report python3-matplotlib"
fuzz="$test"
clang="$build clang-14"
lint="$build clang-14 clang-format-14 clang-tidy-14"
# Source packages unpacked and built for i386 with their own tools.
realworld="$build dpkg-dev pkgconf autoconf automake libtool libcrypt-dev:i386"

[ $# -gt 0 ] || set -- all
wanted=""
for list; do
  case "$list" in
    build) wanted="$wanted $build" ;;
    test) wanted="$wanted $test" ;;
    bench) wanted="$wanted $bench" ;;
    fuzz) wanted="$wanted $fuzz" ;;
    clang) wanted="$wanted $clang" ;;
    lint) wanted="$wanted $lint" ;;
    realworld) wanted="$wanted $realworld" ;;
    all) wanted="$wanted $test $bench $fuzz $clang $lint" ;;
    *) echo "usage: $0 [build|test|bench|fuzz|clang|lint|realworld|all]..." >&2; exit 2 ;;
  esac
done
wanted=$(printf '%s\n' $wanted | sort -u | tr '\n' ' ')

# dpkg-query prints one line per known package; anything not reported as
# installed is missing.  A name without an architecture may have any.
installed=" $(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' $wanted 2>/dev/null |
             awk '$2 ~ /^ii/ { print $1 }' | tr '\n' ' ') " || true
missing=""
for pkg in $wanted; do
  case "$installed" in *" $pkg "* | *" $pkg:"*) ;; *) missing="$missing $pkg" ;; esac
done

# Some kernels run no i386 program at all (no IA-32 emulation: exec fails
# with ENOEXEC).  There the 32-bit programs of the tests and the benchmark
# run under qemu-user, registered with the kernel's binfmt_misc so that
# every exec of an i386 ELF, from CTest, a script or valgrind, goes through
# it.  The probe is a 32-bit `exit(0)` of 91 bytes written out here, so it
# needs no compiler.
i386_runs() {
  probe=$(mktemp)
  printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000\000\000\000\000\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010\133\000\000\000\133\000\000\000\005\000\000\000\000\020\000\000\061\333\061\300\100\315\200' >"$probe"
  chmod +x "$probe"
  if "$probe" 2>/dev/null; then rm -f "$probe"; return 0; fi
  rm -f "$probe"
  return 1
}
binfmt=/proc/sys/fs/binfmt_misc
qemu=/usr/bin/qemu-i386-static
if ! i386_runs; then
  [ -x $qemu ] || missing="$missing qemu-user-static"
fi

register_qemu() {
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  # i386 executables and shared objects (ELF class 32, machine 3).
  printf '%s' ':sse2str-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:'"$qemu"':F' >$binfmt/register
  i386_runs || { echo "sse2str: i386 programs still do not run under $qemu" >&2; exit 1; }
  echo "sse2str: this kernel runs no i386 program; they now run under $qemu" >&2
}

if [ -z "$missing" ]; then
  i386_runs || {
    if [ "$(id -u)" -ne 0 ]; then
      echo "sse2str: this kernel runs no i386 program; run as root: $0 (registers $qemu)" >&2
      exit 1
    fi
    register_qemu
  }
  exit 0
fi

command="dpkg --add-architecture i386 && apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y --no-remove$missing"
if [ "$(id -u)" -ne 0 ]; then
  echo "sse2str: missing packages:$missing" >&2
  echo "run as root: $command" >&2
  exit 1
fi
echo "sse2str: installing$missing" >&2
dpkg --add-architecture i386
apt-get update -qq
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove $missing >/dev/null
i386_runs || register_qemu
