# Runs CHECKER on TREE and fails unless it exits 1 printing exactly EXPECTED.
execute_process(COMMAND ${CHECKER} ${TREE} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
file(READ ${EXPECTED} want)
if(NOT rc EQUAL 1 OR NOT out STREQUAL want)
  message(FATAL_ERROR "layering_check exited ${rc}; printed:\n${out}\nexpected:\n${want}")
endif()
