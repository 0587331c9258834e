# Finds libgsm (GSM 06.10): the imported target GSM::gsm.
#
# Native builds find Debian's libgsm1-dev. The Windows build finds the static
# library that scripts/windows-deps.sh compiles with the mingw compiler from
# Debian's source package and installs in the toolchain's
# LUMIVOX_WINDOWS_PREFIX.
find_path(GSM_INCLUDE_DIR gsm.h PATH_SUFFIXES gsm)
find_library(GSM_LIBRARY NAMES gsm)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(GSM REQUIRED_VARS GSM_LIBRARY GSM_INCLUDE_DIR)

if(GSM_FOUND AND NOT TARGET GSM::gsm)
  add_library(GSM::gsm UNKNOWN IMPORTED)
  set_target_properties(GSM::gsm PROPERTIES IMPORTED_LOCATION ${GSM_LIBRARY}
                                            INTERFACE_INCLUDE_DIRECTORIES ${GSM_INCLUDE_DIR})
endif()
mark_as_advanced(GSM_INCLUDE_DIR GSM_LIBRARY)
