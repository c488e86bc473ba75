# Cross build for Linux on aarch64 with Debian's g++-aarch64-linux-gnu.
# TT_SYSROOT is an arm64 Debian root holding the target's libraries (GoogleTest,
# zlib, the Python headers); scripts/check-aarch64 makes one. Programs built
# here (the native tests) run under qemu-aarch64 with that root as their /.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
if(NOT TT_SYSROOT)
  set(TT_SYSROOT "$ENV{TT_SYSROOT}")
endif()
if(NOT TT_SYSROOT)
  message(FATAL_ERROR "set TT_SYSROOT to an arm64 Debian root (scripts/check-aarch64 makes one)")
endif()
# Pass the root on to try_compile projects, which read this file again.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TT_SYSROOT)
set(CMAKE_FIND_ROOT_PATH "${TT_SYSROOT}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# The compiler's own C library is its cross one; the root's libraries are found
# by the linker through their multiarch folder.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-Wl,-rpath-link,${TT_SYSROOT}/usr/lib/aarch64-linux-gnu")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static -L "${TT_SYSROOT}")
