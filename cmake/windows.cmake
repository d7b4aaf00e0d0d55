# SPDX-License-Identifier: MIT
# The Windows DLLs. Each target is its own cross build, into
# build/windows/<target>/TolvaneGPS.dll; the target "windows" builds them all.
# cmake --install build/windows/<target> --prefix DIR installs one.
option(TOLVANE_WINDOWS "Cross-build the Windows DLLs and test them" ON)
set(TOLVANE_WINDOWS_TARGETS x86_64 i686 arm64 ce-armv4 ce-armv4i ce-armv7)
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
