# The outside numerical libraries: BLAS, CBLAS and LAPACK, found with FindBLAS
# and FindLAPACK (BLA_VENDOR selects a vendor). The CBLAS routines live in the
# BLAS library on Debian's reference build and in most vendor builds; a
# separate libcblas is looked for only when they are not there.
#
# Defines the interface targets outside_blas, outside_cblas and
# outside_lapack, which carry nothing but the libraries to link and, as the
# property ROUTINE_LIST, the file that lists the routines taken from each
# (outside/<name>.routines).
include(CheckFunctionExists)

foreach(outside blas cblas lapack)
  set(outside_${outside}_list ${CMAKE_CURRENT_LIST_DIR}/outside/${outside}.routines)
  quorvel_read_names(outside_${outside}_routines ${outside_${outside}_list})
endforeach()

# Cross-built for Windows: the outside DLLs are not on the build machine, so
# each gets an import library naming exactly the entry points used here.
if(WIN32 AND CMAKE_CROSSCOMPILING)
  if(NOT COMMAND quorvel_import_library)
    include(WindowsBuild)
  endif()
  foreach(outside blas cblas lapack)
    quorvel_import_library(outside_${outside}_import DLL lib${outside}.dll
      LIST ${outside_${outside}_list})
    add_library(outside_${outside} INTERFACE)
    target_link_libraries(outside_${outside} INTERFACE outside_${outside}_import)
    set_target_properties(outside_${outside} PROPERTIES ROUTINE_LIST ${outside_${outside}_list})
  endforeach()
  return()
endif()

find_package(BLAS REQUIRED)
find_package(LAPACK REQUIRED)

# check_function_exists caches by result variable, so every check gets its own.
function(linalg_require_functions libraries what)
  set(CMAKE_REQUIRED_LIBRARIES ${libraries})
  set(CMAKE_REQUIRED_QUIET ON)
  set(missing "")
  foreach(fn IN LISTS ARGN)
    check_function_exists(${fn} LINALG_HAVE_${fn})
    if(NOT LINALG_HAVE_${fn})
      list(APPEND missing ${fn})
    endif()
  endforeach()
  if(missing)
    message(FATAL_ERROR
      "${what} (${libraries}) lacks ${missing}. blaswrap and cblassub need the CBLAS "
      "routines ${outside_cblas_routines} and the LAPACK routines ${outside_lapack_routines}: "
      "install a BLAS/LAPACK that provides them or choose another with -DBLA_VENDOR=..., "
      "or name the CBLAS library with -DLINALG_CBLAS_LIBRARIES=...")
  endif()
endfunction()

if(NOT DEFINED LINALG_CBLAS_LIBRARIES)
  set(CMAKE_REQUIRED_LIBRARIES ${BLAS_LIBRARIES})
  set(CMAKE_REQUIRED_QUIET ON)
  list(GET outside_cblas_routines 0 probe)
  check_function_exists(${probe} LINALG_BLAS_CARRIES_CBLAS)
  unset(CMAKE_REQUIRED_LIBRARIES)
  if(LINALG_BLAS_CARRIES_CBLAS)
    set(cblas_default ${BLAS_LIBRARIES})
  else()
    find_library(LINALG_CBLAS_LIBRARY cblas)
    set(cblas_default ${LINALG_CBLAS_LIBRARY} ${BLAS_LIBRARIES})
  endif()
  set(LINALG_CBLAS_LIBRARIES ${cblas_default} CACHE STRING "Libraries that provide the CBLAS routines")
endif()

linalg_require_functions("${LINALG_CBLAS_LIBRARIES}" "The CBLAS library" ${outside_cblas_routines})
linalg_require_functions("${LAPACK_LIBRARIES}" "The LAPACK library" ${outside_lapack_routines})
message(STATUS "BLAS: ${BLAS_LIBRARIES}; CBLAS: ${LINALG_CBLAS_LIBRARIES}; LAPACK: ${LAPACK_LIBRARIES}")

add_library(outside_blas INTERFACE)
target_link_libraries(outside_blas INTERFACE ${BLAS_LIBRARIES} ${BLAS_LINKER_FLAGS})
add_library(outside_cblas INTERFACE)
target_link_libraries(outside_cblas INTERFACE ${LINALG_CBLAS_LIBRARIES})
add_library(outside_lapack INTERFACE)
target_link_libraries(outside_lapack INTERFACE ${LAPACK_LIBRARIES} ${LAPACK_LINKER_FLAGS})
foreach(outside blas cblas lapack)
  set_target_properties(outside_${outside} PROPERTIES ROUTINE_LIST ${outside_${outside}_list})
endforeach()
