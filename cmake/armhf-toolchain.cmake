# SPDX-License-Identifier: MIT
# Cross build for 32-bit ARM boards (hard-float EABI) with Debian's
# crossbuild-essential-armhf. Test programs run under qemu-user:
#
#   cmake -S . -B build-armhf -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# Another ARM toolchain: -DWARDEND_ARM_TRIPLET=..., and the folder of its
# target libraries in the environment variable WARDEND_ARM_SYSROOT when the
# tests run (default /usr/<triplet>, as Debian installs them).

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(WARDEND_ARM_TRIPLET arm-linux-gnueabihf CACHE STRING "GNU triplet of the board's toolchain")

# Debian's cross g++ by default; clang works too (-DCMAKE_C_COMPILER=clang
# -DCMAKE_CXX_COMPILER=clang++), with the same target and libraries.
if(NOT DEFINED CMAKE_C_COMPILER)
  set(CMAKE_C_COMPILER ${WARDEND_ARM_TRIPLET}-gcc)
endif()
if(NOT DEFINED CMAKE_CXX_COMPILER)
  set(CMAKE_CXX_COMPILER ${WARDEND_ARM_TRIPLET}-g++)
endif()
set(CMAKE_C_COMPILER_TARGET ${WARDEND_ARM_TRIPLET})
set(CMAKE_CXX_COMPILER_TARGET ${WARDEND_ARM_TRIPLET})

# Debian's multiarch cross toolchain finds its own headers and libraries;
# only keep CMake from picking host packages for the target.
set(CMAKE_FIND_ROOT_PATH /usr/${WARDEND_ARM_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (unit tests, the device recorder, the daemon in the
# integration tests) run under qemu-user with the target's dynamic loader and
# libraries. The wrapper keeps the emulator a single word, so it survives
# being passed on through CTest's environment lists and the test harness.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/qemu-armhf)
