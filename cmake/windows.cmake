# SPDX-License-Identifier: MIT
# The Windows and CE DLLs, for the tests and for cmake/windows-sdk.sh. Each
# target of cmake/windows-targets.cmake is its own cross build, into
# build/windows/<target>/TolvaneGPS.dll, beside its test hosts; the target
# "windows" builds them all. The CE targets' images are written by
# pe_writer, a host tool built here first.
option(TOLVANE_WINDOWS "Cross-build the Windows DLLs (and test them)"
       ${TOLVANE_DEVELOPER_MODE})
include(${CMAKE_CURRENT_LIST_DIR}/windows-targets.cmake)
set(TOLVANE_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
if(NOT TOLVANE_WINDOWS)
  return()
endif()
include(ExternalProject)
add_custom_target(windows ALL)
foreach(target ${TOLVANE_WINDOWS_TARGETS})
  set(pe_writer)
  if(TOLVANE_WINDOWS_${target}_IMPORTS STREQUAL "COREDLL.dll")
    set(pe_writer -DTOLVANE_PE_WRITER=$<TARGET_FILE:pe_writer>
                  DEPENDS pe_writer)
  endif()
  ExternalProject_Add(windows_${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${TOLVANE_WINDOWS_DIR}/${target}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/windows-${target}.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel -DTOLVANE_WERROR=${TOLVANE_WERROR}
      -DTOLVANE_DEVELOPER_MODE=${TOLVANE_DEVELOPER_MODE}
      -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${TOLVANE_WINDOWS_DIR}/${target}
      ${pe_writer}
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_dependencies(windows windows_${target})
  # For the SDK's README.txt: which DLL fits which device.
  string(APPEND devices "${target}\t${TOLVANE_WINDOWS_${target}_DEVICES}\n")
endforeach()
file(WRITE ${TOLVANE_WINDOWS_DIR}/devices "${devices}")
