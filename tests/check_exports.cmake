# Fails unless LIBRARY exports exactly the twelve functions of rastra.h.
set(expected
  rastra_cleanup rastra_init rastra_last_error rastra_process_file rastra_reset rastra_run
  rastra_set_format rastra_set_quality rastra_set_resize rastra_set_strip_metadata
  rastra_set_watermark rastra_stats)
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(found)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exported symbols differ\n expected: ${expected}\n found:    ${found}")
endif()
message(STATUS "exports: ${found}")
