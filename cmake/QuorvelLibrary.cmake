include(GNUInstallDirs)
if(WIN32)
  include(WindowsBuild)
endif()

set(QUORVEL_LIBRARY_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR})
# Where the CMake package and the pkg-config files go, under the prefix.
set(QUORVEL_PACKAGE_DIR lib/cmake/quorvel)
set(QUORVEL_PKGCONFIG_DIR lib/pkgconfig)

# quorvel_shared_library(<name> SOURCES ... HEADER <public header>
#                        BUILDING_DEFINE <define> DESCRIPTION <one line>)
#
# A shipped shared library: hidden visibility (only what the public header
# marks is exported; BUILDING_DEFINE is defined while the library itself is
# compiled, so the header marks for export rather than import), no `lib`
# prefix on Windows, no needless run-time dependencies, and an install rule
# that puts the library under lib/ and its public header under include/.
# Elsewhere than on Windows the library carries the project's version in its
# soname, its unversioned name stays present as a link, and a pkg-config file
# with DESCRIPTION and an imported target of the CMake package quorvel (see
# quorvel_library_package) describe it to downstream builds.
function(quorvel_shared_library name)
  cmake_parse_arguments(ARG "" "HEADER;BUILDING_DEFINE;DESCRIPTION" "SOURCES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  get_filename_component(header_dir ${ARG_HEADER} DIRECTORY)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${header_dir}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_definitions(${name} PRIVATE ${ARG_BUILDING_DEFINE})
  set_target_properties(${name} PROPERTIES PUBLIC_HEADER ${ARG_HEADER})
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
  else()
    set_target_properties(${name} PROPERTIES
      VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    # Calls between routines of one library stay inside it.
    target_compile_options(${name} PRIVATE -fno-semantic-interposition)
  endif()
  if(NOT APPLE)
    target_link_options(${name} PRIVATE -Wl,--as-needed)
  endif()
  if(CMAKE_SYSTEM_NAME STREQUAL "Linux" AND NOT QUORVEL_SANITIZE AND NOT QUORVEL_FUZZ)
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
  install(TARGETS ${name} EXPORT quorvel_libraries
    LIBRARY DESTINATION lib
    RUNTIME DESTINATION lib
    ARCHIVE DESTINATION lib
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  set_property(GLOBAL APPEND PROPERTY QUORVEL_LIBRARIES ${name})
  if(NOT WIN32)
    set(QUORVEL_PC_NAME ${name})
    set(QUORVEL_PC_DESCRIPTION ${ARG_DESCRIPTION})
    configure_file(${QUORVEL_LIBRARY_CMAKE_DIR}/quorvel-library.pc.in
      ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc DESTINATION ${QUORVEL_PKGCONFIG_DIR})
  endif()
endfunction()

# quorvel_library_package(): the CMake package quorvel, whose components are
# the libraries made by quorvel_shared_library, each an imported target
# quorvel::<name>. Called once, after the last library.
function(quorvel_library_package)
  if(WIN32)
    return()
  endif()
  include(CMakePackageConfigHelpers)
  install(EXPORT quorvel_libraries NAMESPACE quorvel:: FILE quorvelTargets.cmake
    DESTINATION ${QUORVEL_PACKAGE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  get_property(QUORVEL_LIBRARIES GLOBAL PROPERTY QUORVEL_LIBRARIES)
  configure_file(${QUORVEL_LIBRARY_CMAKE_DIR}/quorvelConfig.cmake.in
    ${CMAKE_BINARY_DIR}/quorvelConfig.cmake @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/quorvelConfig.cmake
    ${CMAKE_BINARY_DIR}/quorvelConfigVersion.cmake DESTINATION ${QUORVEL_PACKAGE_DIR})
endfunction()
