# quorvel_launcher_resources(<target> [BIN_DIR <dir under the prefix>])
#
# Windows: the icon, version block and manifest go into the program (whose
# image properties quorvel_windowed_program gives). Elsewhere: the same artwork is installed as
# freedesktop icons together with a desktop entry that starts the installed
# program.
set(QUORVEL_RESOURCE_DIR ${CMAKE_CURRENT_LIST_DIR})
set(QUORVEL_ICON_SIZES 16 32 48 64 96 128 256)
# The four-part version that the version block and its strings carry.
set(QUORVEL_FILE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)

# quorvel_windowed_program(<target>): the image properties and start-up of a
# windowed program with the wide entry point wWinMain, the command line split
# without wildcard expansion: GUI subsystem 6.0, ASLR with high-entropy
# addresses, NX, terminal-server aware, 1 MiB stack reserve with 4 KiB
# committed.
function(quorvel_windowed_program target)
  set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  if(NOT MINGW)
    return()
  endif()
  execute_process(COMMAND ${CMAKE_C_COMPILER} -print-file-name=CRT_noglob.o
    OUTPUT_VARIABLE noglob OUTPUT_STRIP_TRAILING_WHITESPACE)
  target_link_options(${target} PRIVATE
    -municode -mwindows ${noglob}
    LINKER:--subsystem,windows:6.0
    LINKER:--major-os-version,6 LINKER:--minor-os-version,0
    LINKER:--dynamicbase LINKER:--high-entropy-va LINKER:--nxcompat LINKER:--tsaware
    "SHELL:-Xlinker --stack -Xlinker 1048576,4096")
endfunction()

function(quorvel_launcher_resources target)
  cmake_parse_arguments(ARG "" "BIN_DIR" "" ${ARGN})
  if(NOT DEFINED ARG_BIN_DIR)
    set(ARG_BIN_DIR .)
  endif()
  set(dir ${QUORVEL_RESOURCE_DIR})
  if(WIN32)
    set(rc ${CMAKE_CURRENT_BINARY_DIR}/quorvel.rc)
    configure_file(${dir}/quorvel.rc.in ${rc} @ONLY)
    target_sources(${target} PRIVATE ${rc})
    set_source_files_properties(${rc} PROPERTIES
      OBJECT_DEPENDS "${dir}/quorvel.ico;${dir}/quorvel.manifest")
    return()
  endif()

  foreach(size IN LISTS QUORVEL_ICON_SIZES)
    install(FILES ${dir}/icons/quorvel-${size}.png
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps
      RENAME quorvel.png)
  endforeach()
  # The entry names the program and its icon by their installed paths, known
  # only at install time (cmake --install --prefix).
  set(entry "${CMAKE_INSTALL_DATADIR}/applications/quorvel.desktop")
  set(icon "${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps/quorvel.png")
  install(CODE "
    include(\"${dir}/desktop_entry.cmake\")
    # A relative prefix is relative to where the install runs.
    get_filename_component(prefix \"\${CMAKE_INSTALL_PREFIX}\" ABSOLUTE)
    set(program \"\${prefix}/${ARG_BIN_DIR}/$<TARGET_FILE_NAME:${target}>\")
    cmake_path(NORMAL_PATH program)
    message(STATUS \"Installing: \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${entry}\")
    quorvel_write_desktop_entry(\"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${entry}\"
      \"\${program}\" \"\${prefix}/${icon}\")")
endfunction()
