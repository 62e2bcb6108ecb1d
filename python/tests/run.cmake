# Helpers of the installation tests.

# Runs a command; stops the test with its output when it fails.
function(run)
  execute_process(COMMAND ${ARGN} WORKING_DIRECTORY ${WORK} RESULT_VARIABLE status
                  OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
endfunction()

# Imports fibrejoin with the interpreter command given and checks that it came from `folder`
# and that the compiled part loaded.
function(import_from folder)
  run(${ARGN} -c "import fibrejoin, sys
assert fibrejoin.__file__.startswith('${folder}/'), fibrejoin.__file__
assert issubclass(fibrejoin.FibrejoinError, RuntimeError)")
endfunction()
