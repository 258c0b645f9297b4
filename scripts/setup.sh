#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what a make target needs on Debian 12 or 13, when it is missing.
#
#   scripts/setup.sh [build|regen|test|bench|fuzz|clang|lint|dist|deb|realworld|all]...
#
# Costs one dpkg-query when everything is present.  As root it installs the
# missing packages (adding the i386 architecture first); otherwise it prints
# the command to run and fails.  The names are the same on both releases:
# g++-multilib, clang and libclang-rt-dev bring each release's own GCC and
# Clang (GCC 12 and Clang 14 on Debian 12, GCC 14 and Clang 19 on 13).
set -eu

# The objects are assembled from gen/ and checked in Python as they are
# built (scripts/elf_object.py reads them).
objects="python3-pyelftools python3-capstone"
build="g++-multilib cmake ninja-build make binutils python3 $objects"
# make regen: the pinned compiler, GCC 12, for 32-bit code.
regen="g++-12-multilib"
# The benchmark report's tables are made with pandas and tabulate.
report="python3-pandas python3-tabulate"
# The release files are made from a git commit; the package is checked by
# lintian.
dist="$build git"
deb="$dist lintian"
# The proof of the objects (tests/proof/, make prove) solves with z3.
proof="python3-z3"
# The test suite includes short runs of the fuzz targets (clang, libFuzzer),
# runs gdb on the routines, runs the dispatch on an emulated processor
# without SSE2 (qemu-user), checks the benchmark report's tables and the
# release files, and proves the objects.
test="$build $proof libgtest-dev:i386 libgmock-dev:i386 libunwind-dev:i386 valgrind gdb libc6-dbg:i386 pkgconf clang libclang-rt-dev qemu-user-static $report $deb"
bench="$build libbenchmark-dev:i386 $report python3-matplotlib"
fuzz="$test"
clang="$build clang"
lint="$build clang clang-format clang-tidy"
# Source packages unpacked and built for i386 with their own tools.
realworld="$build dpkg-dev pkgconf autoconf automake libtool libcrypt-dev:i386"

[ $# -gt 0 ] || set -- all
wanted=""
for list; do
  case "$list" in
    build) wanted="$wanted $build" ;;
    regen) wanted="$wanted $regen" ;;
    test) wanted="$wanted $test" ;;
    bench) wanted="$wanted $bench" ;;
    fuzz) wanted="$wanted $fuzz" ;;
    clang) wanted="$wanted $clang" ;;
    lint) wanted="$wanted $lint" ;;
    dist) wanted="$wanted $dist" ;;
    deb) wanted="$wanted $deb" ;;
    realworld) wanted="$wanted $realworld" ;;
    all) wanted="$wanted $test $regen $bench $fuzz $clang $lint" ;;
    *) echo "usage: $0 [build|regen|test|bench|fuzz|clang|lint|dist|deb|realworld|all]..." >&2; exit 2 ;;
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
# A Debian mirror in the middle of a sync serves some package lists that do
# not match their index; apt-get update then reports them and keeps the
# others.  It is tried again a few times, and setup goes on with what it
# got, which is enough unless an i386 list is missing while its amd64 twin
# is newer: the i386 half of a Multi-Arch: same pair must have the amd64
# half's version, which only the missing list has.
update() {
  attempt=1
  while :; do
    log=$(apt-get update 2>&1) && ! printf '%s\n' "$log" | grep -q '^E:' && return 0
    [ $attempt -lt 3 ] || break
    attempt=$((attempt + 1))
    sleep 10
  done
  failed=$(printf '%s\n' "$log" | sed -n 's/^E: Failed to fetch \([^ ]*\).*/  \1/p')
  printf 'sse2str: apt-get update failed three times for:\n%s\n' "${failed:-$log}" >&2
  echo "sse2str: going on with the package lists apt has" >&2
  return 1
}

echo "sse2str: installing$missing" >&2
dpkg --add-architecture i386
lists_complete=yes
update || lists_complete=no
if ! log=$(DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-remove $missing 2>&1); then
  printf '%s\n' "$log" | tail -n 15 >&2
  if [ $lists_complete = no ] && printf '%s\n' "$failed" | grep -q 'binary-i386' &&
     printf '%s\n' "$log" | grep -q -e 'held broken packages' -e 'unmet dependencies'; then
    echo "sse2str: the packages could not be installed because the i386 and amd64" \
         "package lists are out of step: the lists above failed to download (the" \
         "mirror is in the middle of a sync), so apt sees i386 packages at older" \
         "versions than their amd64 halves, which they must match.  Run the same" \
         "make command again later, once the mirror has finished." >&2
  fi
  exit 1
fi
i386_runs || register_qemu
