# SPDX-License-Identifier: MIT
# TolvaneGPS.dll for Windows CE on ARM. Debian has no toolchain that writes
# ARM-mode PE, so the core is compiled and linked by the ARM cross gcc into
# an ELF image at a fixed base with its relocations kept, and pe_writer (a
# host tool of ours, passed in as TOLVANE_PE_WRITER) makes the DLL of it.
# The ARM EABI constructor returns this, as MSVC's ARM callers expect.
set(TOLVANE_CONSTRUCTOR_SYMBOL _ZN11CTolvaneGPSC1Ev)
configure_file(TolvaneGPS.def.in TolvaneGPS.def @ONLY)
tolvane_sdk_def(${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.def TOLVANE_SDK_DEF)

add_executable(TolvaneGPS_elf ${TOLVANE_CORE_SOURCES} named_items.cpp
  dllmain.cpp platform/ce/port_steps.cpp platform/ce/coredll.cpp
  platform/ce/memset.cpp)
target_include_directories(TolvaneGPS_elf PRIVATE
  ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/ce)
# No runtime, no ELF unwind tables, nothing position-independent; absolute
# addresses only in whole words (no movw/movt pairs), which the image's base
# relocations can name. CE's unwinder reads each function's prolog from its
# first instructions, so every prolog comes first and whole, and sp moves
# nowhere else: no shrink-wrapping, no scheduling into the prolog.
target_compile_options(TolvaneGPS_elf PRIVATE -Os -ffreestanding
  -fno-exceptions -fno-rtti -fno-unwind-tables -fno-asynchronous-unwind-tables
  -fno-stack-protector -fno-pic -fno-threadsafe-statics -mword-relocations
  -fno-shrink-wrap -fno-schedule-insns -fno-schedule-insns2
  -fno-tree-loop-distribute-patterns) # or memset would call itself
target_link_options(TolvaneGPS_elf PRIVATE -nostdlib -static
  -Wl,-T,${PROJECT_SOURCE_DIR}/cmake/ce-image.ld -Wl,--emit-relocs
  -Wl,--build-id=none ${TOLVANE_CE_LINK_FLAGS})
target_link_libraries(TolvaneGPS_elf PRIVATE tolvane_flags)
set_target_properties(TolvaneGPS_elf PROPERTIES
  LINK_DEPENDS ${PROJECT_SOURCE_DIR}/cmake/ce-image.ld)

# The version resource, compiled for pe_writer to place in .rsrc. llvm-rc
# reads a word that starts with "/" as an option where it can ("/check/..."
# is /C, the code page), so "--" ends the options before the input's path.
find_program(LLVM_RC NAMES llvm-rc-${TOLVANE_LLVM_VERSION} llvm-rc REQUIRED)
set(TOLVANE_VERSION_RES ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.res)
add_custom_command(OUTPUT ${TOLVANE_VERSION_RES}
  COMMAND ${LLVM_RC} -no-preprocess /FO ${TOLVANE_VERSION_RES}
          -- ${TOLVANE_VERSION_RC}
  DEPENDS ${TOLVANE_VERSION_RC})

# The link time in the headers is the sources' date.
set(TOLVANE_DLL ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}/TolvaneGPS.dll)
add_custom_command(OUTPUT ${TOLVANE_DLL}
  COMMAND ${TOLVANE_PE_WRITER} --machine ${TOLVANE_TARGET_MACHINE}
          --subsystem ${TOLVANE_TARGET_SUBSYSTEM}
          --def ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.def
          --import COREDLL.dll=coredllImports
          --timestamp ${TOLVANE_SOURCE_DATE_EPOCH}
          --resources ${TOLVANE_VERSION_RES}
          $<TARGET_FILE:TolvaneGPS_elf> ${TOLVANE_DLL}
  DEPENDS TolvaneGPS_elf ${TOLVANE_PE_WRITER} ${TOLVANE_VERSION_RES}
  COMMENT "Writing the ${TOLVANE_TARGET} PE image")
add_custom_target(TolvaneGPS ALL DEPENDS ${TOLVANE_DLL})

# The import library, where LLVM writes one for the machine (ARMNT, for
# Compact 2013): the record's MSVC names. For ARMV4 and ARMV4I, whose import
# libraries nothing here writes or links, the developer's own
# lib /def:TolvaneGPS.def makes it.
set(TOLVANE_MSVC_LIB)
if(TOLVANE_TARGET_MSVC)
  set(TOLVANE_MSVC_LIB ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.lib)
  tolvane_import_library(${TOLVANE_SDK_DEF} ${TOLVANE_MSVC_LIB}
                         msvc_import_library)
endif()

# cmake --install: the SDK of this target, the DLL, the exports' module
# definition, the import library where there is one, and the header.
install(FILES ${TOLVANE_DLL} ${TOLVANE_SDK_DEF} ${TOLVANE_MSVC_LIB}
        DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/include/TolvaneGPS.h DESTINATION include)
