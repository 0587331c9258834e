# Run by `cmake --install` (cmake/install.cmake sets LUMIVOX_UNITS, the
# units' names, LUMIVOX_UNIT_DIR and LUMIVOX_UNIT_OUT_DIR, where each one's
# .in is and where it is written, and LUMIVOX_BINDIR): writes the user
# units with the programs' paths under the prefix being installed to, and
# installs them. The
# unit goes to lib/systemd/user under the prefix whatever the library
# directory is (lib/x86_64-linux-gnu on Debian), since that is where the
# user's service manager looks. DESTDIR applies as to every other file.
if(IS_ABSOLUTE "${LUMIVOX_BINDIR}")
  set(CMAKE_INSTALL_FULL_BINDIR "${LUMIVOX_BINDIR}")
else()
  set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${LUMIVOX_BINDIR}")
endif()
foreach(unit IN LISTS LUMIVOX_UNITS)
  configure_file("${LUMIVOX_UNIT_DIR}/${unit}.in" "${LUMIVOX_UNIT_OUT_DIR}/${unit}" @ONLY)
  file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
       FILES "${LUMIVOX_UNIT_OUT_DIR}/${unit}")
endforeach()
