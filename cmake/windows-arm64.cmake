# SPDX-License-Identifier: MIT
# Cross-builds the ARM64 Windows DLL with clang and lld. Debian has no mingw
# runtime for ARM64, and the DLL needs none: the import library for
# KERNEL32.dll is made from kernel32.def at build time.
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-versions.cmake)
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ARM64)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET aarch64-w64-windows-gnu)
set(CMAKE_CXX_COMPILER_TARGET aarch64-w64-windows-gnu)
set(CMAKE_C_FLAGS_INIT "-isystem /usr/share/mingw-w64/include")
set(CMAKE_CXX_FLAGS_INIT "-isystem /usr/share/mingw-w64/include")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-fuse-ld=/usr/bin/ld.lld-${TOLVANE_LLD_VERSION}")
set(CMAKE_RC_COMPILER llvm-windres-${TOLVANE_LLVM_VERSION})
set(CMAKE_RC_FLAGS_INIT "--target=aarch64-w64-mingw32")
# Without a runtime no test program links; the compilers are checked on a
# static library instead.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
