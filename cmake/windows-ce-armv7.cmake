# SPDX-License-Identifier: MIT
# Windows Embedded Compact 2013 (CE 8.00), which runs only Thumb-2 code and
# loads only images made for its own version, subsystem 8.00.
set(TOLVANE_CE_GCC arm-linux-gnueabihf)
# Compact 2013 devices carry VFPv3-D32; the code itself uses no floating point.
set(TOLVANE_CE_FLAGS "-mthumb -march=armv7-a -mfpu=vfpv3")
include(${CMAKE_CURRENT_LIST_DIR}/windows-ce.cmake)
