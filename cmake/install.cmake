# What `cmake --install` puts where, by GNUInstallDirs: the programs in bin;
# the driver, and the shared libraries that it and the programs load, in
# lib; the programs' manual pages, made from their --help by help2man; the
# systemd user unit of lumivox-server; the README and docs/ (which it links
# to) in the doc directory. Tests, benchmarks and fuzz targets are never
# installed. `lumivox_installable` builds all that the install takes, so
# that a build of only some targets (scripts/demo.sh) can be installed.
include(GNUInstallDirs)

# The Windows build installs nothing: there the driver is registered with
# the multimedia layer, which copying files does not do.
if(WIN32)
  return()
endif()

# Each program with the one line that names it in its manual page, and the
# ENVIRONMENT section of that page (packaging/man/*.h2m, none for "-").
set(LUMIVOX_PROGRAMS
  "lumivox-server|the audio server of a terminal|server"
  "lumivox-session|stand in for the terminal-server installation of a session|session"
  "lumivox-play|play sound files on the wave output device|driver"
  "lumivox-record|record from the wave input device into a sound file|driver"
  "lumivox-volume|read or set the terminal's output or input volume|driver"
  "lumivox-doctor|tell why a session has no sound|driver"
  "lumivox-relay|relay UDP datagrams with repeatable impairments|-")
set(LUMIVOX_INSTALLED_PROGRAMS)
foreach(entry IN LISTS LUMIVOX_PROGRAMS)
  string(REGEX REPLACE "\\|.*" "" program "${entry}")
  list(APPEND LUMIVOX_INSTALLED_PROGRAMS ${program})
endforeach()
# docs/ as the README links to it, relative to the doc directory.
file(GLOB LUMIVOX_INSTALLED_DOCS RELATIVE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/docs/*)

# The runtime (liblvposix.so) and the host (libmmhost.so) are shared
# libraries that every program and the driver load, so they go to lib with
# the driver. The installed files find them relative to themselves, so
# that any prefix works without ldconfig; the host also finds the driver
# there when it opens liblumivox.so by name.
set(LUMIVOX_INSTALLED_LIBRARIES lumivox mmhost lumivox_platform)
file(RELATIVE_PATH lib_from_bin /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${CMAKE_INSTALL_LIBDIR})
set_target_properties(${LUMIVOX_INSTALLED_PROGRAMS} PROPERTIES INSTALL_RPATH "$ORIGIN/${lib_from_bin}")
set_target_properties(${LUMIVOX_INSTALLED_LIBRARIES} PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS ${LUMIVOX_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS ${LUMIVOX_INSTALLED_LIBRARIES} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The manual pages, made in the build tree as part of `all` by running each
# program's --help and --version. Without help2man the build goes on
# without them. A "not found" is looked for again at every configure, so
# that a help2man installed since (scripts/demo.sh installs it) is found
# rather than the cached miss.
if(NOT HELP2MAN)
  unset(HELP2MAN CACHE)
endif()
find_program(HELP2MAN help2man)
if(HELP2MAN)
  set(man_pages)
  foreach(entry IN LISTS LUMIVOX_PROGRAMS)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 program)
    list(GET fields 1 description)
    list(GET fields 2 environment)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    set(include)
    set(included)
    if(NOT environment STREQUAL "-")
      set(included ${PROJECT_SOURCE_DIR}/packaging/man/${environment}-environment.h2m)
      set(include --include=${included})
    endif()
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${HELP2MAN} --no-info --section=1 "--name=${description}"
              "--source=Lumivox ${PROJECT_VERSION}" ${include} --output=${page}
              $<TARGET_FILE:${program}>
      DEPENDS ${program} ${included}
      COMMENT "Manual page ${program}.1"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  add_custom_target(lumivox_man_pages ALL DEPENDS ${man_pages})
  install(FILES ${man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  set(LUMIVOX_MAN_PAGES ON)
else()
  message(STATUS "help2man not found: no manual pages are made or installed "
                 "(Debian's help2man makes them)")
  set(LUMIVOX_MAN_PAGES OFF)
endif()

# The user units: the server's (instance = display number) and the
# session's. They name the programs by their full paths, so they are
# written when installing, for the prefix installed to (cmake --install
# --prefix), by packaging/systemd/install-unit.cmake.
install(CODE "
  set(LUMIVOX_UNITS lumivox-server@.service lumivox-session.service)
  set(LUMIVOX_UNIT_DIR \"${PROJECT_SOURCE_DIR}/packaging/systemd\")
  set(LUMIVOX_UNIT_OUT_DIR \"${PROJECT_BINARY_DIR}/packaging\")
  set(LUMIVOX_BINDIR \"${CMAKE_INSTALL_BINDIR}\")")
install(SCRIPT ${PROJECT_SOURCE_DIR}/packaging/systemd/install-unit.cmake)

install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The wire dissector, for tshark and Wireshark (-X lua_script:FILE).
install(FILES ${PROJECT_SOURCE_DIR}/server/lumivox.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/lumivox)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs DESTINATION ${CMAKE_INSTALL_DOCDIR})

add_custom_target(lumivox_installable DEPENDS ${LUMIVOX_INSTALLED_PROGRAMS}
                                              ${LUMIVOX_INSTALLED_LIBRARIES})
if(HELP2MAN)
  add_dependencies(lumivox_installable lumivox_man_pages)
endif()
