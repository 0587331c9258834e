# Run by `cmake --install` (cmake/install.cmake sets LUMIVOX_UNIT_IN,
# LUMIVOX_UNIT_OUT and LUMIVOX_BINDIR): writes the user unit with the
# server's path under the prefix being installed to, and installs it. The
# unit goes to lib/systemd/user under the prefix whatever the library
# directory is (lib/x86_64-linux-gnu on Debian), since that is where the
# user's service manager looks. DESTDIR applies as to every other file.
if(IS_ABSOLUTE "${LUMIVOX_BINDIR}")
  set(CMAKE_INSTALL_FULL_BINDIR "${LUMIVOX_BINDIR}")
else()
  set(CMAKE_INSTALL_FULL_BINDIR "${CMAKE_INSTALL_PREFIX}/${LUMIVOX_BINDIR}")
endif()
configure_file("${LUMIVOX_UNIT_IN}" "${LUMIVOX_UNIT_OUT}" @ONLY)
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/user" TYPE FILE
     FILES "${LUMIVOX_UNIT_OUT}")
