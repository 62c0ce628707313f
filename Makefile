# Everything starts here: `make run` and `make test` work on a fresh Debian 12.
BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build run test bench fuzz package clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_FLAGS) >/dev/null

build: configure
	@cmake --build $(BUILD_DIR) -j $(JOBS)

run: build
	@scripts/run.sh $(BUILD_DIR)/src/tavrelle

test: build
	@ctest --test-dir $(BUILD_DIR) --output-on-failure -j 1
	@scripts/fuzz-settings.sh 30
	@scripts/sanitize-test.sh

bench: build
	@scripts/bench.sh $(BUILD_DIR)

package: build
	@cmake --build $(BUILD_DIR) --target package

fuzz: deps
	@scripts/fuzz-settings.sh 600

clean:
	@rm -rf $(BUILD_DIR) build-asan build-fuzz
