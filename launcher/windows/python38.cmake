# The Python 3.8 runtime for the Windows build: the target Python3::Python
# that the launcher links, which binds python38.dll by name at load time.
#
# By default the launcher compiles against the build machine's interpreter
# headers with the project's Windows configuration header (python/pyconfig.h)
# in place of the platform one, and links an import library made at build
# time from the entry points that the launcher uses. With a real Python 3.8
# for Windows, point the cache variables at its files instead:
#
#   -DQUORVEL_PYTHON_INCLUDE_DIR=C:/Python38/include
#   -DQUORVEL_PYTHON_LIBRARY=C:/Python38/libs/python38.lib
#   -DQUORVEL_PYTHON_OWN_CONFIG=OFF
#
# python38.dll is built on the Universal CRT, and the launcher shares memory
# and the argument vector with it, so whatever links it runs on that runtime
# too (mingw-w64's default is msvcrt).
file(GLOB machine_python_headers /usr/include/python3.*/Python.h)
list(SORT machine_python_headers)
list(GET machine_python_headers -1 machine_python_header)
get_filename_component(machine_python_include ${machine_python_header} DIRECTORY)
set(QUORVEL_PYTHON_INCLUDE_DIR ${machine_python_include} CACHE PATH
  "Interpreter headers that quorvel.exe is compiled against")
set(QUORVEL_PYTHON_LIBRARY "" CACHE FILEPATH
  "Import library of python38.dll (empty: made from the entry points the launcher uses)")
option(QUORVEL_PYTHON_OWN_CONFIG
  "Use the project's Windows configuration header in place of the headers' pyconfig.h" ON)

add_library(Python3::Python INTERFACE IMPORTED)
if(NOT QUORVEL_PYTHON_OWN_CONFIG)
  target_include_directories(Python3::Python INTERFACE ${QUORVEL_PYTHON_INCLUDE_DIR})
else()
  # The interpreter's headers look for pyconfig.h beside themselves first, so
  # they are used from a copy that lacks the machine's own.
  set(headers ${CMAKE_CURRENT_BINARY_DIR}/python-headers)
  file(COPY ${QUORVEL_PYTHON_INCLUDE_DIR}/ DESTINATION ${headers}
    PATTERN pyconfig.h EXCLUDE)
  target_include_directories(Python3::Python INTERFACE
    ${CMAKE_CURRENT_LIST_DIR}/python ${headers})
endif()

if(QUORVEL_PYTHON_LIBRARY)
  target_link_libraries(Python3::Python INTERFACE ${QUORVEL_PYTHON_LIBRARY})
else()
  quorvel_import_library(python38 DLL python38.dll
    ROUTINES
      Py_SetProgramName Py_SetPath Py_DecodeLocale PyMem_RawMalloc PyMem_RawFree PyOS_snprintf
      Py_Initialize Py_IsInitialized PySys_SetArgvEx Py_Finalize Py_FinalizeEx Py_Exit
      PyImport_ImportModule PyObject_GetAttrString PyObject_CallObject PySys_GetObject
      PyErr_Occurred PyErr_ExceptionMatches PyErr_Fetch PyErr_NormalizeException PyErr_Clear
      PyTuple_New PyTuple_SetItem PyUnicode_FromString PyUnicode_Join PyUnicode_Format
      PyUnicode_AsWideCharString PyUnicode_FromWideChar PyList_Insert PyObject_Str PyLong_AsLong PyMem_Free PyType_GetFlags
      _Py_Dealloc
    DATA
      Py_NoSiteFlag Py_FrozenFlag Py_IgnoreEnvironmentFlag PyExc_SystemExit _Py_NoneStruct)
  target_link_libraries(Python3::Python INTERFACE python38)
endif()

# quorvel_ucrt: compile and link on the Universal CRT. With mingw-w64, the
# compiler's own specs file, with ucrt in place of msvcrt.
add_library(quorvel_ucrt INTERFACE)
if(MINGW)
  set(ucrt_specs ${CMAKE_CURRENT_BINARY_DIR}/ucrt.specs)
  execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpspecs OUTPUT_VARIABLE specs
    COMMAND_ERROR_IS_FATAL ANY)
  string(REPLACE "-lmsvcrt" "-lucrt" specs "${specs}")
  set(old_specs "")
  if(EXISTS ${ucrt_specs})
    file(READ ${ucrt_specs} old_specs)
  endif()
  if(NOT old_specs STREQUAL specs)
    file(WRITE ${ucrt_specs} "${specs}")
  endif()
  target_compile_definitions(quorvel_ucrt INTERFACE _UCRT)
  target_link_options(quorvel_ucrt INTERFACE -specs=${ucrt_specs})
endif()
target_link_libraries(Python3::Python INTERFACE quorvel_ucrt)
