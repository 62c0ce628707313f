# Everything starts here: `make run` and `make test` work on a fresh Debian 12.
#   make run      install what the program needs, build it alone, open the window
#   make check    the quick loop: unit and widget tests (ctest -L check)
#   make test     the whole suite: ctest, a 30 s fuzz run, the sanitizer suite
#   make bench    the benchmarks beside their baselines (docs/performance.md)
#   make package  a Debian package in build/
#   make windows  the Windows program and its download, build-windows/tavrelle.exe and
#                 build-windows/tavrelle-VERSION-windows-x86_64.zip (mingw-w64)
# A recipe's pipeline fails when any of its commands fails.
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
# Two jobs more than the cores, as ninja itself picks on larger machines: a
# job that waits on the disk leaves no core idle, and the build keeps its
# pace on a busy machine.
JOBS ?= $(shell echo $$(($$(nproc) + 2)))
# One start for the whole make, recursive ones included: the stage lines
# count from it (scripts/progress.sh).
ifndef TAVRELLE_MAKE_STARTED
TAVRELLE_MAKE_STARTED := $(shell date +%s)
endif
export TAVRELLE_MAKE_STARTED
CONFIGURE = cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

.PHONY: all run check test bench fuzz package windows clean

all: run-build

# The program alone: no GoogleTest, Google Benchmark or test tools needed.
.PHONY: run-build
run-build:
	@scripts/progress.sh "checking the packages the program needs"
	@scripts/install-deps.sh run
	@scripts/progress.sh "configuring and building tavrelle alone (about 2 minutes the first time on 2 cores, seconds after)"
	@{ $(CONFIGURE) -DTAVRELLE_BUILD_TESTS=OFF -DTAVRELLE_BUILD_BENCH=OFF && \
	  cmake --build $(BUILD_DIR) -j $(JOBS) --target tavrelle; } 2>&1 | scripts/progress.sh --beat "the build"

# The display is checked before anything is installed, built or started.
run:
	@scripts/run.sh --check-display
	@scripts/progress.sh "make run: install what is missing, build the program, open the window"
	@$(MAKE) --no-print-directory run-build
	@scripts/run.sh $(BUILD_DIR)/src/tavrelle

.PHONY: test-build
test-build:
	@scripts/install-deps.sh run test alsa
	@$(CONFIGURE) -DTAVRELLE_BUILD_TESTS=ON -DTAVRELLE_BUILD_BENCH=OFF
	@cmake --build $(BUILD_DIR) -j $(JOBS)

check: test-build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j $(shell nproc) -L '^check$$'

# Cross-compiled with mingw-w64; its tests (ctest -L windows) run it under Wine
# and build the zip a second time elsewhere to show the same bytes.
WINDOWS_BUILD_DIR ?= build-windows
windows:
	@scripts/install-deps.sh windows
	@cmake -S . -B $(WINDOWS_BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTAVRELLE_BUILD_TESTS=ON >/dev/null
	@cmake --build $(WINDOWS_BUILD_DIR) -j $(JOBS)

# Stage by stage, never quiet for long (scripts/make-test.sh).
test:
	@scripts/make-test.sh $(BUILD_DIR) $(MAKE)

bench:
	@scripts/install-deps.sh run test bench
	@$(CONFIGURE) -DTAVRELLE_BUILD_TESTS=ON -DTAVRELLE_BUILD_BENCH=ON
	@cmake --build $(BUILD_DIR) -j $(JOBS)
	@scripts/bench.sh $(BUILD_DIR)

package: run-build
	@scripts/install-deps.sh package
	@cmake --build $(BUILD_DIR) -j $(JOBS) --target package

fuzz:
	@scripts/install-deps.sh run test
	@scripts/fuzz-settings.sh 600

clean:
	@rm -rf $(BUILD_DIR) $(WINDOWS_BUILD_DIR) build-asan build-fuzz
