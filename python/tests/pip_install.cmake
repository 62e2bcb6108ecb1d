# `pip install --no-build-isolation .` from the repository into a fresh virtual environment that
# sees the machine's packages (numpy, setuptools), offline, then imports the package there.
# Variables: PYTHON, SOURCE, WORK (scratch folder, which also holds the build).
include(${CMAKE_CURRENT_LIST_DIR}/run.cmake)
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK})
run(${PYTHON} -m venv --system-site-packages ${WORK}/venv)
run(${CMAKE_COMMAND} -E env CMAKE_BUILD_PARALLEL_LEVEL=2 FIBREJOIN_BUILD_DIR=${WORK}/build
    ${WORK}/venv/bin/python -m pip install --no-build-isolation --no-index --no-cache-dir
    --disable-pip-version-check ${SOURCE})
import_from(${WORK}/venv ${CMAKE_COMMAND} -E env --unset=PYTHONPATH ${WORK}/venv/bin/python)
file(REMOVE_RECURSE ${WORK})
