# SPDX-License-Identifier: MIT
# What both CE targets share: an ELF image from the ARM cross gcc, without
# any runtime, that pe_writer turns into TolvaneGPS.dll.
set(CMAKE_SYSTEM_NAME Generic)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER ${TOLVANE_CE_GCC}-gcc)
set(CMAKE_CXX_COMPILER ${TOLVANE_CE_GCC}-g++)
set(CMAKE_C_FLAGS_INIT "${TOLVANE_CE_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${TOLVANE_CE_FLAGS}")
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(TOLVANE_CE ON)
