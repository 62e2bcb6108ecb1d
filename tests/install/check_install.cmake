# Installs the build tree into a fresh prefix, builds an example as an outside project against
# the installed package, and runs the installed command and the example on the demo inputs; a
# second program links the NIfTI reader, which needs the NIfTI library the package finds.
# Variables: BUILD (build tree), SOURCE (repository), WORK (scratch folder), CXX, FLAGS.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "failed (${status}): ${ARGN}\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK}/prefix)
file(REMOVE_RECURSE ${WORK})
run(${CMAKE_COMMAND} --install ${BUILD} --prefix ${prefix})
foreach(installed bin/fibrejoin include/fibrejoin/trackio/TrackIO.h share/man/man1/fibrejoin.1)
  if(NOT EXISTS ${prefix}/${installed})
    message(FATAL_ERROR "not installed: ${installed}")
  endif()
endforeach()

run(${CMAKE_COMMAND} -S ${SOURCE}/tests/install -B ${WORK}/consumer -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_CXX_COMPILER=${CXX} "-DCMAKE_CXX_FLAGS=${FLAGS}"
    -DEXAMPLE_SOURCE=${SOURCE}/examples/track_summary.cpp)
run(${CMAKE_COMMAND} --build ${WORK}/consumer)

run(${BUILD}/examples/make_example_tracks ${WORK})
run(${prefix}/bin/fibrejoin ${WORK}/left.trk ${WORK}/right.trk ${WORK}/merged.trk)
run(${WORK}/consumer/track_summary ${WORK}/merged.trk)
if(NOT output MATCHES "DataSetID")
  message(FATAL_ERROR "unexpected summary:\n${output}")
endif()
run(${WORK}/consumer/nifti_consumer ${WORK}/missing.nii)
if(NOT output MATCHES "missing.nii: cannot open")
  message(FATAL_ERROR "unexpected NIfTI message:\n${output}")
endif()
file(REMOVE_RECURSE ${WORK})
