#!/usr/bin/env bash
# What the listener hears on a busy machine: plays a 10 s 440 Hz tone
# through the driver (lumivox-play, the LAN row) and lumivox-server to a
# private sound server's null sink, with busy loops beside, records the
# sink's monitor, and counts the gaps in it (2 ms or more of silence inside
# the tone). The same tone played by paplay straight to the sound server is
# measured beside it, run for run. Each run's line has the gaps heard next
# to the server's own count of underruns from its closing line; the summary
# gives the runs without a gap and the server's changes of buffering.
#
#   scripts/gaps.sh                    10 runs, 3 busy loops
#   scripts/gaps.sh --runs N           N runs instead
#   scripts/gaps.sh --busy N           N busy loops instead (0: an idle machine)
#   scripts/gaps.sh --build-dir DIR    the build to use (default build/, built)
#   scripts/gaps.sh --display N        the display number (default 21)
#   scripts/gaps.sh --sound-latency MS passed to lumivox-server
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=10
busy=3
build_dir="${LUMIVOX_BUILD_DIR:-$root/build}"
display=21
server_options=()

die() {
  echo "gaps.sh: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --runs) [[ $# -ge 2 ]] || die "--runs needs a value"; runs=$2; shift 2 ;;
    --busy) [[ $# -ge 2 ]] || die "--busy needs a value"; busy=$2; shift 2 ;;
    --build-dir) [[ $# -ge 2 ]] || die "--build-dir needs a value"; build_dir=$2; shift 2 ;;
    --display) [[ $# -ge 2 ]] || die "--display needs a value"; display=$2; shift 2 ;;
    --sound-latency)
      [[ $# -ge 2 ]] || die "--sound-latency needs a value"
      server_options+=(--sound-latency "$2"); shift 2 ;;
    -h | --help) sed -n '2,16s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) die "unknown argument: $1" ;;
  esac
done
[[ $runs =~ ^[0-9]+$ && $runs -ge 1 ]] || die "--runs takes a whole number from 1"
[[ $busy =~ ^[0-9]+$ ]] || die "--busy takes a whole number"
for program in driver/liblumivox.so server/lumivox-server tools/session/lumivox-session \
  tools/play/lumivox-play; do
  [[ -e $build_dir/$program ]] || die "$build_dir/$program is missing: build first"
done
for tool in pulseaudio parec paplay sox python3; do
  command -v "$tool" >/dev/null || die "$tool is not installed"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumivox-gaps.XXXXXX")
chmod 700 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  [[ -n ${GAPS_KEEP:-} ]] || rm -rf "$work"
}
trap cleanup EXIT

# Always a private sound server: its null sink's monitor is what was heard,
# and nothing else plays to it.
source "$root/scripts/sound-server.sh"
PULSE_SERVER=unix:$work/none sound_server_find "$work/sound" "$work/sound-server.log"
[[ -n $sound_server_pid ]] || die "the private sound server did not start"
pids+=("$sound_server_pid")

lumivox_serve "$work" "$build_dir" "$display" "${server_options[@]}"

sox -q -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 10 sine 440 vol 0.5
for ((i = 0; i < busy; i++)); do
  sh -c 'while :; do :; done' &
  pids+=($!)
done

# Records the monitor while the command runs, to $work/heard.raw.
heard() {
  parec --server="$sound_server" -d lumivox_null.monitor --format=s16le --rate=44100 \
    --channels=2 --raw >"$work/heard.raw" &
  local recorder=$!
  sleep 0.5
  "$@" >"$work/player.log" 2>&1 ||
    echo "gaps.sh: $(basename "$1") failed: $(tail -1 "$work/player.log")" >&2
  sleep 0.5
  kill -TERM "$recorder" 2>/dev/null || true
  wait "$recorder" 2>/dev/null || true
}

# Gaps inside the tone: runs of 2 ms or more where both channels stay
# within 1/500 of full scale, between the first and the last loud sample.
count_gaps() {
  python3 - "$work/heard.raw" <<'PYEOF'
import array, sys
s = array.array("h")
s.frombytes(open(sys.argv[1], "rb").read())
quiet = [abs(s[i]) <= 64 and abs(s[i + 1]) <= 64 for i in range(0, len(s) - 1, 2)]
loud = [i for i, q in enumerate(quiet) if not q]
if not loud:
    print("0 -1 0")
    sys.exit()
gaps, longest, run = 0, 0, 0
for q in quiet[loud[0]:loud[-1] + 1]:
    if q:
        run += 1
        continue
    if run >= 88:
        gaps += 1
        longest = max(longest, run)
    run = 0
print(gaps, f"{(loud[-1] - loud[0] + 1) / 44100:.2f}", f"{longest / 44.1:.1f}")
PYEOF
}

echo "gaps.sh: $runs runs of a 10 s tone, $busy busy loop(s) beside, to a private null sink"
printf '%-4s %-34s %-22s %s\n' run "lumivox: gaps (longest), heard" "server's underruns" \
  "paplay: gaps (longest)"
clean=0 clean_peer=0
for ((run = 1; run <= runs; run++)); do
  before=$(grep -c " ended: " "$work/server.log" || true)
  heard "$build_dir/tools/play/lumivox-play" "$work/tone.wav"
  read -r gaps length longest < <(count_gaps)
  tries=0
  until [[ $(grep -c " ended: " "$work/server.log" || true) -gt $before ]]; do
    [[ $((tries += 1)) -le 50 ]] || break
    sleep 0.1
  done
  counted=$(grep " ended: " "$work/server.log" | tail -1 | sed -n 's/.* \([0-9]*\) underruns\{0,1\} of the sound system (\([0-9.]*\) ms.*/\1 (\2 ms)/p')
  heard paplay --server="$sound_server" "$work/tone.wav"
  read -r peer_gaps _ peer_longest < <(count_gaps)
  [[ $gaps -eq 0 ]] && clean=$((clean + 1))
  [[ $peer_gaps -eq 0 ]] && clean_peer=$((clean_peer + 1))
  printf '%-4s %-34s %-22s %s\n' "$run" "$gaps (${longest} ms), ${length} s" "${counted:-?}" \
    "$peer_gaps (${peer_longest} ms)"
done
echo "runs without a gap: lumivox $clean of $runs, paplay $clean_peer of $runs"
grep -o "buffering \(raised\|lowered\) to [0-9]* ms.*" "$work/server.log" | sed 's/^/server: /' || true
