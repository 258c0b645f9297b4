#!/bin/sh
# Installs what a make target needs on Debian 12, when it is missing.
#
#   scripts/setup.sh [build|test|bench|fuzz|clang|lint|all]...
#
# Costs one dpkg-query when everything is present.  As root it installs the
# missing packages (adding the i386 architecture first); otherwise it prints
# the command to run and fails.
set -eu

build="g++-multilib cmake ninja-build make binutils python3"
# The test suite includes short runs of the fuzz targets (clang, libFuzzer).
test="$build libgtest-dev:i386 libgmock-dev:i386 libunwind-dev:i386 valgrind libc6-dbg:i386 pkgconf clang-14 libclang-rt-14-dev"
bench="$build libbenchmark-dev:i386 gnuplot-nox"
fuzz="$test"
clang="$build clang-14"
lint="$build clang-14 clang-format-14 clang-tidy-14"

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
    all) wanted="$wanted $test $bench $fuzz $clang $lint" ;;
    *) echo "usage: $0 [build|test|bench|fuzz|clang|lint|all]..." >&2; exit 2 ;;
  esac
done
wanted=$(printf '%s\n' $wanted | sort -u | tr '\n' ' ')

# dpkg-query prints one line per known package; anything not reported as
# installed is missing.
installed=$(dpkg-query -W -f='${Package}:${Architecture} ${db:Status-Abbrev}\n' $wanted 2>/dev/null |
            awk '$2 ~ /^ii/ { print $1 }') || true
missing=""
for pkg in $wanted; do
  case "$pkg" in *:*) full=$pkg ;; *) full="" ;; esac
  found=no
  for have in $installed; do
    if [ -n "$full" ]; then
      [ "$have" = "$full" ] && found=yes
    else
      [ "${have%%:*}" = "$pkg" ] && found=yes
    fi
  done
  [ $found = yes ] || missing="$missing $pkg"
done
[ -z "$missing" ] && exit 0

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
