#!/usr/bin/env bash
# Write-to-audible latency through the sound system, and its drift: plays a
# tone through the driver for a number of minutes (lumivox-play on loopback,
# the LAN row, the server's default lead) to the sound server that answers,
# or to a private one with a null sink, and prints the latency the server
# measured (a packet's arrival to its first frame played by the device) for
# every minute, and the change from the first minute to the last.
#
#   scripts/latency.sh                   ten minutes
#   scripts/latency.sh --minutes N       N minutes instead
#   scripts/latency.sh --build-dir DIR   the build to use (default build/, built)
#   scripts/latency.sh --display N       the display number (default 19)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
minutes=10
build_dir="${LUMIVOX_BUILD_DIR:-$root/build}"
display=19

die() {
  echo "latency.sh: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --minutes) [[ $# -ge 2 ]] || die "--minutes needs a value"; minutes=$2; shift 2 ;;
    --build-dir) [[ $# -ge 2 ]] || die "--build-dir needs a value"; build_dir=$2; shift 2 ;;
    --display) [[ $# -ge 2 ]] || die "--display needs a value"; display=$2; shift 2 ;;
    -h | --help) sed -n '2,13s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
    *) die "unknown argument: $1" ;;
  esac
done
[[ $minutes =~ ^[0-9]+$ && $minutes -ge 1 ]] || die "--minutes takes a whole number from 1"
for program in driver/liblumivox.so server/lumivox-server tools/session/lumivox-session \
  tools/play/lumivox-play; do
  [[ -e $build_dir/$program ]] || die "$build_dir/$program is missing: build first"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/lumivox-latency.XXXXXX")
chmod 700 "$work"
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

source "$root/scripts/sound-server.sh"
sound_server_find "$work/sound" "$work/sound-server.log"
[[ -n $sound_server ]] || die "no sound server answers and pulseaudio is not installed"
[[ -n $sound_server_pid ]] && pids+=("$sound_server_pid")

lumivox_serve "$work" "$build_dir" "$display" --stats "$work/stats.jsonl"

sox -q -n -r 44100 -b 16 -c 2 "$work/tone.wav" synth 10 sine 1000 vol 0.5
echo "latency.sh: playing for $minutes minutes to $sound_origin ($sound_server)"
"$build_dir/tools/play/lumivox-play" --loop=$((minutes * 6)) "$work/tone.wav" \
  >"$work/play.log" 2>&1
kill -TERM "$server_pid"
wait "$server_pid" || true

python3 - "$work/stats.jsonl" <<'PYEOF'
import json, statistics, sys
events = [json.loads(l) for l in open(sys.argv[1]) if l.strip()]
samples = [(e["time"] / 60000, e["ms"]) for e in events if e.get("event") == "latency"]
if not samples:
    sys.exit("latency.sh: no latency was measured")
start = samples[0][0]
minutes = {}
for t, ms in samples:
    minutes.setdefault(int(t - start), []).append(ms)
for m in sorted(minutes):
    v = minutes[m]
    print(f"minute {m + 1:3d}: median {statistics.median(v):6.2f} ms, "
          f"{min(v):6.2f} to {max(v):6.2f} ms ({len(v)} seconds)")
first, last = minutes[min(minutes)], minutes[max(minutes)]
print(f"latency: median {statistics.median(ms for _, ms in samples):.2f} ms; change from the "
      f"first minute to the last: {statistics.median(last) - statistics.median(first):+.2f} ms")
end = [e for e in events if e.get("event") == "end" and e.get("direction") == "playback"]
for e in end:
    print(f"stream: {e['packets']} packets, {e['lost']} lost, {e['late']} late; "
          f"consumed {e['consumed']} of {e['receivedEnd']} frames")
PYEOF
