# SPDX-License-Identifier: MIT
# Windows CE 4.x to 7 and Windows Mobile: the ARMV4I ABI.
# ARM-mode code that mixes with Thumb callers and Thumb system code: returns
# and calls through a register go by bx, which switches state as the
# address asks.
set(TOLVANE_CE_GCC arm-linux-gnueabi)
set(TOLVANE_CE_FLAGS "-marm -march=armv4t -mthumb-interwork")
include(${CMAKE_CURRENT_LIST_DIR}/windows-ce.cmake)
