# Wraps the CMake build: `make` builds the programs into build/bin,
# `make test` builds and runs every test.
BUILD ?= build
JOBS ?= $(shell nproc)
MAKEFLAGS += --no-print-directory

.PHONY: all test bench clean

all: $(BUILD)/Makefile
	cmake --build $(BUILD) -j $(JOBS)

$(BUILD)/Makefile: CMakeLists.txt
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# Measures the programs on loopback; BENCH_FLAGS="--lines 20000 --runs 3" for a
# quicker look.
bench: all
	$(BUILD)/bin/bench --server $(BUILD)/bin/server --client $(BUILD)/bin/client $(BENCH_FLAGS)

clean:
	rm -rf $(BUILD)
