# Shared by the -P scripts that inspect a built plug-in: runs readelf -W with
# the given options on PLUGIN and fails the check, named by CHECK_NAME, if it cannot.
function(run_readelf out)
  execute_process(COMMAND ${READELF} -W ${ARGN} ${PLUGIN} OUTPUT_VARIABLE text
                  ERROR_VARIABLE err RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${CHECK_NAME}: ${READELF} ${ARGN} ${PLUGIN} failed: ${err}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
