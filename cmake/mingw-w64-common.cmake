# What the toolchain files of both word sizes share (mingw-w64-x86_64.cmake,
# mingw-w64-i686.cmake); they set CMAKE_SYSTEM_PROCESSOR and
# LUMIVOX_MINGW_TRIPLE and include this file.
#
# The -posix compiler variants are used: the default win32 thread model of
# GCC 12 has no std::thread or std::mutex, which the tests need. Everything
# links statically, so LUMIVOX.dll and the test executables import system
# DLLs only and need no compiler runtime DLL next to them.
#
# Executables run under Wine through cmake/wine-run.sh, with a private prefix
# in the build tree (LUMIVOX_WINEPREFIX). Run the tests with
# scripts/windows-test.sh: it boots the prefix and keeps wineserver running
# detached, without which CTest may wait on the background services Wine
# starts.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER ${LUMIVOX_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMIVOX_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LUMIVOX_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${LUMIVOX_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${LUMIVOX_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")
set(CMAKE_OBJDUMP ${LUMIVOX_MINGW_TRIPLE}-objdump CACHE FILEPATH "")

# Libraries are looked for among mingw's own and in the prefix that
# scripts/windows-deps.sh installs the Windows builds of dependencies into.
set(LUMIVOX_WINDOWS_PREFIX "${CMAKE_BINARY_DIR}/_deps/prefix" CACHE PATH
    "Prefix holding the Windows builds of dependencies")
set(CMAKE_FIND_ROOT_PATH /usr/${LUMIVOX_MINGW_TRIPLE} ${LUMIVOX_WINDOWS_PREFIX})
list(APPEND CMAKE_PREFIX_PATH ${LUMIVOX_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread go into each module.
set(_lumivox_static "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${_lumivox_static}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${_lumivox_static}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${_lumivox_static}")

set(LUMIVOX_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH
    "Wine prefix the Windows tests run in (created on first use)")
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run.sh;${LUMIVOX_WINEPREFIX}")
