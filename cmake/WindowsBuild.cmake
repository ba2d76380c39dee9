# Windows build settings shared by every target.

# Programs and DLLs land in one directory, so test programs find the DLLs
# they link without any search-path set-up.
if(NOT CMAKE_RUNTIME_OUTPUT_DIRECTORY)
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

# quorvel_import_library(<target> DLL <name.dll> LIST <file>)
#
# An import library for a DLL that is not on the build machine, made at build
# time from the list of the entry points used (a name list, DATA after an
# exported variable), so the linker binds exactly those names to that DLL and
# nothing else.
function(quorvel_import_library target)
  cmake_parse_arguments(ARG "" "DLL;LIST" "" ${ARGN})
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES ${QUORVEL_MINGW_TRIPLET}-dlltool dlltool REQUIRED)
  endif()
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/import)
  file(MAKE_DIRECTORY ${dir})
  quorvel_read_names(entries ${ARG_LIST})
  set(lines "LIBRARY ${ARG_DLL}\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(APPEND lines "  ${entry}\n")
  endforeach()
  set(def ${dir}/${target}.def)
  file(CONFIGURE OUTPUT ${def} CONTENT "${lines}")
  set(archive ${dir}/lib${target}.a)
  add_custom_command(
    OUTPUT ${archive}
    COMMAND ${CMAKE_DLLTOOL} --input-def ${def} --dllname ${ARG_DLL} --output-lib ${archive}
    DEPENDS ${def}
    COMMENT "Import library for ${ARG_DLL}"
    VERBATIM)
  add_custom_target(${target}_archive DEPENDS ${archive})
  add_library(${target} STATIC IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES IMPORTED_LOCATION ${archive})
  add_dependencies(${target} ${target}_archive)
endfunction()
