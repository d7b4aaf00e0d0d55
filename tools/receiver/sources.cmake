# SPDX-License-Identifier: MIT
# The simulated receiver's sources, for every build that compiles them: the
# gpssim library, the ThreadSanitizer host and the cross-built tests.
set(TOLVANE_RECEIVER_SOURCES ${CMAKE_CURRENT_LIST_DIR}/nmea.cpp
                             ${CMAKE_CURRENT_LIST_DIR}/simulator.cpp)
set(TOLVANE_RECEIVER_INCLUDES ${CMAKE_CURRENT_LIST_DIR})
