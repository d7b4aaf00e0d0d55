# SPDX-License-Identifier: MIT
# libTolvaneGPS.a, from the objects of libTolvaneGPS.so: linked into one
# object whose only global symbols are those the .so exports (as
# src/TolvaneGPS.map makes them, mangled by this compiler), so that the
# Win32 subset and the module state inside never meet a host's own
# CreateFileW, ReadFile or Sleep. It needs libc and libgcc alone, which
# every C compiler links; TolvaneGPS::TolvaneGPS_static in the CMake package.
if(CMAKE_SCRIPT_MODE_FILE)
  # cmake -DNM=... -DLINKER=... -DOBJCOPY=... -DSHARED=... -DOBJECTS=...
  #       -DOUTPUT=... -P static-archive.cmake
  execute_process(COMMAND ${NM} -D --defined-only --format=just-symbols
                          ${SHARED}
                  OUTPUT_FILE ${OUTPUT}.exports COMMAND_ERROR_IS_FATAL ANY)
  # Inline functions and variables come in COMDAT groups, named by their
  # symbols: taken out of the groups, they stay the library's own copies.
  execute_process(COMMAND ${LINKER} -r --force-group-allocation
                          -o ${OUTPUT}.merged ${OBJECTS}
                  COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${OBJCOPY} --keep-global-symbols=${OUTPUT}.exports
                          ${OUTPUT}.merged ${OUTPUT}
                  COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE ${OUTPUT}.merged)
  return()
endif()

# The .so's own objects and those of the object libraries it takes in. An
# inline variable (C++17) is a GNU-unique symbol, which objcopy cannot make
# local: weak instead, as -fno-gnu-unique makes it. In the .so, where it is
# hidden, it is local either way.
get_target_property(sources TolvaneGPS SOURCES)
list(FILTER sources INCLUDE REGEX "^\\$<TARGET_OBJECTS:")
foreach(objects TolvaneGPS ${sources})
  string(REGEX REPLACE "^\\$<TARGET_OBJECTS:(.*)>$" "\\1" objects ${objects})
  target_compile_options(${objects} PRIVATE -fno-gnu-unique)
endforeach()
set(TOLVANE_STATIC_OBJECT ${PROJECT_BINARY_DIR}/src/TolvaneGPS_static.o)
add_custom_command(OUTPUT ${TOLVANE_STATIC_OBJECT}
  COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLINKER=${CMAKE_LINKER}
          -DOBJCOPY=${CMAKE_OBJCOPY} -DSHARED=$<TARGET_FILE:TolvaneGPS>
          "-DOBJECTS=$<TARGET_OBJECTS:TolvaneGPS>;${sources}"
          -DOUTPUT=${TOLVANE_STATIC_OBJECT} -P ${CMAKE_CURRENT_LIST_FILE}
  DEPENDS TolvaneGPS $<TARGET_FILE:TolvaneGPS> ${CMAKE_CURRENT_LIST_FILE}
  VERBATIM
  COMMENT "Linking the objects of libTolvaneGPS.so into one, its exports alone global")
add_library(TolvaneGPS_static STATIC ${TOLVANE_STATIC_OBJECT})
add_library(TolvaneGPS::TolvaneGPS_static ALIAS TolvaneGPS_static)
target_include_directories(TolvaneGPS_static PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
set_target_properties(TolvaneGPS_static PROPERTIES OUTPUT_NAME TolvaneGPS
  LINKER_LANGUAGE C ARCHIVE_OUTPUT_DIRECTORY $<TARGET_FILE_DIR:TolvaneGPS>)
