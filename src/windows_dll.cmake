# TolvaneGPS.dll: no C runtime at all, since the device it was made for has
# none to load. The module-definition file alone decides the export table;
# the import table names KERNEL32.dll and only the calls the core makes.
set(CMAKE_CXX_STANDARD_LIBRARIES "")

add_library(TolvaneGPS SHARED ${TOLVANE_CORE_SOURCES} skeleton.cpp
                              dllmain.cpp TolvaneGPS.def)
set_target_properties(TolvaneGPS PROPERTIES PREFIX "" IMPORT_PREFIX "")
target_include_directories(TolvaneGPS PRIVATE
  ${PROJECT_SOURCE_DIR}/include ${CMAKE_CURRENT_SOURCE_DIR}
  ${CMAKE_CURRENT_SOURCE_DIR}/platform/windows)
target_compile_definitions(TolvaneGPS PRIVATE TOLVANEGPS_BUILDING)
# No unwind tables, no stack protector, and no loop the compiler may turn
# into a memcpy or memset call that only a C runtime could answer.
target_compile_options(TolvaneGPS PRIVATE -fno-exceptions -fno-rtti
  -fno-asynchronous-unwind-tables -fno-unwind-tables -fno-stack-protector
  -fno-tree-loop-distribute-patterns)
target_link_options(TolvaneGPS PRIVATE -nostdlib -nostartfiles
  -Wl,-e,DllMain -Wl,--no-insert-timestamp -Wl,--disable-auto-image-base -s)
target_link_libraries(TolvaneGPS PRIVATE kernel32)
