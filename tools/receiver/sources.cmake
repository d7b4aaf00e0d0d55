# SPDX-License-Identifier: MIT
# The simulated receiver's sources, for every build that compiles them: the
# gpssim library, the ThreadSanitizer host and the cross-built tests.
set(TOLVANE_RECEIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/nmea.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/simulator.cpp)
# It paces at the line speeds the POSIX layer sets, from the layer's table.
set(TOLVANE_RECEIVER_INCLUDES
    ${CMAKE_CURRENT_LIST_DIR}/../../src/platform/posix)
