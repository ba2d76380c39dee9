# cmake -DBUILD_DIR=<build> -DPREFIX=<prefix> -P FreshInstall.cmake
#
# Installs the build into an emptied prefix, so that no file of an earlier
# installation (of another configuration, say) outlives it there.
file(REMOVE_RECURSE ${PREFIX})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${PREFIX}
  COMMAND_ERROR_IS_FATAL ANY)
