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
#
# Each word size is a stage that passes, fails or is skipped on its own;
# the i686 stage is skipped, with the reason, when the 32-bit side of Wine
# (or the i686 toolchain) cannot be installed, and LUMIVOX_REQUIRE_I686=1
# makes that skip a failure. The exit status is non-zero when a stage
# failed.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath -m "${1:-$top/build-win}")
wineserver=/usr/lib/wine/wineserver64
jobs=${LUMIVOX_JOBS:-$(nproc)}

source "$top/scripts/stages.sh"

# The stages' lines go to LUMIVOX_STAGE_FILE when test.sh gives one (it
# prints the summary); run alone, this script prints its own.
stage_file=${LUMIVOX_STAGE_FILE:-}
own_summary=
if [[ -z $stage_file ]]; then
  stage_file=$(mktemp)
  own_summary=1
fi

prefixes=()
stop_wine() {
  for prefix in "${prefixes[@]}"; do
    WINEPREFIX=$prefix "$wineserver" -k 2>/dev/null || true
  done
  [[ -z $own_summary ]] || rm -f "$stage_file"
}
trap stop_wine EXIT

# Builds one word size: build_arch BUILD_DIR ARCH [CMAKE_ARGUMENTS...].
build_arch() {
  local dir=$1 arch=$2 started=$SECONDS
  shift 2
  cmake -S "$top" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$top/cmake/mingw-w64-$arch.cmake" \
    -DLUMIVOX_WINEPREFIX="$dir/wineprefix" "$@"
  cmake --build "$dir" -j "$jobs"
  echo "windows-test.sh: $arch built in $((SECONDS - started)) s"
}

# Tests one built word size in its own prefix: test_arch BUILD_DIR ARCH.
# CTest's output is kept in BUILD_DIR/ctest.log for the counts.
test_arch() {
  local dir=$1 arch=$2 started=$SECONDS
  local prefix=$dir/wineprefix
  # The server needs its prefix directory; the first boot fills the prefix.
  prefixes+=("$prefix")
  mkdir -p "$prefix"
  WINEPREFIX=$prefix setsid -f "$wineserver" -p </dev/null >/dev/null 2>&1
  "$top/cmake/wine-run.sh" "$prefix" --detached wineboot -i

  local status=0
  ctest --test-dir "$dir" --output-on-failure --timeout "${LUMIVOX_TEST_TIMEOUT:-300}" -j "$jobs" 2>&1 |
    tee "$dir/ctest.log" || status=$?
  # CTest names the skipped tests without their output; show each reason.
  grep -h -A1 -E ': Skipped$' "$dir/Testing/Temporary/LastTest.log" | grep -v '^--$' || true
  echo "windows-test.sh: $arch tested in $((SECONDS - started)) s"
  return "$status"
}

# The two word sizes are stages of their own: one that fails or cannot run
# leaves the other to run. The 32-bit build comes first: the 64-bit setup
# test installs its driver as well. The 32-bit side of Wine may be missing
# (windows-deps.sh names the reason): its tests are then a skipped stage,
# a failed one with LUMIVOX_REQUIRE_I686=1.
i686=${build}32
i686_skip=$i686/_deps/i686-skip-reason
i686_built=
run_step "$top/scripts/windows-deps.sh" "$i686" i686
if [[ $step_status -eq 77 ]]; then
  stage_skip "$stage_file" "Windows i686" "$(cat "$i686_skip" 2>/dev/null || echo "its toolchain cannot be installed")"
elif [[ $step_status -ne 0 ]]; then
  stage_record "$stage_file" "Windows i686" failed "preparing its dependencies exited $step_status"
else
  run_step build_arch "$i686" i686
  if [[ $step_status -eq 0 ]]; then
    i686_built=1
  else
    stage_record "$stage_file" "Windows i686" failed "the build exited $step_status"
  fi
fi

run_step "$top/scripts/windows-deps.sh" "$build" x86_64
if [[ $step_status -ne 0 ]]; then
  stage_record "$stage_file" "Windows x86_64" failed "preparing its dependencies exited $step_status"
else
  run_step build_arch "$build" x86_64 -DLUMIVOX_X86_BUILD_DIR="${i686_built:+$i686}"
  if [[ $step_status -ne 0 ]]; then
    stage_record "$stage_file" "Windows x86_64" failed "the build exited $step_status"
  else
    run_step test_arch "$build" x86_64
    stage_ctest "$stage_file" "Windows x86_64" "$step_status" "$build/ctest.log"
  fi
fi

if [[ -n $i686_built ]]; then
  run_step test_arch "$i686" i686
  if [[ $step_status -eq 0 && -s $i686_skip ]]; then
    stage_skip "$stage_file" "Windows i686" "$(cat "$i686_skip"); $(ctest_counts "$i686/ctest.log")"
  else
    stage_ctest "$stage_file" "Windows i686" "$step_status" "$i686/ctest.log"
  fi
fi

if [[ -n $own_summary ]]; then
  stage_summary "$stage_file"
else
  ! stage_failed "$stage_file"
fi
