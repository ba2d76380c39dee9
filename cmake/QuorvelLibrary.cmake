include(GNUInstallDirs)
if(WIN32)
  include(WindowsBuild)
endif()

# quorvel_shared_library(<name> SOURCES ... HEADER <public header> EXPORT_MACRO_DEFINE <define>)
#
# A shipped shared library: hidden visibility (only what the public header
# marks is exported), no `lib` prefix on Windows, no needless run-time
# dependencies, and an install rule that puts the library under lib/ and its
# public header under include/.
function(quorvel_shared_library name)
  cmake_parse_arguments(ARG "" "HEADER;BUILDING_DEFINE" "SOURCES" ${ARGN})
  add_library(${name} SHARED ${ARG_SOURCES})
  get_filename_component(header_dir ${ARG_HEADER} DIRECTORY)
  target_include_directories(${name} PUBLIC
    $<BUILD_INTERFACE:${header_dir}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_compile_definitions(${name} PRIVATE ${ARG_BUILDING_DEFINE})
  set_target_properties(${name} PROPERTIES PUBLIC_HEADER ${ARG_HEADER})
  if(WIN32)
    set_target_properties(${name} PROPERTIES PREFIX "")
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
  install(TARGETS ${name}
    LIBRARY DESTINATION lib
    RUNTIME DESTINATION lib
    ARCHIVE DESTINATION lib
    PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
