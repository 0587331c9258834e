#!/usr/bin/env bash
# The Windows build and its tests under Wine, on a fresh Debian 12 machine:
#
#   scripts/windows-test.sh [BUILD_DIR]      (default: build-win)
#
# Installs what is missing (scripts/windows-deps.sh), cross-builds
# LUMIVOX.dll and the tests with mingw-w64, and runs CTest with Wine as the
# emulator. Wine starts background services (wineserver, services.exe,
# explorer, ...) that would inherit CTest's pipes and keep it waiting, so the
# prefix is booted and its wineserver started here, detached from every
# pipe, before CTest, and stopped after it.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build-win}")
prefix=$build/wineprefix
wineserver=/usr/lib/wine/wineserver64
jobs=$(nproc)

"$top/scripts/windows-deps.sh" "$build"

cmake -S "$top" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-x86_64.cmake" \
  -DLUMIVOX_WINEPREFIX="$prefix"
cmake --build "$build" -j "$jobs"

stop_wine() { WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true; }
trap stop_wine EXIT
# The server needs its prefix directory; the first boot fills the prefix.
mkdir -p "$prefix"
WINEPREFIX=$prefix setsid -f "$wineserver" -p </dev/null >/dev/null 2>&1
"$top/cmake/wine-run.sh" "$prefix" --detached wineboot -i

ctest --test-dir "$build" --output-on-failure --timeout "${LUMIVOX_TEST_TIMEOUT:-300}" -j "$jobs"
# CTest names the skipped tests without their output; show each reason.
grep -h -A1 -E ': Skipped$' "$build/Testing/Temporary/LastTest.log" | grep -v '^--$' || true
