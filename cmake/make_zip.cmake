# Builds the Windows download: rastra-<version>-win64.zip with
#   bin/rastra.dll  bin/rastra.exe  lib/rastra.lib  lib/rastra.def
#   include/rastra.h  include/Rastra.cs  THIRD_PARTY_NOTICES  README-windows.txt
# Run with -DDLL= -DEXE= -DIMPLIB= -DHEADER= -DCSHARP= -DNOTICES= -DREADME= -DOBJDUMP= -DOUT=
set(stage "${OUT}.stage")
file(REMOVE_RECURSE "${stage}")
file(MAKE_DIRECTORY "${stage}/bin" "${stage}/lib" "${stage}/include")
file(COPY "${DLL}" "${EXE}" DESTINATION "${stage}/bin")
file(COPY "${IMPLIB}" DESTINATION "${stage}/lib")
file(COPY "${HEADER}" "${CSHARP}" DESTINATION "${stage}/include")
file(COPY "${NOTICES}" DESTINATION "${stage}")
file(COPY "${README}" DESTINATION "${stage}")

# rastra.def from the DLL's own export table, for `lib /def:rastra.def`.
execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE table RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} failed on ${DLL}")
endif()
string(REGEX MATCHALL "\\[ *[0-9]+\\] rastra_[a-z_]+" entries "${table}")
set(def "LIBRARY rastra.dll\nEXPORTS\n")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${entry}")
  string(APPEND def "    ${name}\n")
endforeach()
file(WRITE "${stage}/lib/rastra.def" "${def}")

file(REMOVE "${OUT}")
execute_process(COMMAND "${CMAKE_COMMAND}" -E tar cf "${OUT}" --format=zip
                        bin lib include THIRD_PARTY_NOTICES README-windows.txt
                WORKING_DIRECTORY "${stage}" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cannot write ${OUT}")
endif()
file(REMOVE_RECURSE "${stage}")
