# SPDX-License-Identifier: GPL-2.0-or-later
# Thin wrapper over CMake. `make demo` and `make test` first install the Debian
# packages they miss (the demo only the build set, the tests the test set on
# top); NO_DEPS=1 skips that on systems without apt. Nothing else installs.
#
# ARCH=arm64 or ARCH=armhf cross-builds for that Debian architecture, with the
# toolchain file cmake/$(ARCH).cmake, in a folder of its own (build-$(ARCH));
# make test ARCH=... runs the suite under qemu-user. Empty ARCH: this machine's.
ARCH       ?=
ifeq ($(ARCH),)
BUILD      ?= build
else
ifeq ($(wildcard cmake/$(ARCH).cmake),)
$(error ARCH=$(ARCH): no cmake/$(ARCH).cmake; the cross builds are arm64 and armhf)
endif
BUILD      ?= build-$(ARCH)
CROSS      = -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/$(ARCH).cmake)
# GoogleTest for the target, built from Debian's sources (package googletest).
GTEST      = $(BUILD)/googletest
GTEST_DONE = $(GTEST)/lib/cmake/GTest/GTestConfig.cmake
CROSS_TEST = -DCMAKE_PREFIX_PATH=$(abspath $(GTEST))
endif
BUILD_TYPE ?= RelWithDebInfo
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_ARGS ?=

DEPS      = scripts/install-deps
CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(CROSS)
# ctest runs in the build folder: --test-dir needs CMake 3.20.
CTEST     = ctest --output-on-failure --no-tests=error -j $(JOBS)

.PHONY: all deps configure build test kernel-test demo bench fuzz install package sanitize valgrind clean

all: build

deps:
	@$(DEPS) test $(ARCH)

configure:
	$(CONFIGURE) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

test:
	@$(DEPS) test $(ARCH)
	$(if $(ARCH),@$(MAKE) --no-print-directory $(GTEST_DONE))
	$(CONFIGURE) -DTOVRA_TESTS=ON $(CROSS_TEST) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)
	cd $(BUILD) && $(CTEST)

ifneq ($(ARCH),)
$(GTEST_DONE):
	cmake -S /usr/src/googletest -B $(GTEST)/build -DCMAKE_BUILD_TYPE=Release $(CROSS) >/dev/null
	cmake --build $(GTEST)/build -j $(JOBS) >/dev/null
	cmake --install $(GTEST)/build --prefix $(GTEST) >/dev/null
endif

# The installed programs on a real kernel: Debian's, under QEMU, with the
# simulated controller and USB-serial adapters on its own USB stack. The
# kernel and udev are fetched with apt-get download into a cache, not installed.
# ARCH=arm64: Debian's arm64 kernel, with the arm64 programs and then with the
# armhf ones (built in $(BUILD)/armhf), whose guest user space is Debian's
# arm64 and armhf packages, fetched the same way.
KERNEL_TARGETS = tovra-control tovra-terminal tovra_stamped usbip-controller sky-box
kernel-test:
ifeq ($(ARCH),)
	@$(DEPS) build kernel
	$(CONFIGURE) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(KERNEL_TARGETS)
	tests/kernel/run.sh $(BUILD)
else ifeq ($(ARCH),arm64)
	@$(DEPS) arm64 armhf kernel-arm64
	$(CONFIGURE) $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target $(KERNEL_TARGETS)
	cmake -S . -B $(BUILD)/armhf -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_TOOLCHAIN_FILE=$(abspath cmake/armhf.cmake) $(CMAKE_ARGS)
	cmake --build $(BUILD)/armhf -j $(JOBS) --target $(KERNEL_TARGETS)
	KERNEL_ARCH=arm64 tests/kernel/run.sh $(BUILD) $(BUILD)/armhf
else
	@echo "make kernel-test ARCH=$(ARCH): the ARM kernel test is ARCH=arm64, which runs the armhf programs too" >&2; exit 2
endif

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

# The Debian source package and the .deb, built by dpkg-buildpackage in
# $(BUILD) (scripts/build-package): install it with `apt-get install
# ./build/tovra-control_*.deb`. A native build runs the test suite
# (DEB_BUILD_OPTIONS=nocheck skips it); ARCH=... cross-builds the .deb only,
# without the tests. Needs debhelper besides the test set.
package:
	JOBS=$(JOBS) scripts/build-package $(BUILD) $(ARCH)
	@ls -1 $(BUILD)/tovra-control_*

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
