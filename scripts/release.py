#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The release files of a commit, the same bytes wherever they are made.

  release.py dist --out DIR [--commit REV]   sse2str-<version>.tar.gz (the source),
                                             sse2str-<version>-i386.tar.gz (what
                                             make install puts under a prefix) and
                                             SHA256SUMS
  release.py deb --out DIR [--commit REV]    libsse2str-dev_<version>_i386.deb

Everything comes from the commit (HEAD by default), never from the working
tree: the source archive is `git archive` of it, and the objects are built
from that archive's files in a scratch folder, so uncommitted changes are
left out (a warning says so).  The version is the CMake project's.  The
files follow reproducible-builds.org: every timestamp is the commit's
(SOURCE_DATE_EPOCH, unless already set), names are sorted, owners are
numeric 0, modes are 644 or 755, gzip leaves out name and time (-n).
"""
import argparse
import email.utils
import hashlib
import os
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ARCH = "i386"
TRIPLET = "i386-linux-gnu"
PACKAGE = "libsse2str-dev"
MAINTAINER = "The sse2str authors <maintainers@users.noreply.c-seed-d8300745.example>"

# Compiler flags from the environment would reach the objects.
CLEAN_ENVIRONMENT = {key: value for key, value in os.environ.items()
                     if key not in ("CFLAGS", "CXXFLAGS", "CPPFLAGS", "ASMFLAGS", "LDFLAGS")}


def run(command, env=CLEAN_ENVIRONMENT, **kwargs):
    result = subprocess.run(command, capture_output=True, env=env, **kwargs)
    if result.returncode != 0:
        sys.exit(f"failed: {' '.join(command)}\n{result.stdout.decode(errors='replace')}"
                 f"{result.stderr.decode(errors='replace')}")
    return result.stdout


def git(*words):
    # A fixed umask and no line-ending conversion: the archive must not
    # depend on this clone's settings.
    return run(["git", "-c", "tar.umask=022", "-c", "core.autocrlf=false", *words], cwd=ROOT)


def gzip_n(data):
    return run(["gzip", "-9n"], input=data)


def commit_of(rev):
    commit = git("rev-parse", "--verify", rev + "^{commit}").decode().strip()
    if rev == "HEAD" and git("status", "--porcelain", "--untracked-files=no").strip():
        print(f"sse2str: uncommitted changes are left out: the release files are made from "
              f"commit {commit[:12]}", file=sys.stderr)
    return commit


def normalize(tree, epoch):
    """Modes 755 for folders and executables, 644 otherwise; every time the commit's."""
    for top, dirs, files in os.walk(tree):
        for name in files:
            path = os.path.join(top, name)
            executable = os.stat(path).st_mode & 0o111
            os.chmod(path, 0o755 if executable else 0o644)
            os.utime(path, (epoch, epoch))
        for name in dirs:
            os.chmod(os.path.join(top, name), 0o755)
    for top, dirs, _ in os.walk(tree, topdown=False):
        for name in dirs:
            os.utime(os.path.join(top, name), (epoch, epoch))
    os.chmod(tree, 0o755)
    os.utime(tree, (epoch, epoch))


class Build:
    """The commit's files unpacked and configured in a scratch folder."""

    def __init__(self, commit, work, cmake_args):
        self.source = os.path.join(work, "source")
        self.build = os.path.join(work, "build")
        os.makedirs(self.source)
        run(["tar", "-x", "-C", self.source], input=git("archive", "--format=tar", commit))
        run(["cmake", "-S", self.source, "-B", self.build, "-G", "Ninja", "-DSSE2STR_PROFILE=ON",
             "-DSSE2STR_TESTS=OFF", "-DSSE2STR_BENCH=OFF", *cmake_args])
        with open(os.path.join(self.build, "CMakeCache.txt")) as f:
            self.version = re.search(r"^CMAKE_PROJECT_VERSION:\w+=(.*)$", f.read(), re.M)[1]

    def install(self, prefix=None, destdir=None):
        """Installs under `prefix`, or under the configured prefix in `destdir`."""
        run(["cmake", "--build", self.build, "--target", "modules"])
        run(["cmake", "--install", self.build, *(["--prefix", prefix] if prefix else [])],
            env=dict(CLEAN_ENVIRONMENT, **({"DESTDIR": destdir} if destdir else {})))

    def read(self, path):
        with open(os.path.join(self.source, path)) as f:
            return f.read()


def tar_gz(parent, name, epoch):
    return gzip_n(run(["tar", "-c", "--format=gnu", "--sort=name", f"--mtime=@{epoch}",
                       "--owner=0", "--group=0", "--numeric-owner", "-C", parent, name]))


def dist(commit, epoch, work):
    build = Build(commit, work, ["-DCMAKE_INSTALL_PREFIX=/usr/local"])
    stem = f"sse2str-{build.version}"
    files = {
        f"{stem}.tar.gz": gzip_n(git("archive", "--format=tar", f"--prefix={stem}/", commit)),
    }
    # What make install puts under a prefix, under <stem>-i386/.
    stage, binary = os.path.join(work, "stage"), f"{stem}-{ARCH}"
    build.install(prefix=os.path.join(stage, binary))
    normalize(os.path.join(stage, binary), epoch)
    files[f"{binary}.tar.gz"] = tar_gz(stage, binary, epoch)
    files["SHA256SUMS"] = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                  for name, data in files.items()).encode()
    return files


def paragraph(text):
    """Text as the continuation lines of a Debian control field."""
    return "\n".join(" " + line if line.strip() else " ." for line in text.strip("\n").split("\n"))


def copyright_file(build):
    licence = build.read("LICENSE")
    mit_terms = licence.split("\n\n", 2)[2]
    exception = build.read("bench/data/size-distributions/LICENSE.TXT").split(
        "---- LLVM Exceptions to the Apache 2.0 License ----", 1)[1]
    holder = re.search(r"^Copyright \(c\) (.*)$", licence, re.M)[1]
    return f"""\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: sse2str

Files: *
Copyright: {holder}
License: MIT

Files: tests/fuzz/corpus/*
Copyright: {holder}
License: MIT
Comment: Inputs made by the project's own fuzz targets.

Files: bench/data/size-distributions/*
Copyright: The LLVM project's authors
License: Apache-2.0 WITH LLVM-exception
Comment: Memset size distributions from the LLVM project's libc benchmarks,
 used by the benchmark of the source only; none of it is in this package.

License: MIT
{paragraph(mit_terms)}

License: Apache-2.0 WITH LLVM-exception
 On Debian systems the full text of the Apache License 2.0 can be found in
 /usr/share/common-licenses/Apache-2.0.
 .
 ---- LLVM Exceptions to the Apache 2.0 License ----
{paragraph(exception)}
"""


def debian_changelog(version, epoch):
    date = email.utils.formatdate(epoch, usegmt=False).replace("-0000", "+0000")
    return (f"sse2str ({version}) unstable; urgency=medium\n\n"
            f"  * Release {version}: see CHANGELOG.md.gz beside this file.\n\n"
            f" -- {MAINTAINER}  {date}\n")


def control_file(version, installed_kib):
    return f"""\
Package: {PACKAGE}
Source: sse2str
Version: {version}
Architecture: {ARCH}
Multi-Arch: same
Maintainer: {MAINTAINER}
Installed-Size: {installed_kib}
Section: libdevel
Priority: optional
Description: SSE2 string and memory routines for 32-bit x86, as static objects
 Seven routines for i386 processors with SSE2, each doing the job of one
 standard C routine 16 bytes at a time: __memchr_sse2, __strnlen_sse2,
 __strrchr_sse2, __stpcpy_sse2, __wcscmp_sse2, __memset_sse2_rep and
 __bzero_sse2_rep.  Each is its own relocatable object exporting one
 function, for C library builds and 32-bit programs that link them
 statically (-m32 -no-pie), in two configurations: without a profiling
 hook (libsse2str.a holds them all) and calling _mcount on entry, for gprof
 (libsse2str_p.a).
 .
 This package has the objects, the archives, the header, a CMake package
 (find_package(sse2str)), pkg-config files (sse2str, one per object,
 sse2str-interpose and sse2str-dispatch, each with a -profiled twin) and
 valgrind memcheck suppressions.
"""


def deb(commit, epoch, work):
    docdir = f"share/doc/{PACKAGE}"
    build = Build(commit, work, ["-DCMAKE_INSTALL_PREFIX=/usr",
                                 f"-DCMAKE_INSTALL_LIBDIR=lib/{TRIPLET}",
                                 f"-DCMAKE_INSTALL_INCLUDEDIR=include/{TRIPLET}",
                                 f"-DCMAKE_INSTALL_DOCDIR={docdir}"])
    root = os.path.join(work, "root")
    build.install(destdir=root)
    # Debian's copyright file in place of the licence text alone, a Debian
    # changelog beside the project's, the documents compressed.
    docs = os.path.join(root, "usr", docdir)
    os.remove(os.path.join(docs, "LICENSE"))
    with open(os.path.join(docs, "copyright"), "w") as f:
        f.write(copyright_file(build))
    with open(os.path.join(docs, "changelog.gz"), "wb") as f:
        f.write(gzip_n(debian_changelog(build.version, epoch).encode()))
    for name in os.listdir(docs):
        path = os.path.join(docs, name)
        if not name.endswith(".gz") and name != "copyright":
            with open(path, "rb") as f:
                data = f.read()
            with open(path + ".gz", "wb") as f:
                f.write(gzip_n(data))
            os.remove(path)

    files = sorted(os.path.relpath(os.path.join(top, name), root)
                   for top, _, names in os.walk(root) for name in names)
    dirs = sum(len(d) for _, d, _ in os.walk(root))
    installed_kib = dirs + sum(-(-os.path.getsize(os.path.join(root, f)) // 1024) for f in files)
    control = os.path.join(root, "DEBIAN")
    os.makedirs(control)
    with open(os.path.join(control, "control"), "w") as f:
        f.write(control_file(build.version, installed_kib))
    with open(os.path.join(control, "md5sums"), "w") as f:
        for path in files:
            with open(os.path.join(root, path), "rb") as data:
                f.write(f"{hashlib.md5(data.read()).hexdigest()}  {path}\n")
    normalize(root, epoch)
    name = f"{PACKAGE}_{build.version}_{ARCH}.deb"
    run(["dpkg-deb", "--root-owner-group", "-Zxz", "--build", root, os.path.join(work, name)],
        env=dict(CLEAN_ENVIRONMENT, SOURCE_DATE_EPOCH=str(epoch)))
    with open(os.path.join(work, name), "rb") as f:
        return {name: f.read()}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("what", choices=("dist", "deb"))
    parser.add_argument("--out", required=True)
    parser.add_argument("--commit", default="HEAD")
    args = parser.parse_args()

    commit = commit_of(args.commit)
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or
                git("log", "-1", "--format=%ct", commit).decode().strip())
    with tempfile.TemporaryDirectory(prefix="sse2str-release-") as work:
        files = (dist if args.what == "dist" else deb)(commit, epoch, work)
    os.makedirs(args.out, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(args.out, name), "wb") as f:
            f.write(data)
        print(os.path.join(args.out, name))
    return 0


if __name__ == "__main__":
    sys.exit(main())
