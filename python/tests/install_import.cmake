# Installs the build tree into a fresh prefix and imports the package from a fresh interpreter
# that finds it only there. Variables: PYTHON, BUILD, WORK (scratch folder), SITE (package
# folder relative to the prefix).
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${WORK}/prefix)
import_from(${WORK}/prefix/${SITE} ${CMAKE_COMMAND} -E env PYTHONPATH=${WORK}/prefix/${SITE} ${PYTHON})
file(REMOVE_RECURSE ${WORK})
