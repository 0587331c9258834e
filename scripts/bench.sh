#!/usr/bin/env bash
# The benchmarks, built in Release in build-release/ (or BUILD_DIR):
#
#   scripts/bench.sh [BUILD_DIR] [benchmark options]
#
# Installs the benchmark dependencies that are missing (as root or with
# sudo), then runs the rate converter against speexdsp and libsoxr, the
# coders, the play sender's send path against a bare sendto, and the
# server's receive path for playback against bare system calls, five
# repetitions each, and prints the medians as multiples of real time with the
# ratios to each peer. Extra options go to the benchmark
# (for example --benchmark_filter=lumivox). Then lumivox-server itself
# under hundreds of concurrent playback streams from lumivox-load: streams
# per core on each path against the bare system calls at the same packet
# rate (SERVER_LOAD_ARGS, e.g. "--seconds 10 --streams 300,500", go to it).
# Last, the application's CPU time per second of audio for one playback
# stream through the driver to a real-time lumivox-server, against the bare
# system calls of its schedule (20 s of audio on each of two rows;
# PLAYBACK_SECONDS changes it).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(realpath -m "${1:-$root/build-release}")
[[ $# -gt 0 ]] && shift
packages=(cmake g++ make pkg-config libbenchmark-dev libgtest-dev libgmock-dev googletest libgsm1-dev
  libspeexdsp-dev libsoxr-dev libsodium-dev)
source "$root/scripts/install.sh"
install_missing "${packages[@]}"

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DLUMIVOX_TESTS=OFF -DLUMIVOX_BENCH=ON
cmake --build "$build" --target convert_bench stream_bench server_receive_bench lumivox-server \
  lumivox-load server_load_bench playback_cpu_bench -j 2
"$build/bench/convert_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
"$build/bench/stream_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true "$@"
"$build/bench/server_receive_bench" --benchmark_repetitions=5 --benchmark_report_aggregates_only=true \
  "$@"
# shellcheck disable=SC2086
"$build/bench/server_load_bench" ${SERVER_LOAD_ARGS:-}
"$build/bench/playback_cpu_bench" "${PLAYBACK_SECONDS:-20}"
