# Runs the reference script and compares its output with the committed file.
execute_process(COMMAND ${PYTHON} ${SCRIPT} OUTPUT_VARIABLE generated RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SCRIPT} failed")
endif()
file(READ ${EXPECTED} committed)
if(NOT generated STREQUAL committed)
  message(FATAL_ERROR "${EXPECTED} is not what ${SCRIPT} writes: regenerate it")
endif()
