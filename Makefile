# Wraps the CMake build: `make` builds the programs into build/bin,
# `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c

.PHONY: all test bench check mutants fuzz install uninstall package clean

all: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target server client pages

# A packager's prefix for the programs' names, given on the command line
# (make PROGRAM_PREFIX=udp-), configures the build folder anew.
ifeq ($(origin PROGRAM_PREFIX),command line)
override CONFIGURE_FLAGS += -DPROGRAM_PREFIX=$(PROGRAM_PREFIX)
.PHONY: $(BUILD)/Makefile
endif

$(BUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CONFIGURE_FLAGS)

# Builds everything, the tests with GoogleTest among it, and runs them; with
# no test built (GoogleTest missing) it fails rather than pass on nothing.
# The tests that skipped (they need root, say) are listed with the reason.
SKIPPED = awk '/^\[ RUN +\]/ { test = $$NF } /: Skipped$$/ { getline why; \
  print "skipped: " test ": " why }' Testing/Temporary/LastTest.log
test: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && ctest --output-on-failure --no-tests=error -j $(JOBS); \
	  passed=$$?; $(SKIPPED); exit $$passed

# Installs the programs into $(PREFIX)/bin, their manual pages into
# $(PREFIX)/share/man/man1, the copyright and changelog into
# $(PREFIX)/share/doc/sentences and the server's service unit into
# $(PREFIX)/lib/systemd/system, under $(DESTDIR) if given; it replaces no
# file it did not install (FORCE=1 does), and records what it installs in
# $(PREFIX)/share/sentences/installed. Uninstall removes each file recorded
# that is still as installed.
PREFIX ?= /usr/local
install: all
	DESTDIR=$(DESTDIR) packaging/install-files $(BUILD) $(PREFIX) $(FORCE)

uninstall:
	DESTDIR=$(DESTDIR) packaging/uninstall-files $(PREFIX)

# Makes a Debian package of the programs, their pages, documents and the
# service unit in $(BUILD), building only those; dpkg-shlibdeps (dpkg-dev)
# works out its dependencies.
package: all
	cd $(BUILD) && cpack

# Measures the programs on loopback; BENCH_FLAGS="--lines 20000 --runs 3" for a
# quicker look.
bench: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS) --target bench server client
	$(BUILD)/bin/bench --server $(BUILD)/bin/server --client $(BUILD)/bin/client $(BENCH_FLAGS)

# Runs every test under AddressSanitizer and UndefinedBehaviorSanitizer,
# then cppcheck and clang-tidy whatever the tests did, and ends with one
# summary; fails if any of them found anything. FILES="a.cpp b.cpp" gives
# clang-tidy only those files.
CHECK_BUILD = $(BUILD)-check
check:
	CHECK_BUILD=$(CHECK_BUILD) JOBS=$(JOBS) FILES="$(FILES)" tests/check

# Applies each deliberate fault of tests/mutants/faults to a scratch copy,
# and tells which tests caught it; MUTANTS="-k queue.cpp" for some only.
mutants:
	tests/mutants/run $(MUTANTS)

# Fuzzes the handling of a received payload for FUZZ_SECONDS with clang's
# libFuzzer, starting from the kept inputs in fuzz/corpus (add any input that
# once failed there).
FUZZ_BUILD = $(BUILD)-fuzz
FUZZ_SECONDS ?= 60
fuzz:
	CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DFUZZ=ON -DBUILD_TESTING=OFF
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target payload_fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/bin/payload_fuzz -max_total_time=$(FUZZ_SECONDS) \
	  -artifact_prefix=$(FUZZ_BUILD)/ $(FUZZ_BUILD)/corpus fuzz/corpus

clean:
	rm -rf $(BUILD) $(CHECK_BUILD) $(FUZZ_BUILD) $(BUILD)-libcxx
