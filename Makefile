# SPDX-License-Identifier: GPL-2.0-or-later
# Thin wrapper over CMake. `make demo` and `make test` do all the set-up.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

.PHONY: all deps configure build test demo bench fuzz install package sanitize valgrind clean

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

# `make install PREFIX=/usr` puts the udev rules where udev reads them;
# DESTDIR=/some/folder stages the whole tree there instead.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package for /usr: install it with `apt-get install ./build/tovra-control_*.deb`.
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -1 $(BUILD)/*.deb

# The command-line tests once more, with every run of the programs under
# memcheck: a leak or a memory error makes that run exit 99 and its test fail.
VALGRIND ?= valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --quiet
valgrind: build
	@TOVRA_DEPS_EXTRA=valgrind scripts/install-deps
	TOVRA_TEST_WRAPPER="$(VALGRIND)" ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS) -L cli --no-tests=error --timeout 900

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-asan
