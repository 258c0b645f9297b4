# SPDX-License-Identifier: MIT
# Front door.  Every target first installs what it needs (scripts/setup.sh),
# then drives CMake and Ninja in build/.
#
#   make bench [QUICK=1]       the side-by-side benchmark; results in build/bench/
#   make bench-readme          the README's benchmark headline from the last run
#   make modules [PROFILE=0]   the seven objects in build/modules/ and libsse2str.a,
#                              assembled from gen/ and checked
#   make regen                 gen/ anew from the C++ with the pinned compiler
#                              (GCC 12); read the diff and commit it
#   make test [ARGS=...]       the test suite through CTest, after building what
#                              it runs; ARGS go to ctest (ARGS='-R memchr')
#   make test-clang            the same suite built with Clang, the modules
#                              assembled by its assembler (in build-clang/)
#   make lint                  the build with warnings as errors, clang-tidy on the
#                              shipped sources, clang-format on changed lines
#   make format                clang-format the lines changed since main
#   make install PREFIX=dir    objects, archive, header, CMake package and
#                              pkg-config file under dir (default /usr/local)
#   make dist                  the source and binary archives and SHA256SUMS in
#                              build/dist/, from the commit checked out
#   make deb                   the Debian package in build/deb/, from the commit
#                              checked out, and lintian's word on it
#   make fuzz [SECONDS=60]     every fuzz target for SECONDS seconds
#   make mutants               the mutation check of the test suite
#   make prove [FULL=1]        the proof of every object for every size, each
#                              loop by induction; FULL=1 every object up
#                              to the bound that reaches all code instead (a
#                              cross-check, hours); report in
#                              build/proof-report.txt; a bounded run that was
#                              stopped resumes where it stopped
#   make realworld [PROGRAMS=grep] [REALWORLD_FLAGS=--no-suites]  real
#                              programs' own test suites, with and without the
#                              routines, and one workload of each timed
#                              (network; long under emulation; not part of
#                              make test)
#   make clean

BUILD    ?= build
PROFILE  ?= 1
JOBS     ?= $(shell nproc)
PREFIX   ?= /usr/local
COMPILER ?= gcc
SECONDS  ?= 60

# The distribution's Python, which has its z3, capstone and pyelftools.
PROOF_PYTHON = /usr/bin/python3

TOOLCHAIN = cmake/i386-$(if $(filter clang,$(COMPILER)),clang-)toolchain.cmake

CMAKE_CONFIGURE = cmake -S . -B $(BUILD) -G Ninja \
                  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/$(TOOLCHAIN) \
                  -DSSE2STR_PROFILE=$(if $(filter 0,$(PROFILE)),OFF,ON) $(CMAKE_EXTRA)

.PHONY: all bench bench-readme modules regen test test-clang fuzz mutants prove lint format \
        install dist deb realworld clean

all: modules

modules:
	@scripts/setup.sh build
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) --target modules
	@ls $(BUILD)/modules

# The generated assembly made anew from the sources and copied to gen/.
regen:
	@scripts/setup.sh build regen
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) --target regen

test:
	@scripts/setup.sh test$(if $(filter clang,$(COMPILER)), clang)
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=ON -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD)
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) $(ARGS)

test-clang:
	@$(MAKE) --no-print-directory test COMPILER=clang BUILD=build-clang

# Builds everything in $(BUILD) with -Werror; the setting stays in the CMake
# cache, so a following make test reuses the objects.
lint:
	@scripts/setup.sh test lint
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=ON -DSSE2STR_BENCH=OFF -DSSE2STR_WERROR=ON >/dev/null
	@cmake --build $(BUILD)
	@scripts/lint.py

format:
	@scripts/setup.sh lint
	@scripts/lint.py --fix

# The prefix is given at configure time too: the library directory depends
# on it (lib/i386-linux-gnu under /usr, lib elsewhere).
install:
	@scripts/setup.sh build
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF -DSSE2STR_BENCH=OFF -DCMAKE_INSTALL_PREFIX=$(PREFIX) >/dev/null
	@cmake --build $(BUILD) --target modules
	@cmake --install $(BUILD) --prefix $(PREFIX)

# The release files are made from the commit checked out, never from the
# working tree (uncommitted changes are left out, with a warning), in a
# scratch folder: scripts/release.py.
dist:
	@scripts/setup.sh dist
	@scripts/release.py dist --out $(BUILD)/dist

deb:
	@scripts/setup.sh deb
	@deb=$$(scripts/release.py deb --out $(BUILD)/deb) && echo $$deb && \
	  lintian --fail-on error $$deb

# Every candidate interleaved at random, each measurement repeated; the report
# takes the minimum and the median of the repetitions.
BENCH_DIR   = $(BUILD)/bench
BENCH_QUICK = $(filter 1,$(QUICK))
BENCH_FLAGS = --benchmark_enable_random_interleaving=true \
              --benchmark_repetitions=$(if $(BENCH_QUICK),3,5) \
              --benchmark_min_time=$(if $(BENCH_QUICK),0.002,0.01) \
              --benchmark_out=$(BENCH_DIR)/results.json --benchmark_out_format=json

bench:
	@scripts/setup.sh bench
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF -DSSE2STR_BENCH=ON >/dev/null
	@cmake --build $(BUILD) --target modules sse2str_bench
	@echo "sse2str: running the benchmark$(if $(BENCH_QUICK), (quick)) (log: $(BENCH_DIR)/console.log)"
	@$(BENCH_DIR)/sse2str_bench $(if $(BENCH_QUICK),--quick) $(BENCH_FLAGS) >$(BENCH_DIR)/console.log 2>&1 \
	  || { tail -n 20 $(BENCH_DIR)/console.log; exit 1; }
	@cut -d' ' -f1 /proc/loadavg >$(BENCH_DIR)/load-end
	@$(BENCH_DIR)/bench_report --results $(BENCH_DIR)/results.json \
	         --peers $(BENCH_DIR)/peers/peers.json --out $(BENCH_DIR) \
	         --load-end $$(cat $(BENCH_DIR)/load-end)

# The README's benchmark headline (verdict table and overview plot) from the
# last run in $(BENCH_DIR); run it after a full make bench.
bench-readme:
	@$(BENCH_DIR)/bench_report --results $(BENCH_DIR)/results.json \
	         --peers $(BENCH_DIR)/peers/peers.json --out $(BENCH_DIR) \
	         --load-end $$(cat $(BENCH_DIR)/load-end) --readme README.md

fuzz:
	@scripts/setup.sh test
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=ON -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) --target fuzz_targets
	@scripts/fuzz.sh run $(BUILD)/fuzz $(SECONDS)

mutants:
	@scripts/setup.sh test regen
	@scripts/mutate.py

# The list of objects comes from the test build's configuration
# (tests/proof/CMakeLists.txt); only the objects themselves are built.  The
# proved pieces kept in build/tests/proof/kept are taken again only for the
# same object bytes, bound and proof code.
prove:
	@scripts/setup.sh test
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=ON -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) --target proof_objects
	@$(PROOF_PYTHON) tests/proof/prove.py --list $(BUILD)/tests/proof/objects.txt \
	         --report $(BUILD)/proof-report.txt --jobs $(JOBS) --keep $(BUILD)/tests/proof/kept \
	         $(if $(filter 1,$(FULL)),--full,--complete)

# Debian's source packages of real programs, each built for i386 plainly and
# with sse2str-interpose-profiled and the counting hook, its own test suite
# run for both; then one workload of each program checked, counted and timed
# plainly, through sse2str-interpose and through sse2str-dispatch (times only
# where i386 programs run natively).  Results in $(REALWORLD_DIR)/report.txt.
# Builds and results are kept there: remove the directory to start again.
# REALWORLD_FLAGS: --no-suites, --no-workloads, --runs N (scripts/realworld.py).
REALWORLD_DIR = $(BUILD)/realworld
PROGRAMS ?=
REALWORLD_FLAGS ?=

realworld:
	@scripts/setup.sh build realworld
	@$(CMAKE_CONFIGURE) -DSSE2STR_TESTS=OFF -DSSE2STR_BENCH=OFF >/dev/null
	@cmake --build $(BUILD) --target modules
	@rm -rf $(REALWORLD_DIR)/prefix
	@cmake --install $(BUILD) --prefix $(REALWORLD_DIR)/prefix >/dev/null
	@python3 scripts/realworld.py --prefix $(REALWORLD_DIR)/prefix --work $(REALWORLD_DIR) \
	         --jobs $(JOBS) $(REALWORLD_FLAGS) $(PROGRAMS)

clean:
	rm -rf $(BUILD) build-clang build-lint
