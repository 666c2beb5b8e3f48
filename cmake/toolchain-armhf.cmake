# Cross-building for 32-bit ARM boards (Debian 12 armhf) from a Debian 12 machine
# with crossbuild-essential-armhf and the armhf -dev packages installed by multiarch
# (scripts/install-armhf-deps.sh):
#   cmake -S . -B build-armhf -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TAVO_TRIPLET arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${TAVO_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TAVO_TRIPLET}-g++)

# Multiarch puts the armhf libraries and their CMake and pkg-config files below
# /usr itself (lib/arm-linux-gnueabihf); the cross compiler's own root holds libc.
set(CMAKE_FIND_ROOT_PATH /usr/${TAVO_TRIPLET} /usr)
set(CMAKE_LIBRARY_ARCHITECTURE ${TAVO_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config must see only the armhf .pc files (and the architecture-free ones),
# never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/${TAVO_TRIPLET}/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# Built programs run under qemu-user: CTest's test listing and runs go through it.
# No -L prefix: qemu then finds the armhf loader by multiarch path itself, while a
# prefix would give forked children a second C library and crash them.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/qemu-arm-static)

# The Debian architecture make package names in the .deb (cmake/Install.cmake).
set(TAVO_DEB_ARCH armhf)
