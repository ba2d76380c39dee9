# Lists of names kept in plain text files beside the sources they describe:
# one name a line, optionally followed by a word that qualifies it (DATA);
# lines that begin with # and blank lines are skipped. The build and every
# check that needs such a list read the same file.

# quorvel_read_names(<variable> <file>): the lines of <file> that name
# something, as a list. Editing the file re-runs the configuration.
function(quorvel_read_names variable file)
  file(STRINGS ${file} lines REGEX "^[A-Za-z_]")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  set(${variable} ${lines} PARENT_SCOPE)
endfunction()
