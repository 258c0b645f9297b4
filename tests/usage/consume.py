#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Installs the build tree and builds the examples against it, as users do.

  consume.py cmake|pkg-config (--build DIR | --deb FILE) --examples DIR
             --cc COMPILER --input FILE --expected DIR [--module NAME]...
             [--package EXAMPLE=PACKAGE]... EXAMPLE...
  consume.py gprof --build DIR --examples DIR --guide FILE --symbol SYMBOL

The tree is installed under a temporary directory and then moved, so the
package files must find everything from where they lie; with --deb, the
Debian package is unpacked there instead, and its /usr is the prefix.
Every built module must be installed in both configurations, on its own
and in the configuration's archive, and what the hook-free packages link
must not call _mcount.  Each
named example is then built by the consumer's own means (its CMake project
through find_package(sse2str), or the compiler with the flags of its
pkg-config package, sse2str unless --package names another), run on the
input in the C.UTF-8 locale, and its output compared with
<expected>/<example>.out.  The gprof way runs the users' guide's profiling
recipe as written, with `dir` standing for the installed tree, and looks
for SYMBOL in gprof's report.  The packages must also make the program a
position-dependent executable: linked as a PIE it would still run, but
with relocations in its text, which hardened systems refuse.
"""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        raise SystemExit(f"failed: {shlex.join(command)}\n{result.stdout}{result.stderr}")
    return result.stdout


def position_dependent(program):
    """Whether `program` is an executable linked -no-pie (or -static): one
    with no relocations in its text."""
    header = run(["readelf", "-hd", program])
    return "EXEC (Executable file)" in header and "TEXTREL" not in header


# Where the libraries, the objects and the package files lie under a
# prefix: make install's layout, and the Debian package's (multiarch).
LIBDIR = "lib"
DEB_LIBDIR = "lib/i386-linux-gnu"


# The two configurations as installed: the archive and the suffix of the
# objects' names, hook-free and profiling.
CONFIGURATIONS = (("libsse2str.a", ""), ("libsse2str_p.a", "_p"))


def check_objects(prefix, libdir, modules):
    """Every module installed in both configurations, on its own and in the
    configuration's archive."""
    for archive, suffix in CONFIGURATIONS:
        members = run(["ar", "t", os.path.join(prefix, libdir, archive)]).split()
        for module in modules:
            name = module + suffix + ".o"
            if not os.path.isfile(os.path.join(prefix, libdir, "sse2str", name)):
                raise SystemExit(f"{name} not installed")
            if name not in members:
                raise SystemExit(f"{name} not in the installed {archive}")


def profiling_hook_calls(paths):
    """The archives and objects among `paths` that call _mcount."""
    return [path for path in paths if path.endswith((".a", ".o"))
            and "U _mcount" in run(["nm", "-A", path])]


def install(build, root, modules):
    staged = os.path.join(root, "staged")
    run(["cmake", "--install", build, "--prefix", staged])
    prefix = os.path.join(root, "moved", "prefix")
    os.makedirs(os.path.dirname(prefix))
    shutil.move(staged, prefix)
    check_objects(prefix, LIBDIR, modules)
    return prefix


def unpack(deb, root, modules):
    run(["dpkg-deb", "-x", deb, os.path.join(root, "package")])
    prefix = os.path.join(root, "package", "usr")
    check_objects(prefix, DEB_LIBDIR, modules)
    return prefix


def build_with_cmake(args, prefix, out):
    run(["cmake", "-S", args.examples, "-B", out, "-G", "Ninja",
         f"-DCMAKE_C_COMPILER={args.cc}", "-DCMAKE_C_FLAGS=-m32",
         f"-DCMAKE_PREFIX_PATH={prefix}"])
    run(["cmake", "--build", out, "--target", *args.example])
    return {example: os.path.join(out, example) for example in args.example}


def build_with_pkg_config(args, prefix, out, libdir=LIBDIR):
    environment = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, libdir, "pkgconfig"))
    packages = dict(pair.split("=", 1) for pair in args.package)
    os.makedirs(out)
    programs = {}
    for example in args.example:
        package = packages.get(example, "sse2str")
        flags = shlex.split(run(["pkg-config", "--cflags", "--libs", package],
                                env=environment))
        # What an ordinary program links by the README is hook-free.
        hooked = profiling_hook_calls(flags)
        if hooked:
            raise SystemExit(f"pkg-config {package} links {hooked}, which call _mcount")
        program = os.path.join(out, example)
        run([args.cc, "-m32", "-O2", "-o", program,
             os.path.join(args.examples, example + ".c"), *flags])
        programs[example] = program
    return programs


def profile_by_the_guide(args, prefix, root):
    with open(args.guide) as f:
        section = f.read().split("## Profiling with gprof", 1)[1].split("\n## ", 1)[0]
    recipe = "\n".join(line[4:] for line in section.splitlines() if line.startswith("    "))
    work = os.path.join(root, "profile")
    os.makedirs(work)
    os.symlink(args.examples, os.path.join(work, "examples"))
    report = run(["sh", "-ec", recipe.replace("dir/", prefix + "/")], cwd=work)
    if args.symbol not in report:
        raise SystemExit(f"the guide's recipe:\n{recipe}\ngave no {args.symbol}:\n{report}")
    print(f"gprof: the guide's recipe profiles {args.symbol}")
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("way", choices=("cmake", "pkg-config", "gprof"))
    parser.add_argument("example", nargs="*")
    tree = parser.add_mutually_exclusive_group(required=True)
    tree.add_argument("--build")
    tree.add_argument("--deb")
    parser.add_argument("--examples", required=True)
    parser.add_argument("--cc")
    parser.add_argument("--input")
    parser.add_argument("--expected")
    parser.add_argument("--module", action="append", default=[])
    parser.add_argument("--package", action="append", default=[])
    parser.add_argument("--guide")
    parser.add_argument("--symbol")
    args = parser.parse_args()

    failures = []
    with tempfile.TemporaryDirectory() as root:
        if args.deb:
            prefix, libdir = unpack(args.deb, root, args.module), DEB_LIBDIR
        else:
            prefix, libdir = install(args.build, root, args.module), LIBDIR
        if args.way == "gprof":
            return profile_by_the_guide(args, prefix, root)
        out = os.path.join(root, "consumer")
        if args.way == "cmake":
            programs = build_with_cmake(args, prefix, out)
        else:
            programs = build_with_pkg_config(args, prefix, out, libdir)
        environment = dict(os.environ, LC_ALL="C.UTF-8")
        for example, program in programs.items():
            if not position_dependent(program):
                failures.append(f"{example} is not linked -no-pie")
            with open(args.input, "rb") as stdin:
                got = subprocess.run([program], stdin=stdin, capture_output=True,
                                     env=environment, check=True).stdout
            with open(os.path.join(args.expected, example + ".out"), "rb") as f:
                want = f.read()
            if got != want:
                failures.append(f"{example} printed:\n{got.decode(errors='replace')}"
                                f"expected:\n{want.decode(errors='replace')}")
    for message in failures:
        print(message, file=sys.stderr)
    if not failures:
        tree = "the Debian package" if args.deb else "the installed tree"
        print(f"{args.way}: built and ran {', '.join(args.example)} against {tree}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
