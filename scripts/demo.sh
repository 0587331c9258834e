#!/usr/bin/env bash
# The main job: the whole system on loopback in one command. On Debian 12 it
# installs what is missing, builds, makes a sample (speech and a chord),
# starts lumivox-session (session 1, terminal 127.0.0.1, display 0) and
# lumivox-server (playing to the sound system: the one running, or a
# private one with a null sink), plays the sample through the driver,
# records from the server, sets and reads both volumes, and prints a
# summary with what the sink played and the latency to it.
#
#   scripts/demo.sh                 the demo, output in demo-output/
#   scripts/demo.sh --impaired      the same through lumivox-relay with a round
#                                   trip that rises and falls; draws the
#                                   stream's timeline in timeline.png
#   scripts/demo.sh --short         a short sample and recording (for CI)
#   scripts/demo.sh --out DIR       write the files into DIR instead
#   scripts/demo.sh --build-dir DIR use (and build) DIR instead of build/
#   scripts/demo.sh --display N     the display number (control port 9000 + N)
#   scripts/demo.sh --no-install    do not install missing packages
#   scripts/demo.sh --no-build      use the build directory as it is
#
# Exits 0 when audio was played and recorded, 1 when the demo ran but
# something failed (the summary says what), 2 for a usage or set-up error,
# 77 when --impaired is asked of programs that cannot route through a relay.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(cmake g++ make pkg-config binutils libgsm1-dev libsndfile1-dev libpulse-dev pulseaudio pulseaudio-utils libasio-dev libsodium-dev
  espeak-ng sox gnuplot-nox fonts-dejavu-core python3 help2man)
impaired=0
short=0
out=""
build_dir="${LUMIVOX_BUILD_DIR:-$root/build}"
display=0
install=1
build=1

usage() {
  sed -n '2,21s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
}

die() {
  echo "demo.sh: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --impaired) impaired=1; shift ;;
    --short) short=1; shift ;;
    --out) [[ $# -ge 2 ]] || die "--out needs a value"; out=$2; shift 2 ;;
    --out=*) out=${1#*=}; shift ;;
    --build-dir) [[ $# -ge 2 ]] || die "--build-dir needs a value"; build_dir=$2; shift 2 ;;
    --build-dir=*) build_dir=${1#*=}; shift ;;
    --display) [[ $# -ge 2 ]] || die "--display needs a value"; display=$2; shift 2 ;;
    --display=*) display=${1#*=}; shift ;;
    --no-install) install=0; shift ;;
    --no-build) build=0; shift ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done
[[ $display =~ ^[0-9]+$ && $display -le 56535 ]] || die "--display takes 0 to 56535, not '$display'"
if [[ -z $out ]]; then
  out=$root/demo-output
  [[ $impaired -eq 1 ]] && out=$root/demo-output-impaired
fi

if [[ $install -eq 1 ]]; then
  source "$root/scripts/install.sh"
  install_missing "${packages[@]}"
fi

# The build: configured once (without tests and benchmarks when demo.sh
# makes the directory; scripts/test.sh adds them later), then the programs
# the demo runs and everything `cmake --install` takes are brought up to
# date, so that the build can be installed after the demo.
programs=(lumivox lumivox-server lumivox-session lumivox-relay lumivox-play lumivox-record
  lumivox-volume)
if [[ $build -eq 1 ]]; then
  mkdir -p "$build_dir"
  build_log=$build_dir/demo-build.log
  echo "demo.sh: building in ${build_dir#"$root"/} (log in ${build_log#"$root"/})"
  if ! {
    if [[ ! -f $build_dir/CMakeCache.txt ]]; then
      cmake -S "$root" -B "$build_dir" -DLUMIVOX_TESTS=OFF -DLUMIVOX_BENCH=OFF
    fi
    cmake --build "$build_dir" -j "$(nproc 2>/dev/null || echo 2)" --target "${programs[@]}" \
      lumivox_installable
  } >"$build_log" 2>&1; then
    tail -n 30 "$build_log" >&2
    die "the build failed (log in $build_log)"
  fi
fi
driver=$build_dir/driver/liblumivox.so
server=$build_dir/server/lumivox-server
session=$build_dir/tools/session/lumivox-session
relay=$build_dir/tools/relay/lumivox-relay
play=$build_dir/tools/play/lumivox-play
record=$build_dir/tools/record/lumivox-record
volume=$build_dir/tools/volume/lumivox-volume
for program in "$driver" "$server" "$session" "$relay" "$play" "$record" "$volume"; do
  [[ -e $program ]] || die "$program is missing: build first (without --no-build)"
done
# The impaired run needs the relay's routed mode and delay schedule and the
# server's options that put relays in the streams' way.
# (The texts are taken whole: grep -q would end the pipe early.)
if [[ $impaired -eq 1 && ! ($("$relay" --help) == *--delay-schedule* &&
  $("$server" --help) == *--send-via*) ]]; then
  echo "demo.sh: this build's lumivox-relay or lumivox-server cannot route streams" \
    "through a relay (no --delay-schedule or --send-via): the impaired run is skipped" >&2
  exit 77
fi

mkdir -p "$out"
out=$(cd "$out" && pwd)
logs=$out/logs
mkdir -p "$logs"
rm -f "$out"/{sample,input,speech,chord,played,recorded,sink}.wav "$out"/sink.raw "$out"/stats.jsonl "$out"/timeline.png \
  "$out"/summary.txt "$logs"/*.log

# Every process started here is stopped on every way out, by its own id.
pids=()
rundir=""
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [[ -n $rundir ]] && rm -rf "$rundir"
  rundir=""
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# Waits up to 10 s for a line matching PATTERN in FILE while process PID
# lives; fails with the file shown otherwise.
await_line() {
  local file=$1 pattern=$2 pid=$3 name=$4 tries=0
  until grep -q "$pattern" "$file" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null || [[ $((tries += 1)) -gt 100 ]]; then
      echo "demo.sh: $name did not start:" >&2
      cat "$file" >&2 || true
      exit 1
    fi
    sleep 0.1
  done
}

# Stops one started process and forgets it; its exit status goes to
# $stopped_status.
stop() {
  local pid=$1 kept=() p
  kill -TERM "$pid" 2>/dev/null || true
  stopped_status=0
  wait "$pid" 2>/dev/null || stopped_status=$?
  for p in "${pids[@]}"; do
    [[ $p == "$pid" ]] || kept+=("$p")
  done
  pids=("${kept[@]}")
}

# Stops a service, which exits 0 after SIGTERM: anything else (a sanitizer's
# report, a crash) is a failure of the demo.
stop_service() {
  local pid=$1 name=$2
  stop "$pid"
  [[ $stopped_status -eq 0 ]] || failed+=("$name exited with status $stopped_status")
}

# The impaired run's relays, both with the same round trip over time. The
# schedule is lumivox-relay's: "MS@T" sets the one-way delay of each
# direction to MS from T milliseconds after the relay's start, so the round
# trip is twice MS; it climbs through the rows' round-trip limits and comes
# back down. Playback datagrams go to the playback relay's port, which the
# server names in its open-stream replies, and on to the server's stream
# port; recording packets go from the server to a routed relay, which sends
# each on to the driver's port its route header names.
schedule="1@0,10@3000,30@6000,80@9000,200@12000,80@15000,30@18000,10@21000,1@24000,1@27000"
[[ $short -eq 1 ]] && schedule="1@0,100@1000,1@2000,1@3000"
# Three distinct UDP ports on loopback, free now: the server's first stream
# port and the two relays' ports.
pick_ports() {
  read -r server_udp_port play_relay_port record_relay_port < <(python3 -c '
import socket
sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
for s in sockets:
    s.bind(("127.0.0.1", 0))
print(" ".join(str(s.getsockname()[1]) for s in sockets))')
}

# Starts both relays; their schedules start now.
start_relays() {
  relay_started=$(date +%s.%N)
  "$relay" --listen "$play_relay_port" --to "$server_udp_port" --delay-schedule "$schedule" \
    >"$logs/relay-play.log" 2>&1 &
  play_relay_pid=$!
  pids+=($!)
  await_line "$logs/relay-play.log" "relaying" "$!" "lumivox-relay (playback)"
  "$relay" --routed --listen "$record_relay_port" --delay-schedule "$schedule" \
    >"$logs/relay-record.log" 2>&1 &
  record_relay_pid=$!
  pids+=($!)
  await_line "$logs/relay-record.log" "relaying" "$!" "lumivox-relay (recording)"
}

# How many plays of the sample last at least SECONDS.
loops_for() {
  python3 -c "import math; print(max(1, math.ceil($1 / $sample_seconds)))"
}

# Every tool gets a time limit, after which it is interrupted as by ^C:
# SECONDS of audio plus half a minute for the connection, the drain and a
# slow machine.
limit() {
  python3 -c "import math; print(math.ceil($1 + 30))"
}

# The sample, made at run time: speech, then a plucked C major chord, as
# 44100 Hz 16-bit stereo.
text="Hello from Lumivox. This sentence was spoken on the terminal server, \
carried over the network, and played by the terminal's audio server."
chord_seconds=3
record_seconds=4
if [[ $short -eq 1 ]]; then
  text="Hello from Lumivox."
  chord_seconds=1
  record_seconds=1
fi
espeak-ng -w "$out/speech.wav" "$text"
sox -q -n -r 44100 -b 16 "$out/chord.wav" synth "$chord_seconds" pluck C3 pluck E3 pluck G3 \
  pluck C4 remix 1,3 2,4 norm -3 fade 0 "$chord_seconds" 0.8
sox -q "$out/speech.wav" -r 44100 -c 2 -b 16 "$out/speech44.wav"
sox -q "$out/speech44.wav" "$out/chord.wav" "$out/sample.wav"
rm -f "$out/speech.wav" "$out/speech44.wav" "$out/chord.wav"
sample_seconds=$(soxi -D "$out/sample.wav")

# What the server records from: the sample, repeated so that it outlasts
# the longest recording (a recording stream stops at the end of its input).
longest=$record_seconds
[[ $impaired -eq 1 ]] && longest=$((${schedule##*@} / 1000))
repeats=$(python3 -c "import math; print(math.ceil(($longest + 2) / $sample_seconds) - 1)")
sox -q "$out/sample.wav" "$out/input.wav" repeat "$repeats"

# The session: a private runtime directory that stands in for the
# operating system's per-session objects, session number 1, whose display
# address record names the terminal 127.0.0.1 with the given display.
rundir=$(mktemp -d "${TMPDIR:-/tmp}/lumivox-demo.XXXXXX")
chmod 700 "$rundir"
export LUMIVOX_RUNTIME_DIR=$rundir
export LUMIVOX_DRIVER=$driver

# The sound system the server plays to: the user's own when one answers,
# else a private one in the runtime directory, with a null sink (no
# hardware) whose monitor shows what it played. Without pulseaudio
# installed the server writes played.wav instead.
source "$root/scripts/sound-server.sh"
sound_server_find "$rundir/sound" "$logs/sound-server.log"
[[ -n $sound_server_pid ]] && pids+=("$sound_server_pid")
if [[ -n $sound_server ]]; then
  sound_args=(--sound-server "$sound_server")
  # What the default sink plays, recorded from its monitor until the end.
  parec --server="$sound_server" -d @DEFAULT_MONITOR@ --raw --format=s16le --rate=44100 \
    --channels=2 >"$out/sink.raw" 2>"$logs/monitor.log" &
  monitor_pid=$!
  pids+=($!)
else
  sound_args=(--output "$out/played.wav")
  echo "demo.sh: no sound server and no pulseaudio: playing into played.wav" >&2
fi

# The server: plays to the sound system, records from the repeated sample,
# and writes its statistics.
server_args=(--display "$display" "${sound_args[@]}" --input "$out/input.wav"
  --record-format 12 --stats "$out/stats.jsonl")
if [[ $impaired -eq 1 ]]; then
  pick_ports
  server_args+=(--udp-port "$server_udp_port" --advertise-udp-port "$play_relay_port"
    --send-via "$record_relay_port")
fi
server_started=$(date +%s.%N)
"$server" "${server_args[@]}" >"$logs/server.log" 2>&1 &
server_pid=$!
pids+=("$server_pid")
await_line "$logs/server.log" "listening on" "$server_pid" lumivox-server

# The session starts once the server has made its key on first start
# (~/.config/lumivox/server.key), which the session publishes for the
# terminal 127.0.0.1 with no option, as on any machine that is both
# terminal and host.
"$session" --runtime-dir "$rundir" --session 1 --record 1 --address 127.0.0.1 \
  --display "$display" >"$logs/session.log" 2>&1 &
session_pid=$!
pids+=($!)
await_line "$logs/session.log" "lumivox-session: ready" "$!" lumivox-session

failed=()
# Notes a tool's failure by its command and exit status (124: interrupted
# at its time limit).
note() {
  local status=$1 command=$2
  if [[ $status -eq 124 ]]; then
    failed+=("'$command' did not finish in time")
  elif [[ $status -ne 0 ]]; then
    failed+=("'$command' failed (exit $status)")
  fi
}

# run LOG LIMIT PROGRAM ARG...: runs one tool for at most LIMIT seconds,
# with its output in logs/LOG.log and on the terminal.
run() {
  local log=$1 seconds=$2
  shift 2
  local command
  command=$(echo "$(basename "$1") ${*:2}" | sed "s|$out/||g")
  echo "\$ $command"
  set +e
  timeout -s INT -k 10 "$seconds" "$@" 2>&1 | tee -a "$logs/$log.log" | sed "s|$out/||g"
  local status=${PIPESTATUS[0]}
  set -e
  note "$status" "$command"
}

echo
run volume 30 "$volume" set 75%
run volume 30 "$volume" get
run volume 30 "$volume" set 50% --input
run volume 30 "$volume" get --input
if [[ $impaired -eq 1 ]]; then
  # Playback and recording at once, so that the recording's round trips
  # (which the server measures) cover the whole playback. The recording
  # starts once the playback stream holds the server's first UDP port, the
  # one the playback relay sends to.
  record_seconds=$((${schedule##*@} / 1000))
  loops=$(loops_for "$record_seconds")
  start_relays
  (
    tries=0
    until grep -q "opened: playback" "$logs/server.log" || [[ $((tries += 1)) -gt 100 ]]; do
      sleep 0.1
    done
    exec timeout -s INT -k 10 "$(limit "$record_seconds")" \
      "$record" "$out/recorded.wav" --seconds "$record_seconds"
  ) >"$logs/record.log" 2>&1 &
  record_pid=$!
  pids+=("$record_pid")
  run play "$(limit "$sample_seconds * $loops")" "$play" --loop="$loops" "$out/sample.wav"
  status=0
  wait "$record_pid" || status=$?
  stop "$record_pid"
  command="lumivox-record recorded.wav --seconds $record_seconds"
  note "$status" "$command"
  echo "\$ $command"
  sed "s|$out/||g" "$logs/record.log"
else
  run play "$(limit "$sample_seconds")" "$play" "$out/sample.wav"
  run record "$(limit "$record_seconds")" "$record" "$out/recorded.wav" --seconds "$record_seconds"
fi

# The server finishes its files when it stops.
stop_service "$server_pid" lumivox-server
if [[ $impaired -eq 1 ]]; then
  stop_service "$play_relay_pid" "lumivox-relay (playback)"
  stop_service "$record_relay_pid" "lumivox-relay (recording)"
fi
stop_service "$session_pid" lumivox-session
if [[ -n $sound_server ]]; then
  stop "$monitor_pid"
  sox -q -t raw -r 44100 -e signed -b 16 -c 2 "$out/sink.raw" "$out/sink.wav"
  rm -f "$out/sink.raw"
fi
cleanup

report=(python3 "$root/scripts/demo-report.py" --stats "$out/stats.jsonl" --sample "$out/sample.wav"
  --played "$out/played.wav" --sink "$out/sink.wav" --sound "${sound_origin:-}"
  --recorded "$out/recorded.wav" --record-seconds "$record_seconds"
  --logs "$logs" --display "$display")
if [[ $impaired -eq 1 ]]; then
  # The relays' clock started a little before the server's.
  report+=(--timeline "$out/timeline.png" --schedule "$schedule"
    --schedule-offset "$(python3 -c "print($server_started - $relay_started)")")
fi
for name in "${failed[@]}"; do
  report+=(--failed "$name")
done
echo
status=0
"${report[@]}" | tee "$out/summary.txt" || status=1
exit "$status"
