#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Real programs' own test suites, with and without the routines, and one
real workload of each, timed.

  realworld.py --prefix DIR --work DIR [--jobs N] [--runs N] [--only VARIANT]
               [--compare] [--no-suites] [--no-workloads] [--time-under-emulation]
               [PROGRAM...]

Builds each program's Debian source package for i386 twice, plainly and with
the interposition module and the counting hook, runs its own test suite for
both and fails if any test's outcome differs (docs/realworld.md).  Then it
links the plain build's objects again twice, with the routines bound
directly (sse2str-interpose) and through the processor check
(sse2str-dispatch), runs one workload of the program in every build, fails
if its results differ, counts the calls it makes through the routines, and
times it: the median of --runs runs of each build, interleaved.  Under
emulation the times would be the emulator's: it reports no times, and says
so, unless --time-under-emulation asks for them.  --no-suites builds the
programs without running their suites (it compares the results of those
that ran before); --no-workloads runs no workload.

DIR for --prefix is an installed sse2str tree (make install PREFIX=...).
--only plain|interposed builds and checks that variant's suite alone, so the
two may run at once; a later run without it reuses both.  --compare builds
nothing: it compares the suite results the two trees hold so far and names
the tests that have a result in one tree only.
"""
import argparse
import glob
import hashlib
import io
import os
import random
import re
import shlex
import shutil
import stat
import statistics
import subprocess
import sys
import tarfile
import time
from collections import Counter

from i386_emulation import emulation

# name: the source package, and
#   configure  its options ("{tree}" is the build tree); features whose
#              libraries an i386 build would need are left out: tests that
#              need them are skipped in both builds alike
#   prepare    a shell command the tree needs before configure
#   per_test   the lines in which a test program reports each of its tests
#   tests      name: make arguments, run each on its own in place of
#              `make check`
#   workload   one real job of the program, timed (below)
#     what       what it does, for the report ("{...}": SIZES)
#     programs   the files it runs, relative to the tree
#     link       make arguments that link them again
#     input      its input, made once (INPUTS)
#     run        a shell command, run in an empty directory: whatever it
#                writes there is its result ("{tree}", "{input}")
#     env        variables the programs need ("{tree}")
PROGRAMS = {
    # memchr, strnlen, strrchr and memset, from its matchers and buffers.
    "grep": {
        "configure": ["--disable-perl-regexp", "--disable-nls"],
        # A rare string (long memchr scans), a common word (a call or two
        # per line) and a regular expression, each counted over a large text.
        "workload": {
            "what": "grep -c over {text_mib} MiB of text: a rare string, a common word, a regular expression",
            "programs": ["src/grep"], "link": ["-C", "src", "grep"], "input": "text",
            "run": "{tree}/src/grep -c -F needle {input} > rare"
                   " && {tree}/src/grep -c -w -F the {input} > word"
                   " && {tree}/src/grep -c -E '[0-9]{{4}}-[0-9]{{2}}' {input} > regex",
        },
    },
    # stpcpy, from the output file names of every bison run.  The suite's
    # C++ parsers are left out (CXX=false: they take most of its time under
    # emulation); its C parsers are compiled with the same flags and links.
    "bison": {
        "configure": ["--disable-nls", "CXX=false"],
        # Debian's source ships no manual; as its own build does, a stub
        # stands in for it and the files made from it are kept up to date.
        "prepare": "echo '@setfilename bison.info' > doc/bison.texi && mkdir -p doc/figs"
                   " && touch --date='2000-01-01' doc/bison.info doc/bison.help"
                   " doc/figs/example.txt doc/figs/example-reduce.txt"
                   " doc/figs/example-shift.txt doc/*.texi build-aux/cross-options.pl"
                   " src/getargs.c",
        # A large generated grammar, its parser and its report with every
        # state's items and lookaheads.
        "workload": {
            "what": "bison --report=itemsets,lookaheads on a generated grammar of {grammar_rules} rules",
            "programs": ["src/bison"], "link": ["src/bison"], "input": "grammar",
            "run": "{tree}/src/bison -Wnone --report=itemsets,lookaheads -o parser.c {input}",
            "env": {"BISON_PKGDATADIR": "{tree}/data"},
        },
    },
    # wcscmp, from archive_match's wide patterns and the test harness's
    # comparisons of wide strings.  Compression and crypto libraries are
    # left out; everything is linked statically into the programs.
    "libarchive": {
        "configure": ["--disable-shared", "--disable-acl", "--disable-xattr",
                      *(f"--without-{lib}" for lib in (
                          "zlib", "bz2lib", "libb2", "iconv", "lz4", "zstd", "lzma", "cng",
                          "mbedtls", "nettle", "openssl", "xml2", "expat"))],
        # Debian's patches add test files to the build lists; as its own
        # build does, the build files are made again from them.
        "prepare": "autoreconf -fi",
        # libarchive_test and its siblings report each test on a line:
        # "  12: test_read_format_zip            ok" (or "ok (S)", "FAIL").
        "per_test": r"^\s*(\d+): (\S+)\s+(ok \(S\)|ok|FAIL)\s*$",
        # bsdtar extracting a large archive of many files, then listing it.
        "workload": {
            "what": "bsdtar -x, then -tv, of a pax archive of {archive_files} files",
            "programs": ["bsdtar"], "link": ["bsdtar"], "input": "archive",
            "run": "{tree}/bsdtar -xf {input} && {tree}/bsdtar -tvf {input} > listing",
        },
    },
    # bzero, from the SOCKS client of the suite's own netcat.  Its whole
    # regression suite starts ssh and sshd hundreds of times (hours under
    # emulation); these named tests of it run, each on its own, so that one
    # failure does not end the others.  sshd runs without a sandbox, with
    # its privilege-separation directory in the tree; no OpenSSL, no zlib,
    # no PAM, no security keys (whose test library cannot link -no-pie).
    "openssh": {
        "configure": ["--without-openssl", "--without-zlib", "--without-hardening",
                      "--with-sandbox=no", "--with-privsep-user=nobody",
                      "--with-privsep-path={tree}/privsep", "--without-pam",
                      "--without-selinux", "--without-kerberos5", "--without-libedit",
                      "--disable-security-key"],
        # Debian's patches change configure.ac, as its own build remakes it.
        "prepare": "autoreconf -fi && mkdir -m 755 privsep",
        "tests": {name: ["t-exec", f"LTESTS={name}"] for name in (
            "connect", "proxy-connect", "dynamic-forward", "forwarding")},
        # sftp talking to its own server, without ssh: a tree of many files
        # sent up, fetched back and listed.
        "workload": {
            "what": "sftp -D sftp-server: put -r and get -r of {sftp_files} files, ls",
            "programs": ["sftp", "sftp-server"], "link": ["sftp", "sftp-server"],
            "input": "sftp",
            "run": "{tree}/sftp -q -b {input}/batch -D {tree}/sftp-server > transcript",
        },
    },
}

# Nothing generated is regenerated by make (a `prepare` step may, as the
# package's own Debian build does): the Debian patches leave sources newer
# than what was generated from them, and the autotools or texinfo installed
# here need not be the versions the package was made with.
MAKE = ["make", "ACLOCAL=true", "AUTOCONF=true", "AUTOHEADER=true", "AUTOMAKE=true",
        "MAKEINFO=true"]

# Compiler flags of both builds: only the routines differ between them.
CC = "gcc -m32"
CFLAGS = "-O2 -g -fno-builtin"
# A configure whose build and host types agree runs its test programs
# (they run here, under emulation if need be) instead of guessing.
SYSTEM_TYPE = "i686-pc-linux-gnu"

COUNTS_LINE = r"^\s*sse2str calls:(.*?)\s*$"


def read(path):
    with open(path, errors="replace") as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def matches(pattern, path):
    """The groups of `pattern` in each line of the file at `path` it matches."""
    return [m.groups() for m in map(re.compile(pattern).match, read(path).splitlines()) if m]


def log(message):
    print(f"[realworld {time.strftime('%H:%M:%S')}] {message}", flush=True)


def run(command, cwd=None, env=None, output=None, check=True):
    if output is None:
        result = subprocess.run(command, cwd=cwd, env=env)
    else:
        with open(output, "ab") as f:
            result = subprocess.run(command, cwd=cwd, env=env, stdout=f,
                                    stderr=subprocess.STDOUT)
    if check and result.returncode != 0:
        raise SystemExit(f"failed ({result.returncode}): {shlex.join(command)}"
                         + (f" (log: {output})" if output else ""))
    return result.returncode


# ---- source packages through a private apt configuration ----

def private_apt(work):
    """apt-get with the machine's sources switched to source packages, and
    a state and cache directory of its own under `work`."""
    root = os.path.join(work, "apt")
    parts, state, cache = (os.path.join(root, d) for d in ("sources.list.d", "state", "cache"))
    shutil.rmtree(parts, ignore_errors=True)
    for d in (parts, os.path.join(state, "lists", "partial"), os.path.join(cache, "archives", "partial")):
        os.makedirs(d, exist_ok=True)
    entries = sorted(glob.glob("/etc/apt/sources.list.d/*.sources"))
    for path in entries:  # deb822 entries: every type becomes deb-src
        write(os.path.join(parts, os.path.basename(path)),
              re.sub(r"(?m)^Types:.*$", "Types: deb-src", read(path)))
    one_line = [p for p in ["/etc/apt/sources.list", *sorted(glob.glob("/etc/apt/sources.list.d/*.list"))]
                if os.path.isfile(p)]
    if not entries and not one_line:
        raise SystemExit("no apt sources found on this machine")
    lines = {re.sub(r"^(\s*)deb(\s)", r"\1deb-src\2", line) for p in one_line
             for line in read(p).splitlines() if re.match(r"^\s*deb\s", line)}
    write(os.path.join(root, "sources.list"), "".join(f"{line}\n" for line in sorted(lines)))
    return ["apt-get", "-q", "-o", f"Dir::State={state}", "-o", f"Dir::Cache={cache}",
            "-o", f"Dir::Etc::SourceList={os.path.join(root, 'sources.list')}",
            "-o", f"Dir::Etc::SourceParts={parts}",
            # Downloads into directories of our own, written as ourselves.
            "-o", "APT::Sandbox::User=root"]


def fetch_source(apt, package, work):
    """Unpacks the source package into work/src/; returns its directory."""
    src = os.path.join(work, "src")
    os.makedirs(src, exist_ok=True)
    def unpacked():
        return [d for d in glob.glob(os.path.join(src, f"{package}-*")) if os.path.isdir(d)]
    if unpacked():
        return unpacked()[0]
    run(apt + ["source", package], cwd=src, output=os.path.join(work, f"{package}.fetch.log"))
    existing = unpacked()
    if len(existing) != 1:
        raise SystemExit(f"apt-get source {package} left {existing}")
    return existing[0]


# ---- building and testing ----

def pkg_config(prefix, *args):
    env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(prefix, "lib", "pkgconfig"))
    return subprocess.run(["pkg-config", *args], env=env, check=True,
                          capture_output=True, text=True).stdout.strip()


def claim(tree):
    """Stops if another run (--only) is still building or testing `tree`."""
    lock = tree + ".pid"
    try:
        os.kill(int(read(lock)), 0)
        raise SystemExit(f"{tree} is in use by another run (pid in {lock})")
    except (FileNotFoundError, ValueError, ProcessLookupError):
        pass
    write(lock, str(os.getpid()))


def program_env():
    env = dict(os.environ, LC_ALL="C")
    # Variables given to our own make (PROGRAMS=grep) travel in MAKEFLAGS
    # and would override the program's own Makefile variables of that name.
    for inherited in ("MAKEFLAGS", "MFLAGS", "MAKEOVERRIDES", "MAKELEVEL"):
        env.pop(inherited, None)
    # Programs run while configuring and building report nowhere.
    env["SSE2STR_CALL_COUNTS"] = os.devnull
    return env


def build_and_check(name, source, tree, link_flags, counts_file, jobs, suite=True):
    """Builds `source` in `tree` and, if `suite`, runs its tests there, once."""
    logfile, what = tree + ".log", os.path.basename(tree)
    built, checked = (os.path.join(tree, f".realworld-{step}") for step in ("built", "checked"))
    if os.path.exists(checked) or (os.path.exists(built) and not suite):
        return log(f"{what}: {'checked' if os.path.exists(checked) else 'built'} before, reused")
    claim(tree)
    env = program_env()
    if not os.path.exists(built):
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(source, tree, symlinks=True)
        if os.path.exists(logfile):
            os.remove(logfile)
        log(f"{what}: configure and build (log: {logfile})")
        if "prepare" in PROGRAMS[name]:
            run(["sh", "-c", PROGRAMS[name]["prepare"]], cwd=tree, env=env, output=logfile)
        options = [option.format(tree=tree) for option in PROGRAMS[name]["configure"]]
        run(["./configure", f"--build={SYSTEM_TYPE}", f"--host={SYSTEM_TYPE}",
             f"CC={CC}", f"CFLAGS={CFLAGS}", f"LDFLAGS={link_flags}", *options],
            cwd=tree, env=env, output=logfile)
        run([*MAKE, f"-j{jobs}"], cwd=tree, env=env, output=logfile)
        write(built, "")
    if not suite:
        return
    if counts_file:
        if os.path.exists(counts_file):
            os.remove(counts_file)
        env["SSE2STR_CALL_COUNTS"] = counts_file
    log(f"{what}: make check")
    started = time.time()
    if "tests" in PROGRAMS[name]:
        run_named_tests(PROGRAMS[name]["tests"], tree, env, logfile)
    else:
        run([*MAKE, "-k", f"-j{jobs}", "check"], cwd=tree, env=env, output=logfile,
            check=False)
    log(f"{what}: make check took {time.time() - started:.0f} s")
    write(checked, "")


def run_named_tests(tests, tree, env, logfile):
    """Runs each make target of `tests` (name: make arguments) and records
    its outcome as automake does, in realworld-tests/<name>.trs."""
    results = os.path.join(tree, "realworld-tests")
    os.makedirs(results, exist_ok=True)
    for test, arguments in tests.items():
        status = run([*MAKE, *arguments], cwd=tree, env=env, output=logfile, check=False)
        write(os.path.join(results, f"{test}.trs"), f":test-result: {'PASS' if status == 0 else 'FAIL'}\n")


def outcomes(tree, per_test=None):
    """Test name -> outcome, from automake's .trs files and autotest's log.

    A test program that runs many tests and reports each on a line of its
    own adds them too, where `per_test` matches those lines (number, name,
    outcome) in the program's automake log.
    """
    results = {}
    for trs in glob.glob(os.path.join(tree, "**", "*.trs"), recursive=True):
        result = next((line for line in read(trs).splitlines() if line.startswith(":test-result:")), None)
        if result:
            results[os.path.relpath(trs, tree)] = result.split(":", 2)[2].strip()
        program_log = trs[:-len(".trs")] + ".log"
        if per_test and os.path.exists(program_log):
            for number, test, outcome in matches(per_test, program_log):
                results.setdefault(f"{os.path.relpath(program_log, tree)}#{number} {test}", outcome)
    # Autotest suites (tests/testsuite) log one line per test:
    #   "10. Redefining the error token (input.at:341): ok" / "FAILED (x.at:1)"
    #   / "skipped (x.at:1)"; their output shows "10: ... ok" lines alike.
    for suite_log in glob.glob(os.path.join(tree, "**", "testsuite.log"), recursive=True):
        for number, test, outcome in matches(r"^\s*(\d+)[:.] (.*?):?\s+(ok|FAILED|skipped|expected failure"
                                             r"|UNEXPECTED PASS)\b", suite_log):
            results.setdefault(f"{os.path.relpath(suite_log, tree)}#{number} {test}", outcome)
    return results


def counts(path):
    """Calls per routine summed over the counting hook's lines (one per
    process), and the number of processes."""
    totals, processes = Counter(), 0
    for (items,) in matches(COUNTS_LINE, path) if os.path.exists(path) else []:
        processes += 1
        totals.update({routine: int(n) for routine, _, n in (item.partition("=") for item in items.split())})
    return totals, processes


def summary(results):
    return ", ".join(f"{n} {o}" for o, n in sorted(Counter(results.values()).items()))


def compare(program, name, plain, routed, counts_file, report, partial=False):
    """Appends the comparison to report; true if any outcome differs."""
    per_test = PROGRAMS[program].get("per_test")
    before, after = outcomes(plain, per_test), outcomes(routed, per_test)
    if not before and not partial:
        raise SystemExit(f"{name}: no test results found in {plain}")
    both = set(before) & set(after)
    differ = sorted(t for t in both if before[t] != after[t])
    report.append(f"{name}: plain: {summary(before)}; interposed: {summary(after)}")
    if partial or set(before) != set(after):
        report.append(f"  {len(both)} tests ran in both; {len(set(before) - both)} in the plain "
                      f"build only, {len(set(after) - both)} in the interposed build only")
    if not partial:
        differ += sorted(set(before) ^ set(after))
    for test in differ:
        report.append(f"  DIFFERS {test}: plain {before.get(test)}, "
                      f"interposed {after.get(test)}")
    totals, processes = counts(counts_file)
    report.append(f"  calls through the routines ({processes} processes reported):")
    for routine, total in totals.items():
        report.append(f"    {routine:<20} {total:>12}")
    return bool(differ)


def all_suites(work, programs):
    """Calls per routine summed over the programs' suites, and the routines
    none of them called."""
    totals = Counter()
    for name in programs:
        totals.update(counts(os.path.join(work, f"{name}.counts"))[0])
    lines = [f"all suites ({', '.join(programs)}): calls through the routines:"]
    lines += [f"    {routine:<20} {n:>12}" for routine, n in totals.items()]
    never = [routine for routine, n in totals.items() if n == 0]
    lines.append(f"  called by no suite: {', '.join(never) or 'none'}")
    return lines


# ---- the workloads' inputs, made here from a seeded generator ----
#
# Each is made once into work/inputs/ and kept.  Nothing is read from the
# machine, so the inputs are the same everywhere.

SEED = 36
SYLLABLES = ("ka", "to", "ri", "se", "mu", "la", "po", "ne", "di", "gu", "fa", "zo", "be", "chi",
             "ru", "an", "el", "is", "or", "ut", "qua", "str", "ex", "in")
COMMON = ("the", "of", "and", "to", "in", "is", "for", "that", "with", "as", "on", "by")


def word(rng):
    if rng.random() < 0.3:
        return COMMON[int(rng.random() * len(COMMON))]
    return "".join(SYLLABLES[int(rng.random() * len(SYLLABLES))] for _ in range(1 + int(rng.random() * 4)))


def text_lines(rng, size):
    """Lines of words, some with a date, about `size` bytes; one line in
    about 20000 holds the word "needle"."""
    lines, total = [], 0
    while total < size:
        words = [word(rng) for _ in range(3 + int(rng.random() * 12))]
        if rng.random() < 0.1:
            words.insert(int(rng.random() * len(words)),
                         f"{1900 + int(rng.random() * 200)}-{1 + int(rng.random() * 12):02d}")
        if rng.random() < 0.00005:
            words.append("needle")
        line = " ".join(words) + "\n"
        lines.append(line)
        total += len(line)
    return "".join(lines)


TEXT_BLOCK = 8 << 20
TEXT_SIZE = 128 << 20


def make_text(path):
    """TEXT_SIZE bytes of text: a block of TEXT_BLOCK bytes of generated
    lines, repeated."""
    block = text_lines(random.Random(SEED), TEXT_BLOCK)
    with open(path, "w") as f:
        for _ in range(TEXT_SIZE // len(block) + 1):
            f.write(block)


GRAMMAR_GROUPS, GRAMMAR_LEVELS = 120, 12


def make_grammar(path):
    """A language of GRAMMAR_GROUPS kinds of statement, each with its own
    ladder of GRAMMAR_LEVELS binary operators, left-associative by its rules:
    LALR(1), without conflicts."""
    rules = ["program: %empty | program statement ;",
             "statement: " + " | ".join(f"s{g}" for g in range(GRAMMAR_GROUPS)) + " ;"]
    for g in range(GRAMMAR_GROUPS):
        e = [f"e{g}_{level}" for level in range(GRAMMAR_LEVELS + 1)]
        rules.append(f"s{g}: KW{g} {e[0]} ';' | KW{g} ID '=' {e[0]} ';' | KW{g} '{{' program '}}' ;")
        rules += [f"{e[level]}: {e[level]} OP{level} {e[level + 1]} | {e[level + 1]} ;"
                  for level in range(GRAMMAR_LEVELS)]
        rules.append(f"{e[-1]}: ID | NUM | '(' {e[0]} ')' | ID '(' {e[0]} ')' ;")
    tokens = ["ID", "NUM", *(f"KW{g}" for g in range(GRAMMAR_GROUPS)),
              *(f"OP{level}" for level in range(GRAMMAR_LEVELS))]
    write(path, f"%token {' '.join(tokens)}\n%%\n" + "\n".join(rules) + "\n")


def tree_files(rng, count, largest):
    """(path, size) of `count` files spread over nested directories, some
    with names too long for a plain tar header."""
    files = []
    for n in range(count):
        depth = 1 + int(rng.random() * 4)
        parts = [f"d{int(rng.random() * 8)}{word(rng)}" for _ in range(depth)]
        name = f"f{n}-{word(rng)}" + ("-" + "x" * 90 if rng.random() < 0.05 else "") + ".txt"
        files.append(("/".join(parts + [name]), int(rng.random() ** 3 * largest)))
    return files


def file_contents(rng):
    """Contents to cut files from: generated text, 1 MiB."""
    return text_lines(rng, 1 << 20).encode()


ARCHIVE_FILES, ARCHIVE_LARGEST = 30000, 16 << 10


def make_archive(path):
    """A pax archive of ARCHIVE_FILES files under tree/, fixed owners and
    times."""
    rng = random.Random(SEED)
    contents = file_contents(rng)
    with tarfile.open(path, "w", format=tarfile.PAX_FORMAT) as archive:
        for name, size in tree_files(rng, ARCHIVE_FILES, ARCHIVE_LARGEST):
            info = tarfile.TarInfo("tree/" + name)
            info.size, info.mtime, info.mode = size, 1700000000, 0o644
            start = int(rng.random() * (len(contents) - size))
            archive.addfile(info, io.BytesIO(contents[start:start + size]))


SFTP_FILES, SFTP_LARGEST = 4000, 64 << 10


def make_sftp(path):
    """path/tree: SFTP_FILES files; path/batch: sftp's commands."""
    rng = random.Random(SEED)
    contents = file_contents(rng)
    for name, size in tree_files(rng, SFTP_FILES, SFTP_LARGEST):
        os.makedirs(os.path.join(path, "tree", os.path.dirname(name)), exist_ok=True)
        start = int(rng.random() * (len(contents) - size))
        with open(os.path.join(path, "tree", name), "wb") as f:
            f.write(contents[start:start + size])
    write(os.path.join(path, "batch"),
          f"put -r {path}/tree up\nget -r up down\nls -1 up\n")


INPUTS = {"text": make_text, "grammar": make_grammar, "archive": make_archive, "sftp": make_sftp}
# The inputs' sizes, for the report; an input made with others is made again.
SIZES = {"text_mib": TEXT_SIZE >> 20, "archive_files": ARCHIVE_FILES, "sftp_files": SFTP_FILES,
         # program's two, and per kind of statement its choice in statement,
         # its own three, its ladder's and its operands' four
         "grammar_rules": 2 + GRAMMAR_GROUPS * (1 + 3 + 2 * GRAMMAR_LEVELS + 4)}


def workload_input(kind, work):
    """The input of that kind, made once under work/inputs/."""
    path, made = os.path.join(work, "inputs", kind), os.path.join(work, "inputs", kind + ".made")
    signature = repr((SEED, SIZES))
    if not os.path.exists(made) or read(made) != signature:
        log(f"making the {kind} input")
        remove(path)
        os.makedirs(path if kind == "sftp" else os.path.dirname(path), exist_ok=True)
        INPUTS[kind](path)
        write(made, signature)
    return path


# ---- the workloads: checked in every build, counted, timed ----

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The builds a workload runs in, by their name in the report: the two whose
# suites ran, and the plain build's objects linked again hook-free with the
# routines bound directly and through the processor check.  Only the last
# three are timed: the counting hook costs far more than a routine's call.
WORKLOAD_BUILDS = {"plain": "plain", "counted": "interposed", "interposed": "direct",
                   "dispatch": "dispatch"}  # build: its tree, work/<program>-<tree>
TIMED = ("plain", "interposed", "dispatch")


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def emulator(work):
    """The program through which the kernel runs i386 programs (qemu-user,
    registered by scripts/setup.sh), or None when it runs them itself, told
    by the benchmark's probe."""
    probe = os.path.join(work, "i386_probe")
    run([*CC.split(), "-O2", "-o", probe, os.path.join(ROOT, "bench", "i386_probe.c")])
    return emulation(probe)


def machine(emulated):
    model = next((line.split(":", 1)[1].strip() for line in read("/proc/cpuinfo").splitlines()
                  if line.startswith("model name")), "unknown processor")
    how = f"i386 programs under {emulated}" if emulated else "i386 programs natively"
    return f"{model}, {os.cpu_count()} cores, {how}"


def load_average():
    return float(read("/proc/loadavg").split()[0])


def sockets_and_pipes(directory, names):
    """Those of `names` that a suite left behind as sockets or pipes: no build
    needs them, and they cannot be copied."""
    return [n for n in names
            if stat.S_ISSOCK(os.lstat(os.path.join(directory, n)).st_mode)
            or stat.S_ISFIFO(os.lstat(os.path.join(directory, n)).st_mode)]


def relink(name, plain, tree, libraries):
    """`tree`: a copy of the plain build whose workload programs are linked
    again with `libraries` after the link flags configure chose, so that
    only the routines differ."""
    workload = PROGRAMS[name]["workload"]
    directory = workload["link"][1] if workload["link"][0] == "-C" else "."
    configured = re.search(r"^LDFLAGS\s*=(.*)$", read(os.path.join(plain, directory, "Makefile")), re.M)
    link_flags = f"{configured.group(1).strip()} {libraries}"
    stamp = os.path.join(tree, ".realworld-linked")
    if os.path.exists(stamp) and read(stamp) == link_flags:
        return
    log(f"{os.path.basename(tree)}: linked again from {os.path.basename(plain)} (log: {tree}.log)")
    remove(tree)
    remove(tree + ".log")
    shutil.copytree(plain, tree, symlinks=True, ignore=sockets_and_pipes)  # times kept: make relinks only
    for program in workload["programs"]:
        os.remove(os.path.join(tree, program))
    run([*MAKE, *workload["link"], f"LDFLAGS={link_flags}"], cwd=tree, env=program_env(),
        output=tree + ".log")
    write(stamp, link_flags)


def scratch_root(work):
    """Where workloads write: memory, where the machine has it, so that the
    disk's write-back does not time them."""
    return "/dev/shm" if os.access("/dev/shm", os.W_OK) else work


def run_workload(name, tree, input_path, scratch, counts_file=None):
    """Runs the workload once in an empty `scratch`; returns its wall-clock
    and processor (user and system) seconds."""
    workload = PROGRAMS[name]["workload"]
    remove(scratch)
    os.makedirs(scratch)
    env = dict(os.environ, LC_ALL="C", SSE2STR_CALL_COUNTS=counts_file or os.devnull,
               **{k: v.format(tree=tree) for k, v in workload.get("env", {}).items()})
    command = workload["run"].format(tree=tree, input=input_path)
    started = time.perf_counter()
    process = subprocess.Popen(["sh", "-c", command], cwd=scratch, env=env,
                               stdin=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - started
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode != 0:
        raise SystemExit(f"{name} workload failed ({process.returncode}) in {tree}: {command}")
    return wall, usage.ru_utime + usage.ru_stime


def digest(directory):
    """One hash of every name, link and content under `directory`."""
    h = hashlib.sha256()
    for root, dirs, files in os.walk(directory):
        dirs.sort()
        for entry in sorted(dirs + files):
            path = os.path.join(root, entry)
            h.update(os.path.relpath(path, directory).encode() + b"\0")
            if os.path.islink(path):
                h.update(b"link " + os.readlink(path).encode())
            elif os.path.isfile(path):
                with open(path, "rb") as f:
                    for chunk in iter(lambda: f.read(1 << 20), b""):
                        h.update(chunk)
    return h.hexdigest()


def workload(name, trees, work, runs, timed, report):
    """Checks, counts and (if `timed`) times the workload of `name` in
    `trees` (build name -> tree); appends to report; true if any result
    differs from the plain build's."""
    input_path = workload_input(PROGRAMS[name]["workload"]["input"], work)
    scratch = os.path.join(scratch_root(work), f"sse2str-realworld-{os.getpid()}")
    counts_file = os.path.join(work, f"{name}.workload.counts")
    remove(counts_file)
    # One run in each build: its results, its calls, and a warm start for
    # the timed runs (the input in the page cache).
    results = {}
    for build, tree in trees.items():
        log(f"{name} workload: {build}")
        run_workload(name, tree, input_path, scratch, counts_file if build == "counted" else None)
        results[build] = digest(scratch)
    differ = [build for build in trees if results[build] != results["plain"]]
    report.append(f"{name} workload: {PROGRAMS[name]['workload']['what'].format(**SIZES)}")
    report.append("  results: " + (f"DIFFER from the plain build's in {', '.join(differ)}"
                  if differ else f"the same in every build ({', '.join(trees)})"))
    totals, processes = counts(counts_file)
    report.append(f"  calls through the routines in one run ({processes} processes reported): "
                  + ", ".join(f"{routine} {n}" for routine, n in totals.items() if n))
    if timed:
        times = time_workload(name, {b: trees[b] for b in TIMED}, input_path, scratch, runs)
        medians = {build: [statistics.median(run[i] for run in times[build]) for i in (0, 1)]
                   for build in TIMED}
        (wall0, cpu0) = medians["plain"]
        for build, (wall, cpu) in medians.items():
            report.append(f"  {build:<11} median of {runs}: {wall:8.3f} s wall ({wall / wall0:.3f} of plain),"
                          f" {cpu:8.3f} s processor ({cpu / cpu0:.3f})")
    remove(scratch)
    return bool(differ)


def time_workload(name, trees, input_path, scratch, runs):
    """Build name -> (wall, processor) seconds of each of `runs` runs.  Each
    round runs every build once, starting with the next one each time, so
    that what else the machine does falls on all alike."""
    times, order = {build: [] for build in trees}, list(trees)
    for n in range(runs):
        for build in order[n % len(order):] + order[:n % len(order)]:
            times[build].append(run_workload(name, trees[build], input_path, scratch))
    return times


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program", nargs="*")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", choices=("plain", "interposed"))
    parser.add_argument("--compare", action="store_true")
    parser.add_argument("--no-suites", action="store_true")
    parser.add_argument("--no-workloads", action="store_true")
    parser.add_argument("--time-under-emulation", action="store_true")
    args = parser.parse_args()
    programs = args.program or list(PROGRAMS)
    unknown = [p for p in programs if p not in PROGRAMS]
    if unknown:
        parser.error(f"unknown program {', '.join(unknown)}; known: {', '.join(PROGRAMS)}")
    work, prefix = os.path.abspath(args.work), os.path.abspath(args.prefix)
    os.makedirs(work, exist_ok=True)

    report, failed, compared = [], False, []
    suites, workloads = not args.no_suites, not (args.compare or args.only or args.no_workloads)
    if not args.compare:
        # The suite's build counts its calls: the profiling objects and the
        # counting hook.  The workloads' timed builds are hook-free.
        counted = " ".join(["-no-pie", pkg_config(prefix, "--libs", "sse2str-interpose-profiled"),
                            pkg_config(prefix, "--variable=call_counts", "sse2str")])
        apt = private_apt(work)
        log("apt-get update (private state)")
        run(apt + ["update"], output=os.path.join(work, "apt-update.log"))
    if workloads:
        emulated = emulator(work)
        timed = args.time_under_emulation or not emulated
        report.append(f"machine: {machine(emulated)}")
        if emulated:
            report.append("workloads: " + ("timed under emulation: the times are the emulator's, not the "
                                           "processor's" if timed else
                                           f"not timed: this machine runs i386 programs through {emulated}, "
                                           "and times taken there are the emulator's"))
    for name in programs:
        plain, routed, counts_file = (os.path.join(work, name + s) for s in ("-plain", "-interposed", ".counts"))
        label = name
        if not args.compare:
            source = fetch_source(apt, name, work)
            label = f"{name} ({os.path.basename(source)})"
            log(f"{name}: {os.path.basename(source)}")
            if args.only in (None, "plain"):
                build_and_check(name, source, plain, "-no-pie", None, args.jobs, suites)
            if args.only in (None, "interposed"):
                build_and_check(name, source, routed, counted, counts_file, args.jobs, suites)
            if args.only:
                continue
        # Without the suites, those that ran before are compared still.
        ran = all(os.path.exists(os.path.join(tree, ".realworld-checked")) for tree in (plain, routed))
        if suites or ran:
            failed |= compare(name, label, plain, routed, counts_file, report, partial=args.compare)
            compared.append(name)
    if compared:
        report += all_suites(work, compared)
    if workloads:
        trees = {name: {build: os.path.join(work, f"{name}-{tree}") for build, tree in WORKLOAD_BUILDS.items()}
                 for name in programs}
        for name in programs:
            for build, package in (("interposed", "sse2str-interpose"), ("dispatch", "sse2str-dispatch")):
                relink(name, trees[name]["plain"], trees[name][build], pkg_config(prefix, "--libs", package))
        load_at_start = load_average()
        for name in programs:
            failed |= workload(name, trees[name], work, args.runs, timed, report)
        if timed:
            report.append(f"load average: {load_at_start:.2f} at the start of the workloads, "
                          f"{load_average():.2f} at the end")
    print("\n".join(report))
    if not args.compare:
        write(os.path.join(work, "report.txt"), "\n".join(report) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
