# SPDX-License-Identifier: GPL-2.0-or-later
# Cross build for 64-bit ARM (Debian arm64: Raspberry Pi OS 64-bit, Debian and
# Ubuntu arm64) with Debian's cross toolchain, programs run under qemu-user:
#   cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64.cmake
# scripts/install-deps arm64 installs what it needs.
set(TOVRA_DEB_ARCH arm64)
set(TOVRA_TRIPLET aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(TOVRA_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross.cmake)
