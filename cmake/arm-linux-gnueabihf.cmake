# SPDX-License-Identifier: Apache-2.0
# Cross build for the target: 32-bit ARM Linux (glibc, hard-float ABI) with Debian's
# arm-linux-gnueabihf cross compiler. Test programs run under user-mode emulation: CTest and
# gtest_discover_tests start them through CMAKE_CROSSCOMPILING_EMULATOR.
#   cmake -S . -B build-arm -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(KOVEX4_TRIPLE arm-linux-gnueabihf)
# The target's libraries and headers (Debian's cross packages install them here).
set(KOVEX4_TARGET_ROOT /usr/${KOVEX4_TRIPLE})
set(CMAKE_C_COMPILER ${KOVEX4_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${KOVEX4_TRIPLE}-g++)

# Debian's cross compiler already searches KOVEX4_TARGET_ROOT on its own (it is configured with
# the sysroot "/"); passing it as CMAKE_SYSROOT (--sysroot) would make the linker look for
# /usr/arm-linux-gnueabihf/usr/arm-linux-gnueabihf/lib. It is the root for CMake's find
# functions and the emulator's library prefix instead.
set(CMAKE_FIND_ROOT_PATH ${KOVEX4_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Only running the tests needs the emulator; building (and packaging) does not.
find_program(KOVEX4_QEMU NAMES qemu-arm-static qemu-arm)
# OpenSSL comes from Debian's armhf packages (multiarch, /usr/lib/arm-linux-gnueabihf), which the
# cross linker searches on its own. They bring the armhf C library along, which the loader would
# then also find there, and which need not be the cross compiler's version: the emulated loader
# looks in the cross C library's folder first, so that loader and C library always match.
if(KOVEX4_QEMU)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${KOVEX4_QEMU} -L ${KOVEX4_TARGET_ROOT} -E
                                      LD_LIBRARY_PATH=${KOVEX4_TARGET_ROOT}/lib)
endif()
