# SPDX-License-Identifier: GPL-2.0-or-later
# Thin wrapper over CMake. `make demo` and `make test` first install the Debian
# packages they miss (the demo only the build set, the tests the test set on
# top); NO_DEPS=1 skips that on systems without apt. Nothing else installs.
BUILD      ?= build
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

DEPS      = scripts/install-deps
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
# ctest runs in the build folder: --test-dir needs CMake 3.20.
CTEST     = ctest --output-on-failure --no-tests=error -j $(JOBS)

.PHONY: all deps configure build test kernel-test demo bench fuzz install package sanitize valgrind clean

all: build

deps:
	@$(DEPS) test

configure:
	$(CONFIGURE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test:
	@$(DEPS) test
	$(CONFIGURE) -DTOVRA_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && $(CTEST)

# The installed programs on a real kernel: Debian's, under QEMU, with the
# simulated controller and USB-serial adapters on its own USB stack. The
# kernel and udev are fetched with apt-get download into a cache, not installed.
KERNEL_TARGETS = tovra-control tovra-terminal tovra_stamped usbip-controller sky-box
kernel-test:
	@$(DEPS) build kernel
	$(CONFIGURE) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(KERNEL_TARGETS)
	tests/kernel/run.sh $(BUILD)

# Only the programs the demo runs, quietly: what it prints is the demo.
DEMO_TARGETS = tovra-control tovra_simusb sky-box
demo:
	@$(DEPS) build
	@$(CONFIGURE) $(CMAKE_ARGS) >/dev/null
	@echo "Building $(DEMO_TARGETS) in $(BUILD)/"
	@cmake --build $(BUILD) -j $(JOBS) --target $(DEMO_TARGETS) >/dev/null
	@sim/demo.sh $(BUILD)

bench:
	@$(DEPS) bench
	cmake -S . -B $(BUILD)-bench -DCMAKE_BUILD_TYPE=Release -DTOVRA_BENCH=ON -DTOVRA_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-bench -j $(JOBS)
	@bench/run.sh $(BUILD)-bench

FUZZ_SECONDS ?= 60
fuzz:
	@$(DEPS) fuzz
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTOVRA_FUZZ=ON -DTOVRA_TESTS=OFF $(CMAKE_ARGS)
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	@fuzz/run.sh $(BUILD)-fuzz $(FUZZ_SECONDS)

sanitize:
	@$(DEPS) test
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DTOVRA_SANITIZE=ON -DTOVRA_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && $(CTEST)

# `make install PREFIX=/usr` puts the udev rules where udev reads them;
# DESTDIR=/some/folder stages the whole tree there instead.
PREFIX ?= /usr/local
install: build
	DESTDIR=$(DESTDIR) cmake --install $(BUILD) --prefix $(PREFIX)

# A Debian package for /usr: install it with `apt-get install ./build/tovra-control_*.deb`.
# Needs dpkg-dev and file besides the build set (make test installs them).
package: build
	cd $(BUILD) && cpack -G DEB
	@ls -1 $(BUILD)/*.deb

# The command-line tests once more, with every run of the programs under
# memcheck: a leak or a memory error makes that run exit 99 and its test fail.
VALGRIND ?= valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect,possible --errors-for-leak-kinds=definite,indirect,possible --quiet
valgrind:
	@$(DEPS) valgrind
	$(CONFIGURE) -DTOVRA_TESTS=ON $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && TOVRA_TEST_WRAPPER="$(VALGRIND)" $(CTEST) -L cli --timeout 900

clean:
	rm -rf $(BUILD) $(BUILD)-bench $(BUILD)-fuzz $(BUILD)-asan
