# The Windows version resource (VERSIONINFO) of every shipped module: the
# project version as FILEVERSION and PRODUCTVERSION, ProductName "Lumivox",
# a FileDescription per file. Explorer's properties, installers and
# inventory tools read it; the driver's capabilities keep their own product
# name. Included by the top CMakeLists.txt after the targets exist; does
# nothing outside Windows.
if(NOT WIN32)
  return()
endif()
enable_language(RC)

# The four numbers of a VERSIONINFO from the project version, missing parts 0.
set(lv_parts ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH}
             ${PROJECT_VERSION_TWEAK})
set(LV_VERSION_COMMAS)
foreach(part IN LISTS lv_parts ITEMS 0 0 0 0)
  list(LENGTH LV_VERSION_COMMAS count)
  if(count LESS 4 AND NOT part STREQUAL "")
    list(APPEND LV_VERSION_COMMAS ${part})
  endif()
endforeach()
list(JOIN LV_VERSION_COMMAS "," LV_VERSION_COMMAS)

# lumivox_version_resource(TARGET "description"): writes the target's .rc
# into the build tree and adds it to the target. A driver is typed as a
# sound driver (VFT_DRV, VFT2_DRV_SOUND), a program as an application.
function(lumivox_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  set(LV_DESCRIPTION "${description}")
  set(LV_INTERNAL ${name})
  if(type STREQUAL "SHARED_LIBRARY")
    set(LV_FILE ${name}.dll)
    set(LV_FILETYPE VFT_DRV)
    set(LV_FILESUBTYPE VFT2_DRV_SOUND)
  else()
    set(LV_FILE ${name}.exe)
    set(LV_FILETYPE VFT_APP)
    set(LV_FILESUBTYPE VFT2_UNKNOWN)
  endif()
  set(rc ${PROJECT_BINARY_DIR}/generated/versioninfo/${target}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/versioninfo.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  # For the test that reads the resources back (tests/driver/check_version.cmake).
  set_property(GLOBAL APPEND PROPERTY LUMIVOX_VERSIONED_MODULES
               "$<TARGET_FILE:${target}>|${description}")
endfunction()

lumivox_version_resource(lumivox "Lumivox audio driver for terminal sessions")
lumivox_version_resource(lumivox-play "Lumivox: plays a WAV file on the wave output device")
lumivox_version_resource(lumivox-record "Lumivox: records a WAV file from the wave input device")
lumivox_version_resource(lumivox-volume "Lumivox: reads or sets the terminal's volume")
foreach(optional IN ITEMS "lumivox-setup|Lumivox setup: installs and registers the driver"
                          "lumivox-doctor|Lumivox doctor: why there is no sound")
  string(REPLACE "|" ";" optional "${optional}")
  list(GET optional 0 target)
  list(GET optional 1 description)
  if(TARGET ${target})
    lumivox_version_resource(${target} "${description}")
  endif()
endforeach()

# The .inf files of the release bundle (packaging/windows), with the version
# in the four numbers DriverVer takes, into the build tree's packaging/.
string(REPLACE "," "." LUMIVOX_VERSION4 "${LV_VERSION_COMMAS}")
set(LUMIVOX_VERSION ${PROJECT_VERSION})
foreach(inf IN ITEMS lumivox lumivox-x86)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/${inf}.inf
                 ${PROJECT_BINARY_DIR}/packaging/${inf}.inf @ONLY NEWLINE_STYLE CRLF)
endforeach()
