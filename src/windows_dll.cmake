# SPDX-License-Identifier: MIT
# TolvaneGPS.dll: no C runtime at all, since the device it was made for has
# none to load. The module-definition file alone decides the export table;
# the import table names KERNEL32.dll and only the calls the core makes.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

# The names MSVC gives the class members on this processor: __thiscall on
# x86, the plain member call on x64 and ARM64.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "i686")
  set(TOLVANE_CONSTRUCTOR_NAME "??0CTolvaneGPS@@QAE@XZ")
  set(TOLVANE_ASSIGNMENT_NAME "??4CTolvaneGPS@@QAEAAV0@ABV0@@Z")
  set(TOLVANE_ENTRY_POINT _DllMain@12) # stdcall-decorated on x86
else()
  set(TOLVANE_CONSTRUCTOR_NAME "??0CTolvaneGPS@@QEAA@XZ")
  set(TOLVANE_ASSIGNMENT_NAME "??4CTolvaneGPS@@QEAAAEAV0@AEBV0@@Z")
  set(TOLVANE_ENTRY_POINT DllMain)
endif()
configure_file(TolvaneGPS.def.in TolvaneGPS.def @ONLY)

add_library(TolvaneGPS SHARED ${TOLVANE_CORE_SOURCES} skeleton.cpp dllmain.cpp
  platform/windows/receiver_line.cpp ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.def)
set_target_properties(TolvaneGPS PROPERTIES PREFIX "" IMPORT_PREFIX "")
target_include_directories(TolvaneGPS PRIVATE
  ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows)
target_compile_definitions(TolvaneGPS PRIVATE TOLVANEGPS_BUILDING)
target_link_libraries(TolvaneGPS PRIVATE tolvane_flags)
# No unwind tables, no stack protector, and no loop the compiler may turn
# into a memcpy or memset call that only a C runtime could answer.
target_compile_options(TolvaneGPS PRIVATE -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>)
target_link_options(TolvaneGPS PRIVATE -nostdlib -nostartfiles
  -Wl,-e,${TOLVANE_ENTRY_POINT} -Wl,--no-insert-timestamp -s
  $<$<CXX_COMPILER_ID:GNU>:-Wl,--disable-auto-image-base>)
# cmake --install build/windows/<target>: the DLL, its import library and
# the header.
install(TARGETS TolvaneGPS RUNTIME DESTINATION bin ARCHIVE DESTINATION lib)
install(FILES ${PROJECT_SOURCE_DIR}/include/TolvaneGPS.h DESTINATION include)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KERNEL32_LIB ${CMAKE_CURRENT_BINARY_DIR}/libkernel32.a)
  add_custom_command(OUTPUT ${KERNEL32_LIB}
    COMMAND llvm-dlltool -m arm64 -d ${PROJECT_SOURCE_DIR}/cmake/kernel32.def
            -l ${KERNEL32_LIB}
    DEPENDS ${PROJECT_SOURCE_DIR}/cmake/kernel32.def)
  add_custom_target(kernel32_import DEPENDS ${KERNEL32_LIB})
  add_dependencies(TolvaneGPS kernel32_import)
  target_link_libraries(TolvaneGPS PRIVATE ${KERNEL32_LIB})
else()
  target_link_libraries(TolvaneGPS PRIVATE kernel32)
endif()
