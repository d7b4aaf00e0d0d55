# SPDX-License-Identifier: MIT
# libTolvaneGPS.so: the core over this project's Linux layer, which needs
# libc alone. The per-thread last error's TLS model is TOLVANE_TLS_MODEL:
# glibc's static TLS room for libraries loaded later (no dynamic loader
# call), and on musl, whose loader refuses that in a dlopen()ed library,
# the dynamic model.
set(TOLVANE_PLATFORM_DIR ${CMAKE_CURRENT_SOURCE_DIR}/platform/linux)
set(TOLVANE_LIBRARY_FLAGS -ftls-model=${TOLVANE_TLS_MODEL} -fvisibility=hidden
    -fvisibility-inlines-hidden -fno-exceptions -fno-rtti
    -fno-threadsafe-statics)
set(TOLVANE_LINUX_LAYER_SOURCES comm.cpp handles.cpp names.cpp
    open_close.cpp system.cpp read_write.cpp)
list(TRANSFORM TOLVANE_LINUX_LAYER_SOURCES PREPEND ${TOLVANE_PLATFORM_DIR}/)
# The layer and its port steps, as full paths, for the tests that build
# them into themselves with other compilers (the fuzzers, the ARM loader).
set(TOLVANE_LINUX_LAYER_FILES ${TOLVANE_LINUX_LAYER_SOURCES} PARENT_SCOPE)
set(TOLVANE_LINUX_STEPS_FILE ${TOLVANE_PLATFORM_DIR}/port_steps.cpp
    PARENT_SCOPE)

# The core and the layer apart, for the tests that take one of them alone.
add_library(TolvaneGPS_core OBJECT ${TOLVANE_CORE_SOURCES}
                                   platform/shared_port_steps.cpp)
add_library(TolvaneGPS_platform OBJECT ${TOLVANE_LINUX_LAYER_SOURCES}
                                       ${TOLVANE_PLATFORM_DIR}/port_steps.cpp)
foreach(part TolvaneGPS_core TolvaneGPS_platform)
  target_include_directories(${part} PUBLIC ${PROJECT_SOURCE_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR} ${TOLVANE_PLATFORM_DIR})
  target_compile_options(${part} PRIVATE ${TOLVANE_LIBRARY_FLAGS})
  target_link_libraries(${part} PRIVATE tolvane_flags)
  set_target_properties(${part} PROPERTIES POSITION_INDEPENDENT_CODE ON)
endforeach()

add_library(TolvaneGPS SHARED named_items.cpp $<TARGET_OBJECTS:TolvaneGPS_core>
                              $<TARGET_OBJECTS:TolvaneGPS_platform>)
add_library(TolvaneGPS::TolvaneGPS ALIAS TolvaneGPS)
target_include_directories(TolvaneGPS PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<INSTALL_INTERFACE:include>)
target_compile_options(TolvaneGPS PRIVATE ${TOLVANE_LIBRARY_FLAGS})
target_link_libraries(TolvaneGPS PRIVATE $<BUILD_INTERFACE:tolvane_flags>)
set_target_properties(TolvaneGPS PROPERTIES
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/TolvaneGPS.map)
target_link_options(TolvaneGPS PRIVATE
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/TolvaneGPS.map
  -Wl,-z,relro,-z,now)
if(NOT TOLVANE_SANITIZE)
  # libc alone: no libstdc++, no libgcc_s, every symbol resolved at link time.
  # The static libgcc gives 32-bit CPUs their 64-bit division helpers.
  target_link_options(TolvaneGPS PRIVATE -nodefaultlibs -Wl,--no-undefined)
  target_link_libraries(TolvaneGPS PRIVATE c gcc)
endif()
