# Installs the build tree into a scratch prefix, then configures, builds and
# runs the consumer project against it.
set(prefix ${KVR_WORK_DIR}/prefix)
set(build ${KVR_WORK_DIR}/build)
file(REMOVE_RECURSE ${KVR_WORK_DIR})

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  message(STATUS "${out}")
endfunction()

run(${CMAKE_COMMAND} --install ${KVR_BINARY_DIR} --prefix ${prefix})
run(${CMAKE_COMMAND} -S ${KVR_CONSUMER_SOURCE} -B ${build} -G ${KVR_GENERATOR} -DCMAKE_PREFIX_PATH=${prefix})
run(${CMAKE_COMMAND} --build ${build})
run(${build}/consumer)
