# The private wine prefix that the Windows test programs run in. It is set up
# once at build time, so tests that start in parallel never race to create it.
if(TARGET wine_prefix OR NOT QUORVEL_WINEPREFIX)
  return()
endif()

get_filename_component(wine_dir ${QUORVEL_WINE} DIRECTORY)
find_program(QUORVEL_WINESERVER NAMES wineserver64 wineserver HINTS ${wine_dir} REQUIRED)

add_custom_command(
  OUTPUT ${QUORVEL_WINEPREFIX}/system.reg
  COMMAND ${CMAKE_CROSSCOMPILING_EMULATOR} wineboot --init
  COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${QUORVEL_WINEPREFIX} ${QUORVEL_WINESERVER} --wait
  COMMENT "Setting up the wine prefix for the Windows tests"
  VERBATIM)
add_custom_target(wine_prefix ALL DEPENDS ${QUORVEL_WINEPREFIX}/system.reg)
