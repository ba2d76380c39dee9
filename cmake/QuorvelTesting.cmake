# GoogleTest for the test programs: the machine's package natively, built
# from Debian's googletest sources when cross-compiling.
if(CMAKE_CROSSCOMPILING)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
  if(WIN32)
    include(WindowsWine)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# quorvel_install_fixture(<test> <prefix>): a test that installs this build
# into an emptied prefix and sets up the fixture of the same name.
function(quorvel_install_fixture name prefix)
  add_test(NAME ${name} COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
    -DPREFIX=${prefix} -P ${PROJECT_SOURCE_DIR}/cmake/FreshInstall.cmake)
  set_tests_properties(${name} PROPERTIES FIXTURES_SETUP ${name})
endfunction()

# quorvel_gtest(<name> SOURCES ... LIBRARIES ...): one GoogleTest program,
# its cases registered with CTest one by one. Under an emulator every start
# costs seconds, so there the whole program is one CTest test.
function(quorvel_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE GTest::gtest_main Threads::Threads ${ARG_LIBRARIES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  else()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
  endif()
endfunction()

# quorvel_c_header_check(<name> SOURCE <file.c> LIBRARY <target>): a plain C
# program built against a library's public header, so no C++ leaks into it.
function(quorvel_c_header_check name)
  cmake_parse_arguments(ARG "" "SOURCE;LIBRARY" "" ${ARGN})
  add_executable(${name} ${ARG_SOURCE})
  set_target_properties(${name} PROPERTIES LINKER_LANGUAGE C C_STANDARD 99 C_EXTENSIONS OFF)
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARY})
  add_test(NAME ${name} COMMAND ${name})
endfunction()

# quorvel_fuzz_target(<name> SOURCES ... LIBRARIES ...): a libFuzzer program,
# built only with QUORVEL_FUZZ into <build>/fuzz/ and gathered under the
# target fuzz_targets.
if(QUORVEL_FUZZ AND NOT TARGET fuzz_targets)
  add_custom_target(fuzz_targets)
endif()
function(quorvel_fuzz_target name)
  if(NOT QUORVEL_FUZZ)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBRARIES" ${ARGN})
  add_executable(${name} EXCLUDE_FROM_ALL ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBRARIES})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  add_dependencies(fuzz_targets ${name})
endfunction()
