# Cross-building for 32-bit ARM boards (Debian 12 armhf) from a Debian 12 machine
# with crossbuild-essential-armhf, against an armhf root holding the libraries
# (scripts/armhf-sysroot.sh makes it):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake \
#         -DTAVO_ARMHF_SYSROOT=/path/to/root
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TAVO_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TAVO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVO_TRIPLET}-g++)
# GCC notes on ARM that passing some std::pair iterators changed in GCC 7.1: news
# for code mixed with objects of a GCC before 7.1, which nothing here is.
set(CMAKE_C_FLAGS_INIT -Wno-psabi)
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

if(NOT TAVO_ARMHF_SYSROOT)
    message(FATAL_ERROR "TAVO_ARMHF_SYSROOT must name the armhf root (scripts/armhf-sysroot.sh DIR makes one)")
endif()
# try_compile projects get the root too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TAVO_ARMHF_SYSROOT)
set(CMAKE_SYSROOT ${TAVO_ARMHF_SYSROOT})
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the root's .pc files and give their paths inside it.
set(ENV{PKG_CONFIG_LIBDIR}
    ${TAVO_ARMHF_SYSROOT}/usr/lib/${TAVO_TRIPLET}/pkgconfig:${TAVO_ARMHF_SYSROOT}/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} ${TAVO_ARMHF_SYSROOT})

# Built programs run under qemu-user with the root as its prefix, so the loader and
# every library come from the root: CTest's test listing and runs go through it.
# Programs the tests start themselves reach qemu through the kernel (binfmt_misc)
# and find the root in QEMU_LD_PREFIX, which make test-armhf sets.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static -L ${TAVO_ARMHF_SYSROOT})

# The Debian architecture make package names in the .deb (cmake/Install.cmake).
set(TAVO_DEB_ARCH armhf)
