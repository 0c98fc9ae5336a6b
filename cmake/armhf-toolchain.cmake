# Cross build for 32-bit ARM boards (hard-float EABI) with Debian's
# crossbuild-essential-armhf. Test programs run under qemu-user:
#
#   cmake -S . -B build-armhf -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/armhf-toolchain.cmake
#
# The triplet and the target library folder can be overridden for another
# ARM toolchain: -DWARDEND_ARM_TRIPLET=... -DWARDEND_ARM_SYSROOT=...

set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(WARDEND_ARM_TRIPLET arm-linux-gnueabihf CACHE STRING "GNU triplet of the board's toolchain")
set(WARDEND_ARM_SYSROOT /usr/${WARDEND_ARM_TRIPLET} CACHE PATH "Target libraries used by the emulator")

set(CMAKE_C_COMPILER ${WARDEND_ARM_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${WARDEND_ARM_TRIPLET}-g++)
find_program(CMAKE_STRIP ${WARDEND_ARM_TRIPLET}-strip)

# Debian's multiarch cross toolchain finds its own headers and libraries;
# only keep CMake from picking host packages for the target.
set(CMAKE_FIND_ROOT_PATH ${WARDEND_ARM_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Target programs (unit tests, the device recorder, the daemon in the
# integration tests) run under user-mode emulation with the target's
# dynamic loader and libraries.
find_program(WARDEND_QEMU_ARM qemu-arm)
if(WARDEND_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${WARDEND_QEMU_ARM} -L ${WARDEND_ARM_SYSROOT})
endif()
