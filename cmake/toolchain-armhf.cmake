# Cross build for the 32-bit little-endian ARM board (hard-float, glibc) with
# Debian's arm-linux-gnueabihf toolchain. Libraries come from the :armhf
# packages installed through multiarch; tests run under qemu user-mode.
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(ZOTA_ARMHF_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${ZOTA_ARMHF_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ZOTA_ARMHF_TRIPLET}-g++)

# Multiarch: headers and libraries of the :armhf packages sit under
# /usr/include/<triplet> and /usr/lib/<triplet>, the cross C library under
# /usr/<triplet>. With the library architecture set, searches only look in the
# armhf directories, so no library of the build machine gets into the link.
set(CMAKE_LIBRARY_ARCHITECTURE ${ZOTA_ARMHF_TRIPLET})
set(CMAKE_FIND_ROOT_PATH /usr/${ZOTA_ARMHF_TRIPLET} /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must describe the target's libraries, not the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${ZOTA_ARMHF_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_SYSROOT_DIR} /)

# GCC notes every std:: type whose argument passing changed in GCC 7.1; we
# build everything with one compiler, so the note is noise.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# Test programs, and gtest_discover_tests at build time, run under qemu. The
# dynamic loader and C library come from the :armhf packages (multiarch), not
# from the cross toolchain's copy under /usr/<triplet>: mixing the two builds of
# glibc crashes every program that starts a thread.
# Only the tests need it (tests/CMakeLists.txt insists); the plug-in-only build
# runs nothing.
find_program(ZOTA_QEMU_ARM qemu-arm)
if(ZOTA_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZOTA_QEMU_ARM})
endif()
