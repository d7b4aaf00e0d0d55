# SPDX-License-Identifier: MIT
# cmake --install, in three components:
#   Runtime      the .so and its SONAME link
#   Development  the header, the unversioned link, the static archive, the
#                CMake package (find_package(TolvaneGPS) gives
#                TolvaneGPS::TolvaneGPS and TolvaneGPS::TolvaneGPS_static)
#                and a pkg-config file naming the prefix installed to
#   Tools        gpscapture and gps-sim, when built
# each with its manual pages.
include(CMakePackageConfigHelpers)

install(TARGETS TolvaneGPS TolvaneGPS_static EXPORT TolvaneGPSTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime
                NAMELINK_COMPONENT Development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/TolvaneGPS.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development)
if(TOLVANE_TOOLS)
  install(TARGETS gpscapture gps-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          COMPONENT Tools)
endif()

set(TOLVANE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/TolvaneGPS)
install(EXPORT TolvaneGPSTargets NAMESPACE TolvaneGPS::
        DESTINATION ${TOLVANE_CMAKE_DIR} COMPONENT Development)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/TolvaneGPSConfig.cmake.in
  ${PROJECT_BINARY_DIR}/TolvaneGPSConfig.cmake
  INSTALL_DESTINATION ${TOLVANE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TolvaneGPSConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/TolvaneGPSConfig.cmake
              ${PROJECT_BINARY_DIR}/TolvaneGPSConfigVersion.cmake
        DESTINATION ${TOLVANE_CMAKE_DIR} COMPONENT Development)

# Written at install time, so that it names the prefix the files went to
# (cmake --install --prefix included) as a clean absolute path; staged in
# the build folder and installed from there, so that install_manifest.txt
# lists it with the rest.
set(TOLVANE_PC_STAGED ${PROJECT_BINARY_DIR}/pkgconfig/TolvaneGPS.pc)
install(CODE "
  set(TOLVANE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  set(CMAKE_INSTALL_LIBDIR ${CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR})
  set(PROJECT_VERSION ${PROJECT_VERSION})
  configure_file(${CMAKE_CURRENT_LIST_DIR}/TolvaneGPS.pc.in
    ${TOLVANE_PC_STAGED} @ONLY)" COMPONENT Development)
install(FILES ${TOLVANE_PC_STAGED}
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# The manual pages, compressed as Debian wants them: in full, and without a
# time stamp.
set(TOLVANE_MAN_PAGES TolvaneGPS.3)
set(TOLVANE_MAN_COMPONENTS Development)
if(TOLVANE_TOOLS)
  list(APPEND TOLVANE_MAN_PAGES gpscapture.1 gps-sim.1)
  list(APPEND TOLVANE_MAN_COMPONENTS Tools Tools)
endif()
foreach(page component IN ZIP_LISTS TOLVANE_MAN_PAGES TOLVANE_MAN_COMPONENTS)
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page} > ${compressed}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page})
  list(APPEND TOLVANE_COMPRESSED_PAGES ${compressed})
  string(REGEX REPLACE ".*[.]" "" section ${page})
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          COMPONENT ${component})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${TOLVANE_COMPRESSED_PAGES})
