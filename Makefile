# Thin wrapper over CMake. `make demo` and `make test` do all the set-up.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench fuzz install package sanitize clean

all: build

deps:
	@scripts/install-deps

configure: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test: build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

demo: build
	@sim/demo.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DTOVRA_BENCH=ON $(CMAKE_ARGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	@bench/run.sh $(BUILD)-bench

FUZZ_SECONDS ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRA_FUZZ=ON -DTOVRA_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	@fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

sanitize: deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DTOVRA_SANITIZE=ON $(CMAKE_ARGS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	ctest --test-dir $(BUILD)-asan --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-asan
