# Cross-compiling for AArch64 boards with Debian's aarch64-linux-gnu toolchain and the arm64
# multiarch libraries (dpkg --add-architecture arm64; qtbase5-dev:arm64 libpcap-dev:arm64
# libudev-dev:arm64). Tests run under qemu-aarch64.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Multiarch: arm64 libraries and their CMake/pkg-config files live beside the host's.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")
set(Qt5_DIR /usr/lib/aarch64-linux-gnu/cmake/Qt5)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
