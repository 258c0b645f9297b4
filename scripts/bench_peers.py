#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Takes the peers' i386 routines out of Debian's musl and dietlibc packages.

  bench_peers.py --routines memchr,strnlen,... --out build/bench/peers

For each routine of the list of routines and each libc, the peer symbol
`<libc>_<routine>` (`musl_memchr`, `diet_bzero`, ...), it takes the member
of the libc's static libc.a that defines the routine, with the members it
calls, and renames their symbols with the peer's prefix (docs/BENCHMARK.md,
"The candidates" and "Peers that cannot be had").  The package is
downloaded, never installed: musl-dev:i386 conflicts with g++-multilib.
Writes OUT/peers.o (every routine that links cleanly) and OUT/peers.json
(package versions, and per routine the members taken or the reason it was
left out), which the report quotes; OUT/complete only when every package
was had, so that the build tries again instead of keeping a failure.
"""
import argparse
import glob
import json
import os
import subprocess
import sys
from functools import cache

from elf_object import ElfObject, read_objects, run

LIBCS = {
    "musl": {"package": "musl-dev:i386", "archive": "usr/lib/i386-linux-musl/libc.a"},
    "diet": {"package": "dietlibc-dev:i386",
             "archive": "usr/lib/i386-linux-gnu/diet/lib-i386/libc.a"},
}

# Provided by the linker, not by the libc.
LINKER_SYMBOLS = {"_GLOBAL_OFFSET_TABLE_"}

# Sections a member may carry and still count as plain code, besides the
# symbol and string tables and relocations.
CODE_SECTIONS = (".text", ".group", ".note", ".eh_frame", ".comment", ".gnu.warning")
TABLES = (".strtab", ".symtab", ".shstrtab")


@cache
def refresh_lists():
    """Refreshes the package lists, once per run."""
    print("bench_peers.py: package not found; refreshing the package lists (apt-get update)")
    subprocess.run(["apt-get", "-qq", "update"], check=False, capture_output=True)


def download(package, out):
    # As root apt hands the download to its sandbox user, who cannot write
    # into the build tree.
    command = ("apt-get", "-q", "-o", "APT::Sandbox::User=root", "download", package)
    try:
        run(*command, cwd=out)
    except subprocess.CalledProcessError:
        if os.geteuid() != 0:  # only root may refresh the lists
            raise
        refresh_lists()
        run(*command, cwd=out)


def fetch(libc, out):
    """Unpacks the libc's package; returns (root directory, version)."""
    package = LIBCS[libc]["package"]
    name = package.split(":")[0]
    debs = glob.glob(os.path.join(out, f"{name}_*_i386.deb"))
    if not debs:
        download(package, out)
        debs = glob.glob(os.path.join(out, f"{name}_*_i386.deb"))
    if not debs:
        raise OSError(f"apt-get download left no {name} package")
    deb = sorted(debs)[-1]
    root = os.path.join(out, libc)
    run("dpkg-deb", "-x", deb, root)
    version = run("dpkg-deb", "-f", deb, "Version").strip()
    return root, version


class Archive:
    """The symbols and sections of every member of a static library."""

    def __init__(self, path, workdir):
        self.workdir = workdir
        self.members = {}    # member -> ElfObject; the first of several of one name
        self.defines = {}    # member -> set of global symbols it defines
        self.undefined = {}  # member -> set of symbols it refers to
        self.definer = {}    # symbol -> member, strong definitions first
        weak = {}
        for obj in read_objects(path):
            member = obj.path
            if member in self.members:
                continue
            self.members[member] = obj
            external = [s for s in obj.symbols if s.external]
            self.undefined[member] = {s.name for s in external if not s.defined}
            self.defines[member] = {s.name for s in external if s.defined}
            for s in external:
                if s.defined:
                    (weak if s.bind == "WEAK" else self.definer).setdefault(s.name, member)
        for symbol, member in weak.items():
            self.definer.setdefault(symbol, member)

    def extract(self, member):
        path = os.path.join(self.workdir, member)
        with open(path, "wb") as f:
            f.write(self.members[member].contents)
        return path

    def plain_code(self, member):
        """None if the member holds only code, else what else it holds."""
        for s in self.members[member].sections:
            if s.size and s.name not in TABLES and not s.name.startswith((".rel",) + CODE_SECTIONS):
                return f"section {s.name}"
        return None

    def closure(self, symbol):
        """The members `symbol` needs, each with the symbol it is needed for,
        or (None, reason) when they are not all plain code."""
        if symbol not in self.definer:
            return None, f"libc.a does not define {symbol}"
        members, todo = {}, [(self.definer[symbol], symbol)]
        while todo:
            member, wanted_for = todo.pop(0)
            if member in members:
                continue
            other = self.plain_code(member)
            if other:
                return None, f"{member} (for {wanted_for}) holds {other}: libc state, not plain code"
            members[member] = wanted_for
            for needed in sorted(self.undefined[member] - LINKER_SYMBOLS):
                if needed not in self.definer:
                    return None, f"{member} needs {needed}, which libc.a does not define"
                todo.append((self.definer[needed], needed))
        return members, None


def take(libc, routines, out, manifest):
    """Extracts and renames the libc's routines; returns the objects."""
    entry = {"package": LIBCS[libc]["package"], "routines": {}}
    manifest[libc] = entry
    try:
        root, entry["version"] = fetch(libc, out)
        workdir = os.path.join(out, libc + "-members")
        os.makedirs(workdir, exist_ok=True)
        archive = Archive(os.path.join(root, LIBCS[libc]["archive"]), workdir)
    except (subprocess.CalledProcessError, OSError) as e:
        reason = (getattr(e, "stderr", "") or str(e)).strip().splitlines()
        reason = reason[-1] if reason else type(e).__name__
        entry.pop("version", None)
        for routine in routines:
            entry["routines"][routine] = {"status": "left out",
                                          "note": f"{LIBCS[libc]['package']} unavailable ({reason})"}
        return []

    chosen = []
    for routine in routines:
        members, reason = archive.closure(routine)
        if reason:
            entry["routines"][routine] = {"status": "left out", "note": reason}
            continue
        calls = [wanted_for for wanted_for in list(members.values())[1:]]
        note = f"calls {', '.join(calls)} (the libc's own, linked with it)" if calls else ""
        entry["routines"][routine] = {"status": "linked", "members": list(members), "note": note}
        chosen += [m for m in members if m not in chosen]

    # One renaming for every global symbol of the chosen members, defined or
    # referred to, so calls between them stay among them.
    symbols = set()
    for member in chosen:
        symbols |= archive.defines[member] | archive.undefined[member]
    symbols -= LINKER_SYMBOLS
    renames = os.path.join(out, libc + ".renames")
    with open(renames, "w") as f:
        for symbol in sorted(symbols):
            f.write(f"{symbol} {libc}_{symbol}\n")
    objects = []
    for member in chosen:
        renamed = os.path.join(workdir, libc + "_" + member.replace(".lo", ".o"))
        run("objcopy", f"--redefine-syms={renames}", "--remove-section=.gnu.warning*",
            archive.extract(member), renamed)
        objects.append(renamed)
    return objects


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--routines", required=True, help="the standard names, comma-separated")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    complete = os.path.join(args.out, "complete")
    if os.path.exists(complete):
        os.unlink(complete)

    manifest, objects = {}, []
    for libc in LIBCS:
        objects += take(libc, args.routines.split(","), args.out, manifest)

    combined = os.path.join(args.out, "peers.o")
    if objects:
        run("ld", "-r", "-m", "elf_i386", "-o", combined, *objects)
    else:
        run("as", "--32", "-o", combined, "/dev/null")

    # Nothing may be left for the platform's libc to resolve.
    peers = ElfObject(combined)
    loose = peers.undefined() - LINKER_SYMBOLS
    if loose:
        sys.exit(f"bench_peers.py: peers.o refers to {sorted(loose)}")
    defined = {s.name for s in peers.symbols if s.external and s.defined}
    for libc, entry in manifest.items():
        for routine, state in entry["routines"].items():
            if state["status"] == "linked" and f"{libc}_{routine}" not in defined:
                sys.exit(f"bench_peers.py: {libc}_{routine} missing from peers.o")

    with open(os.path.join(args.out, "peers.json"), "w") as f:
        json.dump(manifest, f, indent=2, sort_keys=True)
    for libc, entry in manifest.items():
        if not entry.get("version"):
            reason = next(iter(entry["routines"].values()))["note"]
            print(f"bench_peers.py: {libc} left out, the benchmark runs without it: {reason}")
            continue
        for routine, state in entry["routines"].items():
            if state["status"] != "linked":
                print(f"bench_peers.py: {libc} {routine} left out: {state['note']}")
    if all(entry.get("version") for entry in manifest.values()):
        open(complete, "w").close()


if __name__ == "__main__":
    main()
