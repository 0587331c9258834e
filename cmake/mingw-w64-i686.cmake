# Cross-build for 32-bit Windows with Debian's mingw-w64 (g++-mingw-w64-i686).
#
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake
#
# The 32-bit driver is the one a 64-bit server loads into its 32-bit
# applications. Its tests run under Wine's 32-bit side (Debian's wine32)
# in a 64-bit prefix, as 32-bit programs run on a 64-bit server. What the
# two word sizes share is in mingw-w64-common.cmake.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LUMIVOX_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
