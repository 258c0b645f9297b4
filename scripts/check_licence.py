#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Every file the project wrote names its licence on its first line.

  check_licence.py [ROOT]

The first line of each file, or the second after a shebang, must be the
SPDX line, `SPDX-License-Identifier: MIT` in one of the comment forms
below: source, headers, scripts, build files, documents and files generated
from them alike (a generated file's header carries the line and says what
made it).  The files are those git tracks in ROOT (added ones included); in
a tree that is no git checkout, such as one unpacked from the source
archive, every file under ROOT that .gitignore does not leave out.  The
files in UNTAGGED are the only exceptions.
"""
import fnmatch
import os
import subprocess
import sys

LICENCE = "SPDX-License-Identifier: MIT"
# `//` in C and C++, `/* */` in assembly, `#` in CMake, Make, Python, shell
# and the other configuration files, `<!-- -->` in Markdown.
SPDX_LINES = {f"// {LICENCE}", f"/* {LICENCE} */", f"# {LICENCE}", f"<!-- {LICENCE} -->"}

# What carries no SPDX line, and why (a trailing / takes a whole folder).
UNTAGGED = (
    "LICENSE",                         # the licence text itself
    "bench/data/size-distributions/",  # third-party data: its README and
                                       # LICENSE.TXT give origin and terms
    "tests/fuzz/corpus/",              # inputs made by our fuzz targets
    "tests/usage/examples/*.out",      # what the examples must print
    "tests/usage/examples/paths.txt",  # and their input
    "*.png",                           # images
)


def untagged(path):
    return any(path.startswith(pattern) if pattern.endswith("/") else
               fnmatch.fnmatchcase(path, pattern) for pattern in UNTAGGED)


def ignored_by(root):
    """A test of whether .gitignore leaves a path out, for the forms it
    uses: `/name/` (a folder at the top), `name/` (a folder anywhere) and
    `name` (anything anywhere), each with shell wildcards."""
    patterns = []
    with open(os.path.join(root, ".gitignore")) as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                patterns.append((line.startswith("/"), line.endswith("/"), line.strip("/")))

    def ignored(path, is_dir):
        name = os.path.basename(path)
        return any(fnmatch.fnmatchcase(path if anchored else name, pattern)
                   for anchored, dir_only, pattern in patterns if is_dir or not dir_only)
    return ignored


def git_top(root):
    try:
        top = subprocess.run(["git", "rev-parse", "--show-toplevel"], cwd=root,
                             capture_output=True, text=True)
    except OSError:  # no git at all
        return None
    return os.path.realpath(top.stdout.strip()) if top.returncode == 0 else None


def project_files(root):
    # Only a checkout of its own: a tree unpacked inside another checkout
    # (under its build folder, say) is walked.
    if git_top(root) == os.path.realpath(root):
        listed = subprocess.run(["git", "ls-files", "-z"], cwd=root,
                                check=True, capture_output=True).stdout.decode()
        return sorted(path for path in listed.split("\0")
                      if path and os.path.isfile(os.path.join(root, path)))
    ignored = ignored_by(root)
    found = []
    for top, dirs, files in os.walk(root):
        relative = os.path.relpath(top, root)
        prefix = "" if relative == "." else relative + "/"
        dirs[:] = [d for d in dirs if d != ".git" and not ignored(prefix + d, True)]
        found += [prefix + name for name in files if not ignored(prefix + name, False)]
    return sorted(found)


def opening_line(path):
    with open(path, "rb") as f:
        first, second = f.readline(), f.readline()
    line = second if first.startswith(b"#!") else first
    return line.decode(errors="replace").rstrip("\n")


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    checked = [path for path in project_files(root) if not untagged(path)]
    missing = [path for path in checked if opening_line(os.path.join(root, path)) not in SPDX_LINES]
    for path in missing:
        print(f"{path}: does not open with an {LICENCE} line", file=sys.stderr)
    if not missing:
        print(f"{len(checked)} files open with an {LICENCE} line")
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
