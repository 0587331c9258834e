# Fails unless the library's dynamic symbol table defines exactly the
# expected entry points (EXPECTED, a ;-list).
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(found)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  # Version nodes of the map file are listed as absolute symbols.
  if(NOT line MATCHES " A ")
    list(APPEND found ${name})
  endif()
endforeach()
list(SORT found)
set(expected ${EXPECTED})
list(SORT expected)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports are '${found}', expected '${expected}'")
endif()
message(STATUS "exports: ${found}")
