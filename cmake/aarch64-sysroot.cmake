# Cross-compiling for AArch64 against a sysroot, as board integrators do: the board's (or an
# SDK's) root file system with its headers and libraries, not Debian's multiarch directories.
#   cmake -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-sysroot.cmake -DL2_SYSROOT=/path/to/sysroot ...
# L2_CROSS_PREFIX names the compilers (default aarch64-linux-gnu-, as crossbuild-essential-arm64
# installs them). Qt's, libpcap's and libudev's CMake and pkg-config files are found in the
# sysroot; programs (moc, pkg-config) are the host's. The agent needs no moc: build it with
# -DL2_TESTS=OFF (the tests' moc would have to run on the host).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

if(NOT L2_SYSROOT AND DEFINED ENV{L2_SYSROOT})
  set(L2_SYSROOT "$ENV{L2_SYSROOT}")
endif()
if(NOT L2_SYSROOT)
  message(FATAL_ERROR "Set L2_SYSROOT (-DL2_SYSROOT=DIR or the environment) to the board's sysroot")
endif()
if(NOT L2_CROSS_PREFIX)
  set(L2_CROSS_PREFIX aarch64-linux-gnu-)
endif()
# try_compile projects see the same settings.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES L2_SYSROOT L2_CROSS_PREFIX)

set(CMAKE_SYSROOT "${L2_SYSROOT}")
set(CMAKE_C_COMPILER ${L2_CROSS_PREFIX}gcc)
set(CMAKE_CXX_COMPILER ${L2_CROSS_PREFIX}g++)
set(CMAKE_FIND_ROOT_PATH "${L2_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config reads the sysroot's .pc files and prefixes their paths with it.
set(ENV{PKG_CONFIG_SYSROOT_DIR} "${L2_SYSROOT}")
set(ENV{PKG_CONFIG_LIBDIR}
    "${L2_SYSROOT}/usr/lib/aarch64-linux-gnu/pkgconfig:${L2_SYSROOT}/usr/lib/pkgconfig:${L2_SYSROOT}/usr/share/pkgconfig")
# A board's binaries run on the board, not here.
set(CMAKE_CROSSCOMPILING_EMULATOR "")
