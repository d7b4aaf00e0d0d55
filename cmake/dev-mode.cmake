# SPDX-License-Identifier: MIT
# Developer mode (make test, the dev and sanitize presets): the tests, with
# their rigs and the fuzzers, and the benchmarks, which a sanitised build
# would only slow.
enable_testing()
if(NOT TOLVANE_SANITIZE)
  add_subdirectory(bench)
endif()
add_subdirectory(tests)
