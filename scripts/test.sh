#!/usr/bin/env bash
# The one test command. On Debian 12 it installs the build and test
# dependencies that are missing, configures, builds and runs the suite.
#
#   scripts/test.sh                              plain build in build/, a short run
#                                                of the fuzz targets in build-fuzz/, then
#                                                the Windows build in build-win/ under Wine
#   scripts/test.sh --sanitize address,undefined AddressSanitizer and UBSan in build-asan/
#   scripts/test.sh --sanitize thread            ThreadSanitizer in build-tsan/
#   scripts/test.sh --build-dir DIR              build in DIR instead (or LUMIVOX_BUILD_DIR)
#
# LUMIVOX_TEST_TIMEOUT bounds each test that sets no time-out of its own
# (seconds, default 300). Any failure, or any sanitizer report, exits
# non-zero. The run ends with a summary, one line per stage: passed,
# skipped (why) or failed, with CTest's counts. The Windows i686 stage is
# skipped when the 32-bit side of Wine cannot be installed here;
# LUMIVOX_REQUIRE_I686=1 makes that a failure.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(cmake g++ make libgtest-dev libgmock-dev googletest libbenchmark-dev binutils libasio-dev
  libgsm1-dev libspeexdsp-dev libsoxr-dev pkg-config clang libclang-rt-14-dev libsndfile1-dev
  libpulse-dev pulseaudio pulseaudio-utils libsodium-dev
  espeak-ng sox gnuplot-nox fonts-dejavu-core python3 help2man tshark)
sanitize=""
build_dir="${LUMIVOX_BUILD_DIR:-}"
test_timeout="${LUMIVOX_TEST_TIMEOUT:-300}"
jobs=$(nproc 2>/dev/null || echo 2)

usage() {
  sed -n '2,19s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
}

die() {
  echo "test.sh: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --sanitize) [[ $# -ge 2 ]] || die "--sanitize needs a value"; sanitize=$2; shift 2 ;;
    --sanitize=*) sanitize=${1#*=}; shift ;;
    --build-dir) [[ $# -ge 2 ]] || die "--build-dir needs a value"; build_dir=$2; shift 2 ;;
    --build-dir=*) build_dir=${1#*=}; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done

case "$sanitize" in
  "") default_dir=build ;;
  address | undefined | address,undefined | undefined,address) default_dir=build-asan ;;
  thread) default_dir=build-tsan ;;
  *) die "--sanitize takes address,undefined or thread, not '$sanitize'" ;;
esac
build_dir=${build_dir:-$root/$default_dir}

# The installer of missing packages (root or sudo), shared with demo.sh.
source "$root/scripts/install.sh"
install_missing "${packages[@]}"

# Sanitizer reports end the process with a failing status; the caller's own
# options come first so that these win.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:strict_init_order=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt"

# ThreadSanitizer of this compiler cannot map its shadow memory under the
# larger address randomisation of newer kernels; the tests run without
# randomisation when the system lets us turn it off.
run_prefix=()
if [[ $sanitize == thread ]] && setarch "$(uname -m)" -R true 2>/dev/null; then
  run_prefix=(setarch "$(uname -m)" -R)
fi

# The benchmarks are built by the plain build only: they measure, and a
# sanitized build would measure the sanitizer.
bench=ON
[[ -n $sanitize ]] && bench=OFF

# Each stage passes, fails or is skipped on its own and leaves a line for
# the summary at the end (scripts/stages.sh); a failed stage does not keep
# the others from running.
source "$root/scripts/stages.sh"
stage_file=$(mktemp)
trap 'rm -f "$stage_file"' EXIT

native() {
  cmake -S "$root" -B "$build_dir" -DLUMIVOX_SANITIZE="$sanitize" -DLUMIVOX_TESTS=ON \
    -DLUMIVOX_BENCH="$bench"
  cmake --build "$build_dir" -j "$jobs"
  cd "$build_dir"
  "${run_prefix[@]}" ctest --output-on-failure --timeout "$test_timeout" -j "$jobs" 2>&1 |
    tee "$build_dir/ctest.log"
}
rm -f "$build_dir/ctest.log"
run_step native
stage_ctest "$stage_file" "native${sanitize:+ ($sanitize)}" "$step_status" "$build_dir/ctest.log"

# The plain run goes on with a short run of the fuzz targets (clang, in the
# "-fuzz" sibling; LUMIVOX_FUZZ_SECONDS, default 15, per target), then the
# Windows builds and their tests under Wine in the "-win" and "-win32"
# siblings, which record their own stages; the sanitizer runs check the
# native build only.
if [[ -z $sanitize ]]; then
  fuzz_seconds=${LUMIVOX_FUZZ_SECONDS:-15}
  run_step "$root/scripts/fuzz.sh" --time "$fuzz_seconds" --build-dir "$build_dir-fuzz"
  if [[ $step_status -eq 0 ]]; then
    stage_record "$stage_file" fuzz passed "every target ${fuzz_seconds} s without a finding"
  else
    stage_record "$stage_file" fuzz failed "exit status $step_status; inputs in $build_dir-fuzz"
  fi

  run_step env LUMIVOX_STAGE_FILE="$stage_file" "$root/scripts/windows-test.sh" "$build_dir-win"
  if [[ $step_status -ne 0 ]] && ! grep -q '^Windows' "$stage_file"; then
    stage_record "$stage_file" Windows failed "windows-test.sh exited $step_status"
  fi
fi

stage_summary "$stage_file"
