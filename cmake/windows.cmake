# SPDX-License-Identifier: MIT
# The Windows DLLs for the tests. Each target is its own cross build, into
# build/windows/<target>/TolvaneGPS.dll, beside its test hosts; the target
# "windows" builds them all. The SDK comes from cmake/windows-sdk.sh.
option(TOLVANE_WINDOWS "Cross-build the Windows DLLs and test them" ON)
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/windows-targets TOLVANE_WINDOWS_TARGETS)
set(TOLVANE_WINDOWS_DIR ${CMAKE_BINARY_DIR}/windows)
if(NOT TOLVANE_WINDOWS)
  return()
endif()
include(ExternalProject)
add_custom_target(windows ALL)
foreach(target ${TOLVANE_WINDOWS_TARGETS})
  ExternalProject_Add(windows_${target}
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${TOLVANE_WINDOWS_DIR}/${target}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/windows-${target}.cmake
      -DCMAKE_BUILD_TYPE=MinSizeRel -DTOLVANE_WERROR=${TOLVANE_WERROR}
      -DTOLVANE_DEVELOPER_MODE=ON
      -DCMAKE_RUNTIME_OUTPUT_DIRECTORY=${TOLVANE_WINDOWS_DIR}/${target}
      -DTOLVANE_PE_WRITER=$<TARGET_FILE:pe_writer>
    DEPENDS pe_writer # the CE targets' image writer, a host tool
    BUILD_ALWAYS ON
    INSTALL_COMMAND "")
  add_dependencies(windows windows_${target})
endforeach()
