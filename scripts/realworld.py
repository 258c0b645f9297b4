#!/usr/bin/env python3
"""Real programs' own test suites, with and without the routines.

  realworld.py --prefix DIR --work DIR [--jobs N] [--only VARIANT] [PROGRAM...]

For each program (all of them by default) this fetches Debian's source
package, builds it for i386 twice with the same compiler flags (-m32 -O2
-fno-builtin): plainly, and with the package's interposition module and the
counting hook, so that the program's own calls of the standard routines go
to the routines.  It then runs the program's own test suite for both builds
and fails if any test's outcome differs between them.  It prints, per
routine, how many calls the interposed suite made.

DIR for --prefix is an installed sse2str tree (make install PREFIX=...).
--only plain|interposed builds and checks that variant alone, so the two
may run at once; a later run without it reuses both and compares.
--compare builds nothing: it compares the results the two trees hold so far
(of suites still running, or stopped), and names the tests that have a
result in one tree only.
The source packages come through apt-get with a private list of sources
(the machine's own, switched to source packages) and a private state
directory under --work; the machine's apt configuration is not changed.
"""
import argparse
import glob
import os
import re
import shlex
import shutil
import subprocess
import sys
import time

# name: the source package, its configure options (features whose
# libraries an i386 build would need are left out: tests that need them are
# skipped in both builds alike) and what the tree needs before configure.
PROGRAMS = {
    # memchr, strnlen, strrchr and memset, from its matchers and buffers.
    "grep": {
        "configure": ["--disable-perl-regexp", "--disable-nls"],
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
    },
}

# Nothing generated is regenerated: the Debian patches leave sources newer
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

COUNTS_LINE = re.compile(r"^sse2str calls:(.*)$")


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

def source_entries(text):
    """The machine's deb822 sources with binary types switched to source."""
    out = []
    for line in text.splitlines():
        if re.match(r"^Types:", line):
            line = "Types: deb-src"
        out.append(line)
    return "\n".join(out) + "\n"


def source_lines(text):
    """The machine's one-line sources switched to source packages."""
    out = []
    for line in text.splitlines():
        match = re.match(r"^(\s*)deb(\s.*)$", line)
        if match:
            out.append(f"{match.group(1)}deb-src{match.group(2)}")
    return "\n".join(sorted(set(out))) + "\n"


def private_apt(work):
    root = os.path.join(work, "apt")
    parts = os.path.join(root, "sources.list.d")
    state = os.path.join(root, "state")
    cache = os.path.join(root, "cache")
    for d in (parts, os.path.join(state, "lists", "partial"),
              os.path.join(cache, "archives", "partial")):
        os.makedirs(d, exist_ok=True)
    for old in glob.glob(os.path.join(parts, "*")):
        os.remove(old)
    found = 0
    for path in sorted(glob.glob("/etc/apt/sources.list.d/*.sources")):
        with open(path) as f:
            text = source_entries(f.read())
        with open(os.path.join(parts, os.path.basename(path)), "w") as f:
            f.write(text)
        found += 1
    one_line = ["/etc/apt/sources.list"] + sorted(glob.glob("/etc/apt/sources.list.d/*.list"))
    lines = ""
    for path in one_line:
        if os.path.isfile(path):
            with open(path) as f:
                lines += source_lines(f.read())
            found += 1
    with open(os.path.join(root, "sources.list"), "w") as f:
        f.write(lines)
    if not found:
        raise SystemExit("no apt sources found on this machine")
    return ["apt-get", "-q",
            "-o", f"Dir::State={state}",
            "-o", f"Dir::Cache={cache}",
            "-o", f"Dir::Etc::SourceList={os.path.join(root, 'sources.list')}",
            "-o", f"Dir::Etc::SourceParts={parts}",
            # Downloads into directories of our own, written as ourselves.
            "-o", "APT::Sandbox::User=root"]


def fetch_source(apt, package, work):
    """Unpacks the source package into work/src/; returns its directory."""
    src = os.path.join(work, "src")
    os.makedirs(src, exist_ok=True)
    existing = [d for d in glob.glob(os.path.join(src, f"{package}-*")) if os.path.isdir(d)]
    if existing:
        return existing[0]
    run(apt + ["source", package], cwd=src, output=os.path.join(work, f"{package}.fetch.log"))
    existing = [d for d in glob.glob(os.path.join(src, f"{package}-*")) if os.path.isdir(d)]
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
        with open(lock) as f:
            os.kill(int(f.read()), 0)
        raise SystemExit(f"{tree} is in use by another run (pid in {lock})")
    except (FileNotFoundError, ValueError, ProcessLookupError):
        pass
    with open(lock, "w") as f:
        f.write(str(os.getpid()))


def build_and_check(name, source, work, variant, link_flags, counts_file, jobs):
    tree = os.path.join(work, f"{name}-{variant}")
    logfile = os.path.join(work, f"{name}-{variant}.log")
    done = os.path.join(tree, ".realworld-checked")
    if os.path.exists(done):
        log(f"{name} ({variant}): checked before, results reused")
        return tree
    claim(tree)
    shutil.rmtree(tree, ignore_errors=True)
    shutil.copytree(source, tree, symlinks=True)
    if os.path.exists(logfile):
        os.remove(logfile)
    env = dict(os.environ, LC_ALL="C")
    # Variables given to our own make (PROGRAMS=grep) travel in MAKEFLAGS
    # and would override the program's own Makefile variables of that name.
    for inherited in ("MAKEFLAGS", "MFLAGS", "MAKEOVERRIDES", "MAKELEVEL"):
        env.pop(inherited, None)
    # Programs run while configuring and building report nowhere.
    env["SSE2STR_CALL_COUNTS"] = os.devnull
    log(f"{name} ({variant}): configure and build (log: {logfile})")
    if "prepare" in PROGRAMS[name]:
        run(["sh", "-c", PROGRAMS[name]["prepare"]], cwd=tree, env=env, output=logfile)
    options = [option.format(tree=tree) for option in PROGRAMS[name]["configure"]]
    run(["./configure", f"--build={SYSTEM_TYPE}", f"--host={SYSTEM_TYPE}",
         f"CC={CC}", f"CFLAGS={CFLAGS}", f"LDFLAGS={link_flags}", *options],
        cwd=tree, env=env, output=logfile)
    run([*MAKE, f"-j{jobs}"], cwd=tree, env=env, output=logfile)
    if counts_file:
        if os.path.exists(counts_file):
            os.remove(counts_file)
        env["SSE2STR_CALL_COUNTS"] = counts_file
    log(f"{name} ({variant}): make check")
    started = time.time()
    if "tests" in PROGRAMS[name]:
        run_named_tests(PROGRAMS[name]["tests"], tree, env, logfile)
    else:
        run([*MAKE, "-k", f"-j{jobs}", "check"], cwd=tree, env=env, output=logfile,
            check=False)
    log(f"{name} ({variant}): make check took {time.time() - started:.0f} s")
    open(done, "w").close()
    return tree


def run_named_tests(tests, tree, env, logfile):
    """Runs each make target of `tests` (name: make arguments) and records
    its outcome as automake does, in realworld-tests/<name>.trs."""
    results = os.path.join(tree, "realworld-tests")
    os.makedirs(results, exist_ok=True)
    for test, arguments in tests.items():
        status = run([*MAKE, *arguments], cwd=tree, env=env, output=logfile, check=False)
        with open(os.path.join(results, f"{test}.trs"), "w") as f:
            f.write(f":test-result: {'PASS' if status == 0 else 'FAIL'}\n")


def outcomes(tree, per_test=None):
    """Test name -> outcome, from automake's .trs files and autotest's log.

    A test program that runs many tests and reports each on a line of its
    own adds them too, where `per_test` matches those lines (number, name,
    outcome) in the program's automake log.
    """
    results = {}
    for trs in glob.glob(os.path.join(tree, "**", "*.trs"), recursive=True):
        with open(trs, errors="replace") as f:
            for line in f:
                if line.startswith(":test-result:"):
                    results[os.path.relpath(trs, tree)] = line.split(":", 2)[2].strip()
                    break
        program_log = trs[:-len(".trs")] + ".log"
        if per_test and os.path.exists(program_log):
            with open(program_log, errors="replace") as f:
                for line in f:
                    match = re.match(per_test, line)
                    if match:
                        number, test, outcome = match.groups()
                        key = f"{os.path.relpath(program_log, tree)}#{number} {test}"
                        results.setdefault(key, outcome)
    # Autotest suites (tests/testsuite) log one line per test:
    #   "10. Redefining the error token (input.at:341): ok" / "FAILED (x.at:1)"
    #   / "skipped (x.at:1)"; their output shows "10: ... ok" lines alike.
    for suite_log in glob.glob(os.path.join(tree, "**", "testsuite.log"), recursive=True):
        with open(suite_log, errors="replace") as f:
            for line in f:
                match = re.match(r"^\s*(\d+)[:.] (.*?):?\s+(ok|FAILED|skipped|expected failure"
                                 r"|UNEXPECTED PASS)\b", line)
                if match:
                    key = f"{os.path.relpath(suite_log, tree)}#{match.group(1)} {match.group(2)}"
                    results.setdefault(key, match.group(3))
    return results


def counts(path):
    totals = {}
    processes = 0
    if not os.path.exists(path):
        return totals, processes
    with open(path, errors="replace") as f:
        for line in f:
            match = COUNTS_LINE.match(line.strip())
            if not match:
                continue
            processes += 1
            for item in match.group(1).split():
                routine, _, value = item.partition("=")
                totals[routine] = totals.get(routine, 0) + int(value)
    return totals, processes


def summary(results):
    tally = {}
    for outcome in results.values():
        tally[outcome] = tally.get(outcome, 0) + 1
    return ", ".join(f"{n} {o}" for o, n in sorted(tally.items()))


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
    totals = {}
    for name in programs:
        for routine, n in counts(os.path.join(work, f"{name}.counts"))[0].items():
            totals[routine] = totals.get(routine, 0) + n
    lines = [f"all suites ({', '.join(programs)}): calls through the routines:"]
    lines += [f"    {routine:<20} {n:>12}" for routine, n in totals.items()]
    never = [routine for routine, n in totals.items() if n == 0]
    lines.append(f"  called by no suite: {', '.join(never) or 'none'}")
    return lines


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("program", nargs="*")
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--only", choices=("plain", "interposed"))
    parser.add_argument("--compare", action="store_true")
    args = parser.parse_args()
    programs = args.program or list(PROGRAMS)
    unknown = [p for p in programs if p not in PROGRAMS]
    if unknown:
        parser.error(f"unknown program {', '.join(unknown)}; known: {', '.join(PROGRAMS)}")
    work = os.path.abspath(args.work)
    prefix = os.path.abspath(args.prefix)
    os.makedirs(work, exist_ok=True)

    if args.compare:
        report = []
        failed = any([compare(name, name, os.path.join(work, f"{name}-plain"),
                              os.path.join(work, f"{name}-interposed"),
                              os.path.join(work, f"{name}.counts"), report, partial=True)
                      for name in programs])
        report += all_suites(work, programs)
        print("\n".join(report))
        return 1 if failed else 0

    interpose = " ".join([pkg_config(prefix, "--libs", "sse2str-interpose"),
                          pkg_config(prefix, "--variable=call_counts", "sse2str")])
    apt = private_apt(work)
    log("apt-get update (private state)")
    run(apt + ["update"], output=os.path.join(work, "apt-update.log"))

    failed = False
    report = []
    for name in programs:
        source = fetch_source(apt, name, work)
        log(f"{name}: {os.path.basename(source)}")
        counts_file = os.path.join(work, f"{name}.counts")
        if args.only in (None, "plain"):
            plain = build_and_check(name, source, work, "plain", "-no-pie", None, args.jobs)
        if args.only in (None, "interposed"):
            routed = build_and_check(name, source, work, "interposed", interpose, counts_file,
                                     args.jobs)
        if args.only:
            continue
        failed |= compare(name, f"{name} ({os.path.basename(source)})", plain, routed,
                          counts_file, report)
    report += all_suites(work, programs)
    print("\n".join(report))
    with open(os.path.join(work, "report.txt"), "w") as f:
        f.write("\n".join(report) + "\n")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
