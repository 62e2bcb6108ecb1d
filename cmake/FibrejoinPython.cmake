# Looks for what the Python package is built with: a Python 3 interpreter with its development
# files, and pybind11 (Debian: python3-dev pybind11-dev). Sets FIBREJOIN_PYTHON_FOUND.
#
# The interpreter is Python3_EXECUTABLE when given (pip passes its own). Otherwise it is the first
# python3 on the PATH that can import numpy: the package hands out numpy arrays, and a private
# interpreter ahead of the system one on the PATH often lacks it.
set(FIBREJOIN_PYTHON_FOUND OFF)
# Sanitizer and fuzzer builds do not make a module that a plain interpreter can load.
if(FIBREJOIN_SANITIZE OR FIBREJOIN_FUZZ OR (DEFINED FIBREJOIN_PYTHON AND NOT FIBREJOIN_PYTHON))
  return()
endif()

if(NOT DEFINED Python3_EXECUTABLE AND CMAKE_VERSION VERSION_GREATER_EQUAL 3.25)
  function(fibrejoin_python_has_numpy result candidate)
    execute_process(COMMAND ${candidate} -c "import numpy" RESULT_VARIABLE status
                    OUTPUT_QUIET ERROR_QUIET)
    if(NOT status EQUAL 0)
      set(${result} FALSE PARENT_SCOPE)
    endif()
  endfunction()
  find_program(FIBREJOIN_PYTHON_WITH_NUMPY NAMES python3 VALIDATOR fibrejoin_python_has_numpy)
  if(FIBREJOIN_PYTHON_WITH_NUMPY)
    set(Python3_EXECUTABLE ${FIBREJOIN_PYTHON_WITH_NUMPY})
  endif()
endif()

find_package(Python3 COMPONENTS Interpreter Development.Module QUIET)
if(Python3_FOUND)
  find_package(pybind11 CONFIG QUIET)
endif()
if(Python3_FOUND AND pybind11_FOUND)
  set(FIBREJOIN_PYTHON_FOUND ON)
endif()
