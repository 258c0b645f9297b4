#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The release files: the same bytes each time, and usable as they are.

  check_release.py dist --root DIR --version VERSION [--module NAME]...
  check_release.py deb --root DIR --version VERSION --out DIR [--module NAME]...

dist: scripts/release.py dist, run twice, must write the same three files
byte for byte (each run builds in a scratch folder of its own, the second
with umask 077, so a path, a time or a mode that leaks into them shows);
the source archive, unpacked where
no git checkout is, must pass the licence check (which walks the tree
there) and `make modules`, which must deliver every module.

deb: scripts/release.py deb writes the package to --out, for the consumer
tests that build the examples against it (consume.py --deb).  lintian must
report no error; the files must lie in Debian's multiarch layout and
nowhere else, the package must say Multi-Arch: same and carry a copyright
file, and its header and pkg-config files must give the project's version.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from consume import DEB_LIBDIR, check_objects, run  # noqa: E402

TRIPLET = os.path.basename(DEB_LIBDIR)
# Where the package may put files: the multiarch folders of the header and
# the libraries, and its own folders under share.
DEB_FOLDERS = (f"usr/include/{TRIPLET}/", f"usr/{DEB_LIBDIR}/", "usr/share/sse2str/",
               "usr/share/doc/libsse2str-dev/")


def release(root, what, out, umask=0o022):
    return run([sys.executable, os.path.join(root, "scripts", "release.py"), what, "--out", out],
               preexec_fn=lambda: os.umask(umask))


def check_dist(args, work):
    runs = [os.path.join(work, name) for name in ("first", "second")]
    # The second as a clone with a stricter umask would make them.
    for out, umask in zip(runs, (0o022, 0o077)):
        release(args.root, "dist", out, umask)
    stem = f"sse2str-{args.version}"
    names = [f"{stem}.tar.gz", f"{stem}-i386.tar.gz", "SHA256SUMS"]
    failures = []
    for name in names:
        with open(os.path.join(runs[0], name), "rb") as a, open(os.path.join(runs[1], name),
                                                                   "rb") as b:
            if a.read() != b.read():
                failures.append(f"{name} differs between two runs")
    if sorted(os.listdir(runs[0])) != sorted(names):
        failures.append(f"release.py dist wrote {sorted(os.listdir(runs[0]))}, not {names}")
    if not failures:
        print(f"dist: {', '.join(names)} the same in two runs")

    run(["tar", "-xzf", os.path.join(runs[0], f"{stem}.tar.gz"), "-C", work])
    source = os.path.join(work, stem)
    print(run([sys.executable, os.path.join(source, "scripts", "check_licence.py"), source]),
          end="")
    # The make of this test must not pass its options or jobserver on.
    environment = {key: value for key, value in os.environ.items()
                   if key not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    run(["make", "-C", source, "modules", "BUILD=build"], env=environment)
    modules = os.path.join(source, "build", "modules")
    for module in args.module:
        if not os.path.isfile(os.path.join(modules, module + ".o")):
            failures.append(f"make modules in the source archive delivered no {module}.o")
    print("dist: the source archive builds the modules outside a git checkout")
    return failures


def control_fields(deb):
    fields = {}
    for line in run(["dpkg-deb", "--field", deb]).splitlines():
        if line and not line.startswith(" "):
            key, _, value = line.partition(":")
            fields[key] = value.strip()
    return fields


def check_deb(args, work):
    name = f"libsse2str-dev_{args.version}_i386.deb"
    os.makedirs(args.out, exist_ok=True)
    release(args.root, "deb", args.out)
    deb = os.path.join(args.out, name)
    failures = []

    lintian = subprocess.run(["lintian", "--fail-on", "error", deb], capture_output=True,
                             text=True)
    print(f"lintian:\n{lintian.stdout}", end="")
    if lintian.returncode != 0:
        failures.append(f"lintian reports errors (exit {lintian.returncode}):\n{lintian.stderr}")

    fields = control_fields(deb)
    for key, value in (("Multi-Arch", "same"), ("Architecture", "i386"),
                       ("Version", args.version)):
        if fields.get(key) != value:
            failures.append(f"{key}: {fields.get(key)}, not {value}")

    root = os.path.join(work, "root")
    run(["dpkg-deb", "-x", deb, root])
    files = [os.path.relpath(os.path.join(top, f), root)
             for top, _, names in os.walk(root) for f in names]
    failures += [f"{path} lies outside the package's folders" for path in files
                 if not path.startswith(DEB_FOLDERS)]
    if "usr/share/doc/libsse2str-dev/copyright" not in files:
        failures.append("no copyright file")
    prefix = os.path.join(root, "usr")
    check_objects(prefix, DEB_LIBDIR, args.module)

    header = os.path.join(prefix, "include", TRIPLET, "sse2str.h")
    macros = run(["gcc", "-m32", "-E", "-dM", header])
    given = ".".join(next((line.split()[2] for line in macros.splitlines()
                           if line.startswith(f"#define SSE2STR_VERSION_{part} ")), "?")
                     for part in ("MAJOR", "MINOR", "PATCH"))
    pkg_config = run(["pkg-config", "--modversion", "sse2str"],
                     env=dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, DEB_LIBDIR,
                                                                       "pkgconfig"))).strip()
    for what, version in (("the header", given), ("pkg-config", pkg_config)):
        if version != args.version:
            failures.append(f"{what} gives version {version}, not {args.version}")
    print(f"deb: {name}, {len(files)} files in the multiarch layout, version {args.version}")
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("what", choices=("dist", "deb"))
    parser.add_argument("--root", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--out")
    parser.add_argument("--module", action="append", default=[])
    args = parser.parse_args()
    work = tempfile.mkdtemp(prefix="sse2str-release-test-")
    try:
        failures = (check_dist if args.what == "dist" else check_deb)(args, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
