# The two commands a newcomer needs:
#   make run    install what is missing, build, start a local quillet-server if none runs, open the client
#   make test   install what is missing, build, run every test (plain, then sanitized, then brief fuzzing)
.PHONY: all deps configure build test run clean

BUILD_DIR := build/default
PORT      ?= 2727
SERVER_LOG := $(BUILD_DIR)/quillet-server.log

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake --preset default >/dev/null

build: configure
	@cmake --build --preset default

test: build
	@ctest --preset default
	@$(MAKE) --no-print-directory test-asan test-fuzz

run: build
	@scripts/run-local.sh "$(BUILD_DIR)" "$(PORT)" "$(SERVER_LOG)"

clean:
	rm -rf build

# The whole suite once more, built with AddressSanitizer and UndefinedBehaviorSanitizer (build/asan;
# suppressions in tools/). Part of make test.
.PHONY: asan test-asan
asan: deps
	@cmake --preset asan >/dev/null
	@cmake --build --preset asan
test-asan: asan
	@ctest --preset asan

# libFuzzer targets (clang, build/fuzz; see fuzz/CMakeLists.txt). make test replays every seed and
# fuzzes each target FUZZ_SHORT seconds; make fuzz fuzzes each target FUZZ_SECONDS seconds.
FUZZ_SECONDS ?= 60
FUZZ_SHORT   ?= 15
.PHONY: fuzz-build test-fuzz fuzz
fuzz-build: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
test-fuzz: fuzz-build
	@ctest --preset fuzz
	@tools/run-fuzzers.sh build/fuzz $(FUZZ_SHORT)
fuzz: fuzz-build
	@tools/run-fuzzers.sh build/fuzz $(FUZZ_SECONDS)

# make bench: builds the benchmarks (and the programs they measure) in Release, runs every one and
# prints one table; see docs/performance.md.
.PHONY: bench
bench: deps
	@cmake --preset release >/dev/null
	@cmake --build --preset release --target benchmarks -j2
	@bench/run-benchmarks.sh build/release

# make package: the Debian packages quillet, quillet-server, libvarrow1 and libvarrow-dev, built in
# Release (build/package) into build/packages/. Install with: sudo apt-get install ./build/packages/*.deb
# make screenshots: the README's pictures (docs/images/), from the real client on a virtual X display.
.PHONY: package screenshots
package: deps
	@cmake -S . -B build/package -G Ninja -DCMAKE_BUILD_TYPE=Release \
	    -DQUILLET_BUILD_TESTS=OFF -DQUILLET_BUILD_BENCH=OFF >/dev/null
	@cmake --build build/package -j2
	@cpack -G DEB -B build/packages --config build/package/CPackConfig.cmake
screenshots: build
	@scripts/screenshots.sh "$(BUILD_DIR)"
