# SPDX-License-Identifier: MIT
# The library against musl (Alpine, OpenWrt, Void), with Debian's musl:
# musl-tools for x86-64, musl-dev:arm64 and musl-dev:armhf beside the cross
# compilers. TOLVANE_MUSL_ARCH is x86_64 (the default), aarch64 or armhf;
# the presets musl, musl-arm64 and musl-armhf set it.
#
#   cmake -S . -B build-musl --toolchain cmake/musl.cmake [-DTOLVANE_MUSL_ARCH=aarch64]
#
# Only the library: Debian ships no C++ runtime for musl, and the tools need
# one.
set(TOLVANE_MUSL_ARCH x86_64 CACHE STRING "The CPU: x86_64, aarch64 or armhf")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TOLVANE_MUSL_ARCH)
if(TOLVANE_MUSL_ARCH STREQUAL "x86_64")
  set(gnu x86_64-linux-gnu)
  set(musl x86_64-linux-musl)
elseif(TOLVANE_MUSL_ARCH STREQUAL "aarch64")
  set(gnu aarch64-linux-gnu)
  set(musl aarch64-linux-musl)
elseif(TOLVANE_MUSL_ARCH STREQUAL "armhf")
  set(gnu arm-linux-gnueabihf)
  set(musl arm-linux-musleabihf)
else()
  message(FATAL_ERROR "TOLVANE_MUSL_ARCH: x86_64, aarch64 or armhf, not ${TOLVANE_MUSL_ARCH}")
endif()

set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "hf$" "" CMAKE_SYSTEM_PROCESSOR ${TOLVANE_MUSL_ARCH})
# musl's compiler wrapper for that CPU: Debian's GCC with musl's start
# files, libc.so and loader. It compiles the C++ sources too (the library
# needs no C++ runtime); the wrapper sets the include path for C only, so
# C++ names musl's headers itself. The binutils are GCC's own.
set(CMAKE_C_COMPILER ${musl}-gcc)
set(CMAKE_CXX_COMPILER ${musl}-gcc)
set(CMAKE_LINKER ${gnu}-ld)
set(CMAKE_AR ${gnu}-ar)
set(CMAKE_RANLIB ${gnu}-ranlib)
set(CMAKE_NM ${gnu}-nm)
set(CMAKE_OBJCOPY ${gnu}-objcopy)
set(CMAKE_STRIP ${gnu}-strip)
set(CMAKE_CXX_FLAGS_INIT "-nostdinc -isystem /usr/include/${musl}")
# No C++ runtime to link a test program with.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_FIND_ROOT_PATH /usr/lib/${musl})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

# musl's loader allows initial-exec TLS only in what it loads at start-up:
# a dlopen'ed library takes the general-dynamic model (__tls_get_addr, in
# musl's libc.so).
set(TOLVANE_TLS_MODEL global-dynamic CACHE STRING "The library's TLS model")
set(TOLVANE_TOOLS OFF CACHE BOOL "Build gpscapture and gps-sim")
