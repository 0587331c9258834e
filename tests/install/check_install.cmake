# Installs the build into a fresh PREFIX as a user would (cmake --install)
# and checks what arrives: exactly the programs, the libraries, the manual
# pages (each with its NAME line and, for those that read the environment,
# an ENVIRONMENT section naming the variables; with help2man on the machine
# they must be there), the user units, the README and docs/; each installed program runs from
# there and prints "PROGRAM VERSION" for --version; each manual page has
# every option of its program's --help; the installed host loads the
# installed driver; the unit starts the installed server. Inputs: BUILD_DIR, PREFIX, VERSION, PROGRAMS, LIBRARIES (file
# names), DOCS (docs/ files relative to the source), BINDIR, LIBDIR,
# MANDIR, DOCDIR, DATADIR, MAN_PAGES (ON or OFF).
set(failures)
macro(fail message)
  list(APPEND failures "${message}")
endmacro()

# help2man on this machine and no pages made: the configure missed it (a
# "not found" kept from before it was installed), and an install after it
# would lack the pages a user expects.
find_program(HELP2MAN_HERE help2man)
if(HELP2MAN_HERE AND NOT MAN_PAGES)
  fail("help2man is installed (${HELP2MAN_HERE}) but the build made no manual pages")
endif()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install failed (${result}):\n${output}")
endif()

# Every file installed, and no other: nothing of the tests or benchmarks.
set(expected lib/systemd/user/lumivox-server@.service lib/systemd/user/lumivox-session.service
             ${DOCDIR}/README.md
             ${DATADIR}/lumivox/lumivox.lua)
foreach(doc IN LISTS DOCS)
  list(APPEND expected ${DOCDIR}/${doc})
endforeach()
foreach(program IN LISTS PROGRAMS)
  list(APPEND expected ${BINDIR}/${program})
  if(MAN_PAGES)
    list(APPEND expected ${MANDIR}/man1/${program}.1)
  endif()
endforeach()
foreach(library IN LISTS LIBRARIES)
  list(APPEND expected ${LIBDIR}/${library})
endforeach()
file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE "${PREFIX}" "${PREFIX}/*")
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  list(JOIN installed " " installed_text)
  list(JOIN expected " " expected_text)
  fail("installed files are ${installed_text}, expected ${expected_text}")
endif()

foreach(program IN LISTS PROGRAMS)
  # Run from the prefix without the build tree's library path: the
  # programs find the runtime and the host next to the driver.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
                          "${PREFIX}/${BINDIR}/${program}" --version
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
  if(NOT result EQUAL 0 OR NOT output STREQUAL "${program} ${VERSION}\n")
    fail("${program} --version exited ${result}, printed '${output}' '${errors}'")
  endif()
  if(NOT MAN_PAGES)
    continue()
  endif()
  execute_process(COMMAND "${PREFIX}/${BINDIR}/${program}" --help OUTPUT_VARIABLE help)
  string(REGEX MATCHALL "--[a-z][a-z-]*" options "${help}")
  list(REMOVE_DUPLICATES options)
  file(READ "${PREFIX}/${MANDIR}/man1/${program}.1" page)
  if(NOT page MATCHES "\\.SH NAME\n${program} \\\\- ([^\n]*)")
    fail("${program}.1 has no NAME line of its own")
  elseif(CMAKE_MATCH_1 MATCHES "WAV")
    fail("${program}.1 is named for WAV files alone: ${CMAKE_MATCH_1}")
  endif()
  if(NOT program STREQUAL "lumivox-relay" AND NOT page MATCHES "\\.SH ENVIRONMENT")
    fail("${program}.1 has no ENVIRONMENT section")
  endif()
  # The programs that load the driver read both variables; the session
  # serves the runtime directory.
  set(variables)
  if(program MATCHES "^lumivox-(play|record|volume|doctor)$")
    set(variables LUMIVOX_DRIVER LUMIVOX_RUNTIME_DIR)
  elseif(program STREQUAL "lumivox-session")
    set(variables LUMIVOX_RUNTIME_DIR)
  endif()
  # The section runs to the next heading.
  string(FIND "${page}" ".SH ENVIRONMENT\n" start)
  set(environment)
  if(NOT start EQUAL -1)
    string(SUBSTRING "${page}" ${start} -1 environment)
    string(FIND "${environment}" "\n.SH " end)
    string(SUBSTRING "${environment}" 0 ${end} environment)
  endif()
  foreach(variable IN LISTS variables)
    string(FIND "${environment}" ".B ${variable}\n" at)
    if(at EQUAL -1)
      fail("${program}.1 does not name ${variable} in its ENVIRONMENT section")
    endif()
  endforeach()
  string(FIND "${page}" "\"Lumivox ${VERSION}\"" at)
  if(NOT page MATCHES "\\.SH SYNOPSIS" OR at EQUAL -1)
    fail("${program}.1 has no synopsis or no version")
  endif()
  foreach(option IN LISTS options)
    # Manual pages write each '-' of an option as '\-'.
    string(REPLACE "-" "\\-" written "${option}")
    string(FIND "${page}" "${written}" at)
    if(at EQUAL -1)
      fail("${program}.1 lacks ${option}")
    endif()
  endforeach()
endforeach()

# The installed host loads the installed driver by name: the mixer device
# exists even with no session to reach (an empty runtime directory).
set(runtime "${PREFIX}-runtime")
file(REMOVE_RECURSE "${runtime}")
file(MAKE_DIRECTORY "${runtime}")
file(CHMOD "${runtime}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
execute_process(COMMAND ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH --unset=LUMIVOX_DRIVER
                        LUMIVOX_RUNTIME_DIR=${runtime} "${PREFIX}/${BINDIR}/lumivox-volume"
                RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE errors)
file(REMOVE_RECURSE "${runtime}")
if(errors MATCHES "no mixer device")
  fail("the installed lumivox-volume finds no driver: ${errors}")
endif()

set(units "${PREFIX}/lib/systemd/user/lumivox-server@.service"
          "${PREFIX}/lib/systemd/user/lumivox-session.service")
set(execs "ExecStart=${PREFIX}/${BINDIR}/lumivox-server --display %i $LUMIVOX_SERVER_OPTIONS"
          "ExecStart=${PREFIX}/${BINDIR}/lumivox-session $LUMIVOX_SESSION_OPTIONS")
foreach(unit wanted IN ZIP_LISTS units execs)
  if(EXISTS "${unit}")
    file(STRINGS "${unit}" exec REGEX "^ExecStart=")
    if(NOT exec STREQUAL wanted)
      fail("${unit} says '${exec}'")
    endif()
  endif()
endforeach()

# Where systemd's tools are, the unit must pass its checks too: directives,
# the executable, the manual page it names (so only with the pages).
find_program(SYSTEMD_ANALYZE systemd-analyze)
if(SYSTEMD_ANALYZE AND MAN_PAGES)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env "MANPATH=${PREFIX}/${MANDIR}:"
                          ${SYSTEMD_ANALYZE} verify ${units}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(NOT result EQUAL 0 OR output MATCHES "lumivox")
    fail("systemd-analyze verify: ${result} ${output}")
  endif()
endif()

if(failures)
  string(REPLACE ";" "\n" failures "${failures}")
  message(FATAL_ERROR "${failures}")
endif()
message(STATUS "installed ${installed}")
