# The installation is one self-contained folder: the program, lib/ with the
# interpreter's runtime and the libraries, include/, share/. Installed into a
# system prefix it would mix the runtime's files with the system's own
# libraries, so such an install is refused before it copies anything, and the
# default prefix is a folder of its own.
if(WIN32)
  return()
endif()

set(QUORVEL_DEFAULT_PREFIX /opt/quorvel)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX ${QUORVEL_DEFAULT_PREFIX} CACHE PATH "Install folder" FORCE)
endif()

# Runs first among the install rules: the rules of subdirectories follow in
# the order they were added.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(prefix STREQUAL \"\")
    set(prefix /)
  endif()
  file(REAL_PATH \"\${prefix}\" prefix)
  if(prefix MATCHES \"^/(usr(/local)?)?/?\$\")
    message(FATAL_ERROR \"Refusing to install into the system prefix \${CMAKE_INSTALL_PREFIX}: \"
      \"quorvel's runtime would mix with the system's own libraries. Install it into a \"
      \"folder of its own, e.g. cmake --install <build> --prefix ${QUORVEL_DEFAULT_PREFIX}, \"
      \"or build the Debian package with tools/pack-app --archive NAME.deb.\")
  endif()")
