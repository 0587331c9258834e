#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer and UBSan)
# in build-fuzz/ and runs each for a while, starting from its seed corpus.
#
#   scripts/fuzz.sh                 every target for 30 seconds
#   scripts/fuzz.sh --time SECONDS  for that long instead
#   scripts/fuzz.sh --build-dir DIR build in DIR instead
#
# New inputs go to DIR/corpus/<target>, never into the committed seeds. A
# crash, a leak or a sanitizer report exits non-zero; the input is left in
# DIR as crash-* / leak-*. Expects clang and libclang-rt-14-dev
# (scripts/test.sh installs them).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir=$root/build-fuzz
seconds=30

while [[ $# -gt 0 ]]; do
  case "$1" in
    --time) seconds=$2; shift 2 ;;
    --build-dir) build_dir=$2; shift 2 ;;
    -h | --help) sed -n '2,12s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) echo "fuzz.sh: unknown argument: $1" >&2; exit 2 ;;
  esac
done

CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DLUMIVOX_FUZZ=ON -DLUMIVOX_TESTS=OFF \
  -DLUMIVOX_BENCH=OFF -DLUMIVOX_SANITIZE=address,undefined
targets=(control_fuzz protocol_setup_fuzz protocol_running_fuzz ack_fuzz capture_fuzz
  discovery_fuzz wire_fuzz)
cmake --build "$build_dir" -j 2 --target "${targets[@]}"

export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}halt_on_error=1:detect_leaks=1"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}halt_on_error=1:print_stacktrace=1"
for target in "${targets[@]}"; do
  seeds=$root/fuzz/corpus/${target%_fuzz}
  corpus=$build_dir/corpus/${target%_fuzz}
  mkdir -p "$corpus"
  echo "fuzz.sh: $target for ${seconds}s"
  (cd "$build_dir" && "./fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
    "$corpus" "$seeds")
done
