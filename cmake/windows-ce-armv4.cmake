# SPDX-License-Identifier: MIT
# Windows CE 3.00 to 7 on ARM-mode cores (StrongARM, XScale, ARM9, ARM11):
# ARMv4 instructions only, compiled with Debian's ARM cross gcc and made a
# PE image by tools/pe/pe_writer.
set(TOLVANE_CE_TARGET ce-armv4)
set(TOLVANE_CE_MACHINE 0x1c0)
set(TOLVANE_CE_SUBSYSTEM 3.00)
set(TOLVANE_CE_GCC arm-linux-gnueabi)
set(TOLVANE_CE_FLAGS "-marm -march=armv4")
include(${CMAKE_CURRENT_LIST_DIR}/windows-ce.cmake)
