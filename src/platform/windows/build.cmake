# SPDX-License-Identifier: MIT
# TolvaneGPS.dll: no C runtime at all, since the device it was made for has
# none to load. The module-definition file alone decides the export table;
# the import table names KERNEL32.dll and only the calls the core makes.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

set(TOLVANE_CONSTRUCTOR_SYMBOL TolvaneGPSConstructForMsvc)
set(TOLVANE_DEF ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.def)
configure_file(TolvaneGPS.def.in ${TOLVANE_DEF} @ONLY)
tolvane_sdk_def(${TOLVANE_DEF} TOLVANE_SDK_DEF)

enable_language(RC)
add_library(TolvaneGPS SHARED ${TOLVANE_CORE_SOURCES} named_items.cpp dllmain.cpp
  platform/windows/port_steps.cpp platform/shared_port_steps.cpp
  platform/windows/msvc_constructor.cpp
  ${TOLVANE_DEF} ${TOLVANE_VERSION_RC})
set_target_properties(TolvaneGPS PROPERTIES PREFIX "" IMPORT_PREFIX "")
target_include_directories(TolvaneGPS PRIVATE
  ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows)
target_compile_definitions(TolvaneGPS PRIVATE TOLVANEGPS_BUILDING)
target_link_libraries(TolvaneGPS PRIVATE tolvane_flags)
# No exceptions, no stack protector, and no loop the compiler may turn into
# a memcpy or memset call that only a C runtime could answer. x64 and ARM64
# keep their unwind data (.pdata and .xdata), which Windows needs to walk a
# stack through the DLL; 32-bit x86 has none to give.
target_compile_options(TolvaneGPS PRIVATE -fno-exceptions -fno-rtti
  -fno-stack-protector
  $<$<STREQUAL:${TOLVANE_TARGET_UNWIND},none>:-fno-asynchronous-unwind-tables -fno-unwind-tables>
  $<$<CXX_COMPILER_ID:GNU>:-fno-tree-loop-distribute-patterns>)
target_link_options(TolvaneGPS PRIVATE -nostdlib -nostartfiles
  -Wl,-e,${TOLVANE_TARGET_ENTRY} -Wl,--no-insert-timestamp -s
  $<$<CXX_COMPILER_ID:GNU>:-Wl,--disable-auto-image-base>)
# The import library, from the same module definition as the export table.
set(TOLVANE_MSVC_LIB ${CMAKE_CURRENT_BINARY_DIR}/TolvaneGPS.lib)
tolvane_import_library(${TOLVANE_DEF} ${TOLVANE_MSVC_LIB} msvc_import_library)

# cmake --install build/windows/<target>: the SDK of one target, the DLL,
# the MSVC import library, the exports' module definition and the header.
install(TARGETS TolvaneGPS RUNTIME DESTINATION .)
install(FILES ${TOLVANE_MSVC_LIB} ${TOLVANE_SDK_DEF} DESTINATION .)
install(FILES ${PROJECT_SOURCE_DIR}/include/TolvaneGPS.h DESTINATION include)

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  set(KERNEL32_LIB ${CMAKE_CURRENT_BINARY_DIR}/libkernel32.a)
  tolvane_import_library(${PROJECT_SOURCE_DIR}/cmake/kernel32.def
                         ${KERNEL32_LIB} kernel32_import)
  add_dependencies(TolvaneGPS kernel32_import)
  target_link_libraries(TolvaneGPS PRIVATE ${KERNEL32_LIB})
else()
  target_link_libraries(TolvaneGPS PRIVATE kernel32)
endif()
