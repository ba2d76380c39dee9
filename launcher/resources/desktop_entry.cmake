# quorvel_write_desktop_entry(<output> <program> <icon>): the desktop entry
# of the installed program at <output>, starting <program> with the files it
# is given and showing the image <icon> (both absolute paths). Any path works:
# the values carry the quoting and escaping that desktop entries prescribe.
#
# Also a script: cmake -DOUTPUT=... -DPROGRAM=... -DICON=... -P desktop_entry.cmake
set(QUORVEL_DESKTOP_ENTRY_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/quorvel.desktop.in)

# A value of type string: backslash and the control characters escaped.
function(quorvel_desktop_string value out)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\n" "\\n" value "${value}")
  string(REPLACE "\t" "\\t" value "${value}")
  string(REPLACE "\r" "\\r" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# One argument of the Exec key: between double quotes, with ", `, $ and \
# escaped by a backslash and % doubled; then escaped again as a string value.
function(quorvel_desktop_exec_argument argument out)
  string(REPLACE "\\" "\\\\" argument "${argument}")
  string(REPLACE "\"" "\\\"" argument "${argument}")
  string(REPLACE "`" "\\`" argument "${argument}")
  string(REPLACE "$" "\\$" argument "${argument}")
  string(REPLACE "%" "%%" argument "${argument}")
  quorvel_desktop_string("\"${argument}\"" argument)
  set(${out} "${argument}" PARENT_SCOPE)
endfunction()

function(quorvel_write_desktop_entry output program icon)
  quorvel_desktop_exec_argument("${program}" QUORVEL_DESKTOP_EXEC)
  quorvel_desktop_string("${icon}" QUORVEL_DESKTOP_ICON)
  configure_file("${QUORVEL_DESKTOP_ENTRY_TEMPLATE}" "${output}" @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE STREQUAL CMAKE_CURRENT_LIST_FILE)
  quorvel_write_desktop_entry("${OUTPUT}" "${PROGRAM}" "${ICON}")
endif()
