# SPDX-License-Identifier: MIT
# Two builds of the same commit give the same bytes, whatever the directory,
# umask, time zone or clock: every time stamp comes from SOURCE_DATE_EPOCH
# (the caller's, else the last commit's, else the newest source file's), no
# build path reaches an output, and installed directories have fixed modes.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TOLVANE_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE TOLVANE_SOURCE_DATE_EPOCH
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET
                  RESULT_VARIABLE no_git)
  # A commit moves the date, so a build directory configured before it
  # configures again (the Windows and CE builds underneath too), rather than
  # stamping the new sources with the old date.
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse
                          --absolute-git-dir
                  OUTPUT_VARIABLE git_dir OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  if(git_dir AND EXISTS ${git_dir}/logs/HEAD)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${git_dir}/logs/HEAD)
  endif()
  if(no_git OR TOLVANE_SOURCE_DATE_EPOCH STREQUAL "")
    set(TOLVANE_SOURCE_DATE_EPOCH 0)
    file(GLOB_RECURSE sources LIST_DIRECTORIES false
         ${PROJECT_SOURCE_DIR}/include/* ${PROJECT_SOURCE_DIR}/src/*
         ${PROJECT_SOURCE_DIR}/tools/* ${PROJECT_SOURCE_DIR}/cmake/*
         ${PROJECT_SOURCE_DIR}/man/* ${PROJECT_SOURCE_DIR}/CMakeLists.txt)
    foreach(source ${sources})
      file(TIMESTAMP ${source} stamp "%s" UTC)
      if(stamp GREATER TOLVANE_SOURCE_DATE_EPOCH)
        set(TOLVANE_SOURCE_DATE_EPOCH ${stamp})
      endif()
    endforeach()
  endif()
endif()

# Debug info, __FILE__ and the build-id name the sources relative to the
# tree, and the build directory not at all.
target_compile_options(tolvane_flags INTERFACE
  -ffile-prefix-map=${PROJECT_SOURCE_DIR}/=
  -ffile-prefix-map=${PROJECT_BINARY_DIR}/=)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE
    OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
