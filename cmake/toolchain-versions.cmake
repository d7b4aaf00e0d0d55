# SPDX-License-Identifier: MIT
# TOLVANE_LLVM_VERSION and TOLVANE_LLD_VERSION, from cmake/toolchain-versions.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/toolchain-versions tolvane_versions
     REGEX "^[a-z]+ [0-9]+$")
foreach(line IN LISTS tolvane_versions)
  string(REPLACE " " ";" pair "${line}")
  list(GET pair 0 tool)
  list(GET pair 1 version)
  string(TOUPPER ${tool} tool)
  set(TOLVANE_${tool}_VERSION ${version})
endforeach()
