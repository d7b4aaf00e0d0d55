# SPDX-License-Identifier: MIT
# cpack -G DEB (make package): three Debian packages, one per install
# component, each with its copyright file and changelog. Build with
# -DCMAKE_INSTALL_PREFIX=/usr for packages.
set(TOLVANE_DEBIAN_PACKAGES libtolvanegps1 libtolvanegps-dev tolvanegps-tools)
set(TOLVANE_DEBIAN_COMPONENTS Runtime Development Tools)

# Debian wants the changelog compressed to the full, without a time stamp.
set(TOLVANE_CHANGELOG ${PROJECT_BINARY_DIR}/changelog.Debian.gz)
execute_process(COMMAND gzip -9nc ${CMAKE_CURRENT_LIST_DIR}/debian/changelog
                OUTPUT_FILE ${TOLVANE_CHANGELOG})
foreach(package component IN ZIP_LISTS TOLVANE_DEBIAN_PACKAGES
                                       TOLVANE_DEBIAN_COMPONENTS)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${TOLVANE_CHANGELOG}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvanegps)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TolvaneGPS developers <tolvanegps@example.org>")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
# Directories get these modes whatever the umask of the one packaging.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    ${CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TOLVANE_DEBIAN_COMPONENTS})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://example.org/tolvanegps)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(TOLVANE_EXACT "(= ${PROJECT_VERSION}-1)")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtolvanegps1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# A shlibs file for packages built against it, and the ldconfig trigger
# (CPack's maintainer scripts also run ldconfig: a listed lintian warning).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "GPS receiver capture library
TolvaneGPS stores what a GPS receiver on a serial port sends: each call
makes one block of the receiver's bytes the whole content of a file.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtolvanegps-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libtolvanegps1 ${TOLVANE_EXACT}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "GPS receiver capture library - development files
The header, the CMake package and the pkg-config file for building hosts
of the TolvaneGPS capture library.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME tolvanegps-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# gpscapture loads the library at run time, which dpkg-shlibdeps cannot see.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libtolvanegps1 ${TOLVANE_EXACT}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "GPS receiver capture tools
gpscapture captures a receiver's NMEA through the TolvaneGPS library;
gps-sim plays a receiver on a pseudo-terminal.")

# cpack runs this with the package's settings: every time stamp in the
# packages is the source's.
set(TOLVANE_CPACK_CONFIG ${PROJECT_BINARY_DIR}/TolvaneGPSCPackConfig.cmake)
file(WRITE ${TOLVANE_CPACK_CONFIG}
     "set(ENV{SOURCE_DATE_EPOCH} ${TOLVANE_SOURCE_DATE_EPOCH})\n")
set(CPACK_PROJECT_CONFIG_FILE ${TOLVANE_CPACK_CONFIG})

include(CPack)
