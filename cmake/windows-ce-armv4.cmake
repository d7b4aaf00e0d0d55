# SPDX-License-Identifier: MIT
# Windows CE 3.00 on StrongARM (the ARMV4 ABI): ARMv4
# instructions only, compiled with Debian's ARM cross gcc and made a PE image
# by tools/pe/pe_writer. Later devices mix in Thumb code: ce-armv4i.
set(TOLVANE_CE_GCC arm-linux-gnueabi)
set(TOLVANE_CE_FLAGS "-marm -march=armv4")
# StrongARM has no bx: the linker turns any into mov pc.
set(TOLVANE_CE_LINK_FLAGS -Wl,--fix-v4bx)
include(${CMAKE_CURRENT_LIST_DIR}/windows-ce.cmake)
