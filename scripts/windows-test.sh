#!/usr/bin/env bash
# The Windows builds and their tests under Wine, on a fresh Debian 12 machine:
#
#   scripts/windows-test.sh [BUILD_DIR]      (default: build-win)
#
# Both word sizes: x86_64 in BUILD_DIR, i686 in BUILD_DIR32 (build-win32),
# the driver a 64-bit server loads into its 32-bit applications. For each,
# installs what is missing (scripts/windows-deps.sh), cross-builds
# LUMIVOX.dll, the programs and the tests with mingw-w64, and runs CTest
# with Wine as the emulator; the 32-bit programs run on Wine's 32-bit side
# in a 64-bit prefix, as they do on a 64-bit server. Wine starts background
# services (wineserver, services.exe, explorer, ...) that would inherit
# CTest's pipes and keep it waiting, so each prefix is booted and its
# wineserver started here, detached from every pipe, before CTest, and
# stopped after it. LUMIVOX_JOBS sets the parallel jobs (default: nproc).
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build-win}")
wineserver=/usr/lib/wine/wineserver64
jobs=${LUMIVOX_JOBS:-$(nproc)}

prefixes=()
stop_wine() {
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  done
}
trap stop_wine EXIT

# Builds one word size: build_arch BUILD_DIR ARCH [CMAKE_ARGUMENTS...].
build_arch() {
  local dir=$1 arch=$2 started=$SECONDS
  shift 2
  "$top/scripts/windows-deps.sh" "$dir" "$arch"
  cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-$arch.cmake" \
    -DLUMIVOX_WINEPREFIX="$dir/wineprefix" "$@"
  cmake --build "$dir" -j "$jobs"
  echo "windows-test.sh: $arch built in $((SECONDS - started)) s"
}

# Tests one built word size in its own prefix: test_arch BUILD_DIR ARCH.
test_arch() {
  local dir=$1 arch=$2 started=$SECONDS
  local prefix=$dir/wineprefix
  # The server needs its prefix directory; the first boot fills the prefix.
  prefixes+=("$prefix")
  mkdir -p "$prefix"
  WINEPREFIX=$prefix setsid -f "$wineserver" -p </dev/null >/dev/null 2>&1
  "$top/cmake/wine-run.sh" "$prefix" --detached wineboot -i

  ctest --test-dir "$dir" --output-on-failure --timeout "${LUMIVOX_TEST_TIMEOUT:-300}" -j "$jobs"
  # CTest names the skipped tests without their output; show each reason.
  grep -h -A1 -E ': Skipped$' "$dir/Testing/Temporary/LastTest.log" | grep -v '^--$' || true
  echo "windows-test.sh: $arch tested in $((SECONDS - started)) s"
}

# The 32-bit build comes first: the 64-bit setup test installs its driver
# as well.
build_arch "${build}32" i686
build_arch "$build" x86_64 -DLUMIVOX_X86_BUILD_DIR="${build}32"
test_arch "$build" x86_64
test_arch "${build}32" i686
