# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for 32-bit ARM with hardware floating point (Debian armhf:
# Raspberry Pi OS 32-bit) with Debian's cross toolchain, programs run under
# qemu-user:
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake
# scripts/install-deps armhf installs what it needs.
set(TOVRA_DEB_ARCH armhf)
set(TOVRA_TRIPLET arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(TOVRA_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
