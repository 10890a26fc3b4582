# SPDX-License-Identifier: GPL-2.0-or-later
# What the cross builds share; arm64.cmake and armhf.cmake name the target
# (TOVRA_DEB_ARCH, TOVRA_TRIPLET, CMAKE_SYSTEM_PROCESSOR, TOVRA_QEMU).
#
# Debian's cross compilers are multiarch-aware: they find the target's
# libraries in /usr/lib/TRIPLET (packages such as libusb-0.1-4:arm64) and the
# headers in /usr/include, so there is no sysroot to set. The libraries of the
# build machine live in /usr/lib/<its triplet>, where nothing here looks.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${TOVRA_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TOVRA_TRIPLET}-g++)
set(CMAKE_STRIP ${TOVRA_TRIPLET}-strip CACHE FILEPATH "the target's strip")
set(CMAKE_LIBRARY_ARCHITECTURE ${TOVRA_TRIPLET})
# pkg-config would answer for the build machine: the cross build finds libusb
# by hand (CMakeLists.txt), and reads only data folders (udev, bash-completion)
# through pkg-config, which are the same for every architecture.

# ctest and gtest_discover_tests run the target's programs under qemu-user;
# the CLI tests start the programs they test the same way (tests/harness.h).
# qemu finds the target's loader and libraries in Debian's multiarch folders.
find_program(TOVRA_QEMU_PATH ${TOVRA_QEMU})
if(TOVRA_QEMU_PATH)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVRA_QEMU_PATH})
else()
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TOVRA_QEMU})
endif()
