# How the launcher links the interpreter on POSIX systems; see
# QUORVEL_PYTHON_RUNTIME in CMakeLists.txt.

find_package(Threads REQUIRED)

execute_process(
  COMMAND ${Python3_EXECUTABLE} -c
    "import sysconfig as s; print(s.get_config_var('LIBPL')); print(s.get_config_var('LIBRARY')); print(' '.join(s.get_config_var(v) or '' for v in ('MODLIBS', 'LIBS', 'SYSLIBS')))"
  OUTPUT_VARIABLE python_link OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "\n" ";" python_link "${python_link}")
list(GET python_link 0 python_libpl)
list(GET python_link 1 python_static_name)
list(GET python_link 2 python_system_libraries)
separate_arguments(python_system_libraries UNIX_COMMAND "${python_system_libraries}")
list(REMOVE_DUPLICATES python_system_libraries)

if(QUORVEL_PYTHON_RUNTIME STREQUAL "static")
  set(python_static_library ${python_libpl}/${python_static_name})
elseif(QUORVEL_PYTHON_RUNTIME STREQUAL "static-pic")
  string(REPLACE ".a" "-pic.a" python_static_name "${python_static_name}")
  set(python_static_library ${python_libpl}/${python_static_name})
elseif(NOT QUORVEL_PYTHON_RUNTIME STREQUAL "shared")
  message(FATAL_ERROR "QUORVEL_PYTHON_RUNTIME: static, static-pic or shared, not ${QUORVEL_PYTHON_RUNTIME}")
endif()
if(python_static_library AND NOT EXISTS ${python_static_library})
  message(FATAL_ERROR "${python_static_library} not found; install the interpreter's development package or configure -DQUORVEL_PYTHON_RUNTIME=shared")
endif()

# quorvel_link_python_runtime(<program>): links the configured runtime. A
# static runtime is linked whole and its symbols exported, so that extension
# modules loaded later bind to the program's interpreter, never to another
# copy of it.
function(quorvel_link_python_runtime name)
  if(QUORVEL_PYTHON_RUNTIME STREQUAL "shared")
    target_link_libraries(${name} PRIVATE Python3::Python)
    return()
  endif()
  target_link_libraries(${name} PRIVATE
    "$<LINK_LIBRARY:WHOLE_ARCHIVE,${python_static_library}>"
    ${python_system_libraries} Threads::Threads)
  target_link_options(${name} PRIVATE "LINKER:--export-dynamic")
  if(QUORVEL_PYTHON_RUNTIME STREQUAL "static")
    # The library's code is not position-independent.
    set_target_properties(${name} PROPERTIES POSITION_INDEPENDENT_CODE OFF)
    target_link_options(${name} PRIVATE -no-pie)
  endif()
endfunction()

# quorvel_install_shared_python_runtime(): the shared runtime in lib/ under
# its soname, which is what the program asks for.
function(quorvel_install_shared_python_runtime)
  list(GET Python3_LIBRARIES 0 python_library)
  file(REAL_PATH ${python_library} python_library_file)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${python_library_file}
    OUTPUT_VARIABLE python_library_headers COMMAND_ERROR_IS_FATAL ANY)
  string(REGEX MATCH "SONAME +([^\n]+)" _ "${python_library_headers}")
  install(FILES ${python_library_file} DESTINATION lib RENAME ${CMAKE_MATCH_1})
endfunction()
