# Runs the probe with Wine presenting VERSION to that executable alone, then
# removes the setting again. -DWINE_RUN -DPROBE -DVERSION -DEXPECTED
get_filename_component(name "${PROBE}" NAME)
set(key "HKCU\\Software\\Wine\\AppDefaults\\${name}")
execute_process(COMMAND ${WINE_RUN} reg add "${key}" /v Version /d ${VERSION} /f
  RESULT_VARIABLE rc OUTPUT_QUIET ERROR_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "reg add ${key} failed: ${rc}")
endif()
execute_process(COMMAND ${WINE_RUN} ${PROBE} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
execute_process(COMMAND ${WINE_RUN} reg delete "${key}" /f OUTPUT_QUIET ERROR_QUIET)
string(STRIP "${out}" out)
if(NOT rc EQUAL 0 OR NOT out STREQUAL EXPECTED)
  message(FATAL_ERROR "probe as ${VERSION}: exit ${rc}\n got:      '${out}'\n expected: '${EXPECTED}'\n${err}")
endif()
message(STATUS "${out}")
