#!/usr/bin/env bash
# Plays and records through the driver over impaired networks, one row per
# condition, and prints what the application saw. In each row lumivox-play
# and lumivox-record run at once, with a lumivox-session, a lumivox-server
# and two lumivox-relays of the row's own (in a private runtime directory,
# on free loopback ports): the playback relay carries the driver's
# datagrams to the server's stream port, the routed relay the server's
# recording packets to the driver, and acknowledgements come back through
# the same relay. The relays' seeds are fixed, so a run repeats.
#
#   scripts/soak.sh                  every row
#   scripts/soak.sh --short          loss-10, delay-200, blackhole and
#                                    server-kill, 4 s of audio each (for CI)
#   scripts/soak.sh --rows A,B,...   these rows only (--list names them)
#   scripts/soak.sh --seconds N      N seconds of audio per run (default 6)
#   scripts/soak.sh --markdown       the table as Markdown
#   scripts/soak.sh --build-dir DIR  the programs of DIR (default build/);
#                                    build them first
#   scripts/soak.sh --logs DIR       keep each row's logs in DIR (default
#                                    soak-logs in the build directory)
#
# A tool's run passes when it got every header back, no call to the device
# took longer than the driver's 10 s stall limit and a margin (12 s), the
# tool ended in time (the audio's length and 15 s for lumivox-record, 27 s
# for lumivox-play, which also follows the position and closes), no process
# crashed, and no sanitizer report appeared in any process's output.
# Frames lost (written but not played by the device's position, or asked
# for but not recorded) and the server's count of wire format changes are
# shown, not judged.
#
# Exits 0 when every run passed, 1 when one failed, 2 for a usage or set-up
# error.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build_dir="${LUMIVOX_BUILD_DIR:-$root/build}"
seconds=""
short=0
markdown=0
rows_asked=""
logs=""

# The rows: name, then the relays' impairment (each way), or an event.
all_rows=(loss-0 loss-5 loss-10 loss-30 reorder duplicate jitter delay-1 delay-50 delay-200
  delay-500 blackhole server-stop server-kill)
short_rows=(loss-10 delay-200 blackhole server-kill)
describe_row() {
  case "$1" in
    loss-*) echo "${1#loss-} % of datagrams lost each way" ;;
    reorder) echo "10 % held back behind the next datagram each way" ;;
    duplicate) echo "10 % sent twice each way" ;;
    jitter) echo "0 to 50 ms of extra delay each way, order kept" ;;
    delay-*) echo "${1#delay-} ms each way" ;;
    blackhole) echo "nothing passes either way for 3 s mid-stream" ;;
    server-stop) echo "the server stopped (SIGSTOP) for 3 s mid-stream, then resumed" ;;
    server-kill) echo "the server killed (SIGKILL) mid-stream" ;;
  esac
}
relay_impairment() {
  case "$1" in
    loss-*) printf -- '--loss 0.%02d\n' "${1#loss-}" ;;
    reorder) echo "--reorder 0.1" ;;
    duplicate) echo "--duplicate 0.1" ;;
    jitter) echo "--jitter 50" ;;
    delay-*) echo "--delay ${1#delay-}" ;;
  esac
}

# The bound of every call: the driver's stall limit (STREAM_STALL_MS in
# audio/stream.h) and a margin for a slow machine.
call_bound_ms=12000
blackout_ms=3000

usage() {
  sed -n '2,32s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
}

die() {
  echo "soak.sh: $*" >&2
  exit 2
}

while [[ $# -gt 0 ]]; do
  case "$1" in
    --short) short=1; shift ;;
    --markdown) markdown=1; shift ;;
    --rows) [[ $# -ge 2 ]] || die "--rows needs a value"; rows_asked=$2; shift 2 ;;
    --rows=*) rows_asked=${1#*=}; shift ;;
    --seconds) [[ $# -ge 2 ]] || die "--seconds needs a value"; seconds=$2; shift 2 ;;
    --seconds=*) seconds=${1#*=}; shift ;;
    --build-dir) [[ $# -ge 2 ]] || die "--build-dir needs a value"; build_dir=$2; shift 2 ;;
    --build-dir=*) build_dir=${1#*=}; shift ;;
    --logs) [[ $# -ge 2 ]] || die "--logs needs a value"; logs=$2; shift 2 ;;
    --logs=*) logs=${1#*=}; shift ;;
    --list) printf '%s\n' "${all_rows[@]}"; exit 0 ;;
    -h | --help) usage; exit 0 ;;
    *) usage >&2; die "unknown argument: $1" ;;
  esac
done

rows=("${all_rows[@]}")
[[ $short -eq 1 ]] && rows=("${short_rows[@]}")
if [[ -n $rows_asked ]]; then
  IFS=, read -r -a rows <<<"$rows_asked"
  for row in "${rows[@]}"; do
    [[ " ${all_rows[*]} " == *" $row "* ]] || die "no row '$row' (--list names them)"
  done
fi
[[ -z $seconds && $short -eq 1 ]] && seconds=4
seconds=${seconds:-6}
[[ $seconds =~ ^[0-9]+$ && $seconds -ge 4 && $seconds -le 600 ]] ||
  die "--seconds takes a whole number from 4 to 600, not '$seconds'"

[[ -d $build_dir ]] || die "no build directory $build_dir"
build_dir=$(cd "$build_dir" && pwd)
driver=$build_dir/driver/liblumivox.so
server=$build_dir/server/lumivox-server
session=$build_dir/tools/session/lumivox-session
relay=$build_dir/tools/relay/lumivox-relay
play=$build_dir/tools/play/lumivox-play
record=$build_dir/tools/record/lumivox-record
for program in "$driver" "$server" "$session" "$relay" "$play" "$record"; do
  [[ -e $program ]] || die "$program is missing: build it first"
done
if [[ $("$relay" --help) != *--blackhole* || $("$play" --help) != *--stats* ||
  $("$record" --help) != *--stats* ]]; then
  die "this build's lumivox-relay, lumivox-play or lumivox-record is older than this script"
fi
command -v python3 >/dev/null || die "python3 is needed"
sanitizers=$(sed -n 's/^LUMIVOX_SANITIZE:STRING=//p' "$build_dir/CMakeCache.txt" 2>/dev/null || true)

logs=${logs:-$build_dir/soak-logs}
mkdir -p "$logs"
logs=$(cd "$logs" && pwd)
# Only the rows' own directories are cleared, whatever DIR holds else.
for row in "${all_rows[@]}"; do
  rm -rf "${logs:?}/$row"
done

# Every process started here is stopped on every way out, by its own id; a
# stopped one is continued first so that it can take the signal.
pids=()
work=""
cleanup() {
  local pid
  for pid in "${pids[@]}"; do
    kill -CONT "$pid" 2>/dev/null || true
    kill -TERM "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  pids=()
  [[ -n $work ]] && rm -rf "$work"
  work=""
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

work=$(mktemp -d "${TMPDIR:-/tmp}/lumivox-soak.XXXXXX")
chmod 700 "$work"
export LUMIVOX_DRIVER=$driver

# The sample: a 440 Hz sine at half of full scale, 44100 Hz 16-bit stereo.
python3 - "$work/sample.wav" "$seconds" <<'EOF'
import math, struct, sys, wave
path, seconds = sys.argv[1], int(sys.argv[2])
rate = 44100
with wave.open(path, "wb") as w:
    w.setnchannels(2)
    w.setsampwidth(2)
    w.setframerate(rate)
    frames = bytearray()
    for i in range(rate * seconds):
        v = int(16383 * math.sin(2 * math.pi * 440 * i / rate))
        frames += struct.pack("<hh", v, v)
    w.writeframes(bytes(frames))
EOF

# Free loopback ports: three UDP ports (the server's stream port and the
# two relays') and a display whose control port 9000 + N is free.
pick_ports() {
  read -r udp_port play_relay_port record_relay_port display < <(python3 -c '
import random, socket
udp = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
for s in udp:
    s.bind(("127.0.0.1", 0))
for display in random.sample(range(100, 1000), 900):
    t = socket.socket()
    try:
        t.bind(("127.0.0.1", 9000 + display))
        break
    except OSError:
        pass
    finally:
        t.close()
print(" ".join(str(s.getsockname()[1]) for s in udp), display)')
}

# Waits up to 10 s for a line matching PATTERN in FILE while process PID
# lives; false otherwise.
await_line() {
  local file=$1 pattern=$2 pid=$3 tries=0
  until grep -q "$pattern" "$file" 2>/dev/null; do
    if ! kill -0 "$pid" 2>/dev/null || [[ $((tries += 1)) -gt 100 ]]; then
      return 1
    fi
    sleep 0.1
  done
}

# Stops a started process with SIGTERM (continuing it first) and forgets
# it; its exit status goes to $stopped_status.
stop() {
  local pid=$1 kept=() p
  kill -CONT "$pid" 2>/dev/null || true
  kill -TERM "$pid" 2>/dev/null || true
  stopped_status=0
  wait "$pid" 2>/dev/null || stopped_status=$?
  for p in "${pids[@]}"; do
    [[ $p == "$pid" ]] || kept+=("$p")
  done
  pids=("${kept[@]}")
}

# MS milliseconds as seconds, for sleep.
seconds_of() {
  printf '%d.%03d\n' $(($1 / 1000)) $(($1 % 1000))
}

# When the blackhole or the server's stop begins, in milliseconds after the
# streams' start: so that the outage sits in the middle of the audio.
quiet_start_ms() {
  local ms=$(((seconds * 1000 - blackout_ms) / 2))
  echo $((ms < 500 ? 500 : ms))
}

# What happens to the server mid-stream: waits until both streams are open
# (by the server's log), then for the middle of the audio, and stops or
# kills the server. Run in a subshell of its own; its sleeps end with it.
disturb() {
  local row=$1 server_log=$2 server_pid=$3 tries=0 sleeper=""
  trap '[[ -n $sleeper ]] && kill "$sleeper" 2>/dev/null; exit 0' TERM
  pause() {
    sleep "$1" &
    sleeper=$!
    wait "$sleeper" || true
    sleeper=""
  }
  until [[ $(grep -c "opened: " "$server_log" 2>/dev/null) -ge 2 ]]; do
    [[ $((tries += 1)) -gt 200 ]] && break
    pause 0.05
  done
  if [[ $row == server-kill ]]; then
    pause "$(seconds_of $((seconds * 500)))"
    kill -KILL "$server_pid" 2>/dev/null || true
    echo "soak.sh: server killed" >&2
  else
    pause "$(seconds_of "$(quiet_start_ms)")"
    kill -STOP "$server_pid" 2>/dev/null || true
    echo "soak.sh: server stopped" >&2
    pause "$(seconds_of "$blackout_ms")"
    kill -CONT "$server_pid" 2>/dev/null || true
    echo "soak.sh: server continued" >&2
  fi
}

results=$work/runs.tsv
: >"$results"

# One row: lumivox-play and lumivox-record at once through the same
# server, each through its own relay. Its logs go to logs/ROW/; each
# tool's outcome is one line of results.jsonl.
run_row() {
  local row=$1
  local out=$logs/$row dir=$work/$row
  mkdir -p "$out" "$dir/runtime"
  chmod 700 "$dir/runtime"
  export LUMIVOX_RUNTIME_DIR=$dir/runtime
  local problems=() impair=()
  read -r -a impair <<<"$(relay_impairment "$row")"
  if [[ $row == blackhole ]]; then
    # Relative to the relays' start, which comes about half a second
    # before the streams'.
    impair=(--blackhole "$((500 + $(quiet_start_ms)))+$blackout_ms")
  fi
  pick_ports

  # The row's own server key, made before the session publishes it.
  "$server" --key-file "$dir/server.key" --print-key >/dev/null 2>"$out/key.log" ||
    problems+=("lumivox-server could not make its key: $(cat "$out/key.log")")
  "$session" --runtime-dir "$dir/runtime" --session 1 --record 1 --address 127.0.0.1 \
    --display "$display" --key-file "$dir/server.key" >"$out/session.log" 2>&1 &
  local session_pid=$!
  pids+=("$session_pid")
  await_line "$out/session.log" "lumivox-session: ready" "$session_pid" ||
    problems+=("lumivox-session did not start")

  "$relay" --listen "$play_relay_port" --to "$udp_port" --seed 1 "${impair[@]}" \
    >"$out/relay-play.log" 2>&1 &
  local play_relay_pid=$!
  pids+=("$play_relay_pid")
  "$relay" --routed --listen "$record_relay_port" --seed 2 "${impair[@]}" \
    >"$out/relay-record.log" 2>&1 &
  local record_relay_pid=$!
  pids+=("$record_relay_pid")
  await_line "$out/relay-play.log" "relaying" "$play_relay_pid" ||
    problems+=("the playback relay did not start")
  await_line "$out/relay-record.log" "relaying" "$record_relay_pid" ||
    problems+=("the recording relay did not start")

  # The server runs under a subshell that takes the shell's report of its
  # death by a signal into its log, and exits with its status. It plays to
  # nothing and records a tone: the soak is about the network, and keeps
  # off any sound system of the machine.
  (
    "$server" --listen 127.0.0.1 --display "$display" --sound-server none --tone 440 \
      --key-file "$dir/server.key" \
      --udp-port "$udp_port" \
      --advertise-udp-port "$play_relay_port" --send-via "$record_relay_port" \
      --stats "$dir/stats.jsonl" >"$out/server.log" 2>&1 &
    echo $! >"$dir/server.pid"
    status=0
    wait $! || status=$?
    exit $status
  ) 2>>"$out/server-exit.log" &
  local server_wrapper=$! server_pid="" tries=0
  pids+=("$server_wrapper")
  until [[ -s $dir/server.pid ]] || [[ $((tries += 1)) -gt 100 ]]; do sleep 0.05; done
  server_pid=$(cat "$dir/server.pid" 2>/dev/null || true)
  pids+=("$server_pid")
  await_line "$out/server.log" "listening on" "$server_pid" ||
    problems+=("lumivox-server did not start")

  # Each tool's own limit, beyond which it is interrupted (once: a second
  # SIGINT would end it before it writes its statistics) and killed 5 s
  # later. A recording takes the audio's length, and at worst the driver's
  # 10 s stall limit before its buffers come back: 5 s more are a margin.
  # Playback may take that too, then the 2 s for which lumivox-play follows
  # the position, and a close that drains for up to the call bound.
  local record_limit=$((seconds + 15)) play_limit=$((seconds + 10 + 2 + 12 + 3))
  local play_pid="" record_pid="" disturber=""
  local -A started=() statuses=() walls=()
  if [[ ${#problems[@]} -eq 0 ]]; then
    started[play]=$(date +%s%N)
    timeout --foreground -s INT -k 5 "$play_limit" "$play" --stats "$dir/play.json" "$work/sample.wav" \
      >"$out/play.log" 2>&1 &
    play_pid=$!
    pids+=("$play_pid")
    # The playback stream first: it takes the server's first UDP port, the
    # one the playback relay sends to.
    tries=0
    until grep -q "opened: playback" "$out/server.log" || [[ $((tries += 1)) -gt 100 ]]; do
      sleep 0.05
    done
    started[record]=$(date +%s%N)
    timeout --foreground -s INT -k 5 "$record_limit" "$record" --stats "$dir/record.json" "$dir/recorded.wav" \
      --seconds "$seconds" >"$out/record.log" 2>&1 &
    record_pid=$!
    pids+=("$record_pid")
    if [[ $row == server-stop || $row == server-kill ]]; then
      disturb "$row" "$out/server.log" "$server_pid" 2>>"$out/events.log" &
      disturber=$!
      pids+=("$disturber")
    fi
    local pending=("$play_pid" "$record_pid") finished which status p
    while [[ ${#pending[@]} -gt 0 ]]; do
      status=0
      wait -n -p finished "${pending[@]}" || status=$?
      which=play
      [[ $finished == "$record_pid" ]] && which=record
      statuses[$which]=$status
      walls[$which]=$((($(date +%s%N) - ${started[$which]}) / 1000000))
      local left=()
      for p in "${pending[@]}"; do
        [[ $p == "$finished" ]] || left+=("$p")
      done
      pending=("${left[@]}")
    done
  fi

  [[ -n $disturber ]] && stop "$disturber"
  # The server has 10 s to stop; its subshell ends with it.
  if [[ -n $server_pid ]]; then
    kill -CONT "$server_pid" 2>/dev/null || true
    kill -TERM "$server_pid" 2>/dev/null || true
    tries=0
    while kill -0 "$server_pid" 2>/dev/null && [[ $((tries += 1)) -le 100 ]]; do sleep 0.1; done
    if kill -0 "$server_pid" 2>/dev/null; then
      problems+=("lumivox-server did not stop within 10 s of SIGTERM")
      kill -KILL "$server_pid" 2>/dev/null || true
    fi
  fi
  local server_status=0
  wait "$server_wrapper" 2>/dev/null || server_status=$?
  if [[ $row == server-kill && $server_status -eq $((128 + 9)) ]]; then
    server_status=0  # killed on purpose
  fi
  [[ $server_status -eq 0 ]] || problems+=("lumivox-server exited with status $server_status")
  stop "$play_relay_pid"
  [[ $stopped_status -eq 0 ]] || problems+=("the playback relay exited with status $stopped_status")
  stop "$record_relay_pid"
  [[ $stopped_status -eq 0 ]] || problems+=("the recording relay exited with status $stopped_status")
  stop "$session_pid"
  [[ $stopped_status -eq 0 ]] || problems+=("lumivox-session exited with status $stopped_status")
  # The tools and the server have ended by now.
  local kept=()
  for p in "${pids[@]}"; do
    [[ $p == "$server_pid" || $p == "$server_wrapper" || $p == "$play_pid" ||
      $p == "$record_pid" ]] || kept+=("$p")
  done
  pids=("${kept[@]}")
  local file
  for file in stats.jsonl play.json record.json; do
    if [[ -f $dir/$file ]]; then cp "$dir/$file" "$out/"; fi
  done
  rm -rf "$dir"
  unset LUMIVOX_RUNTIME_DIR
  local problem
  for problem in "${problems[@]}"; do
    echo "$problem" >>"$out/problems.txt"
  done

  local direction
  for direction in play record; do
    printf '%s\t%s\t%s\t%s\t%s\n' "$row" "$direction" "$out" "${statuses[$direction]:--1}" \
      "${walls[$direction]:-0}" >>"$results"
  done
}

started_all=$(date +%s)
n=0
for row in "${rows[@]}"; do
  n=$((n + 1))
  printf 'soak.sh: [%d/%d] %s: %s\n' "$n" "${#rows[@]}" "$row" "$(describe_row "$row")" >&2
  run_row "$row"
done
elapsed=$(($(date +%s) - started_all))

# The table.
python3 - "$results" "$markdown" "$seconds" "$elapsed" "${sanitizers:-none}" "$logs" \
  "$call_bound_ms" <<'EOF'
import glob, json, os, re, sys
path, markdown, seconds, elapsed, sanitizers, logs, bound_ms = sys.argv[1:]
markdown = markdown == "1"
bound_ms = float(bound_ms)

# One tool's run: what it wrote with --stats, the server's statistics and
# every process's output in the row's log directory.
def evaluate(row, direction, out, status, wall_ms):
    fails = []
    try:
        with open(os.path.join(out, "problems.txt")) as f:
            fails += [line.strip() for line in f if line.strip()]
    except OSError:
        pass
    tool = None
    try:
        with open(os.path.join(out, direction + ".json")) as f:
            tool = json.load(f)
    except (OSError, ValueError):
        pass
    # timeout's own statuses: 124 interrupted at the limit, 137 killed after it.
    if status == 124:
        fails.append("the tool did not finish within its limit and was interrupted")
    elif status == 137:
        fails.append("the tool did not finish within its limit and had to be killed")
    elif status >= 128:
        fails.append("the tool died of signal %d" % (status - 128))
    r = {"row": row, "direction": direction, "status": status, "wallMs": wall_ms}
    if tool is None:
        if 0 <= status < 124:
            fails.append("the tool wrote no statistics")
    else:
        written = tool.get("headersWritten", tool.get("headersAdded", 0))
        returned = tool.get("headersReturned", 0)
        r["written"], r["returned"] = written, returned
        if written == 0:
            fails.append("no header was written (exit %d)" % status)
        elif returned != written:
            fails.append("%d of %d headers did not come back" % (written - returned, written))
        calls = tool.get("calls", {})
        if calls:
            name, call = max(calls.items(), key=lambda c: c[1]["longestMs"])
            r["longest"], r["longestMs"] = name, call["longestMs"]
            if call["longestMs"] > bound_ms:
                fails.append("%s took %.0f ms" % (name, call["longestMs"]))
        if direction == "play":
            wanted, got = tool.get("framesWritten", 0), tool.get("framesPlayed", 0)
        else:
            wanted, got = tool.get("framesAsked", 0), tool.get("framesRecorded", 0)
        r["framesWanted"], r["framesLost"] = wanted, max(0, wanted - got)
    # The wire format changes as the server counted them: each playback
    # stream's "format" lines after its first; a recording stream's count from
    # its "end" line (the server sends recordings in one format).
    changes = None
    try:
        formats, ends = {}, []
        with open(os.path.join(out, "stats.jsonl")) as f:
            for line in f:
                try:
                    e = json.loads(line)
                except ValueError:
                    continue
                if e.get("event") == "format" and e.get("direction") == "playback":
                    formats[e["stream"]] = formats.get(e["stream"], 0) + 1
                elif e.get("event") == "end" and e.get("direction") == "recording":
                    ends.append(e.get("formatChanges", 0))
        if direction == "play" and formats:
            changes = sum(n - 1 for n in formats.values())
        elif direction == "record" and ends:
            changes = sum(ends)
    except OSError:
        pass
    r["formatChanges"] = changes
    # Sanitizer reports in any process's output.
    report = re.compile(r"(ERROR|WARNING): (Address|Leak|Thread|Memory|UndefinedBehavior)Sanitizer"
                        r"|runtime error: ")
    for log in sorted(glob.glob(os.path.join(out, "*.log"))):
        with open(log, errors="replace") as f:
            if report.search(f.read()):
                fails.append("a sanitizer report in " + os.path.basename(log))
    r["fails"] = fails
    return r


rows = []
for line in open(path):
    row, direction, out, status, wall_ms = line.rstrip("\n").split("\t")
    rows.append(evaluate(row, direction, out, int(status), int(wall_ms)))
head = ["row", "direction", "headers", "longest call", "frames lost", "format changes",
        "exit", "time", "result"]
table = []
for r in rows:
    if "written" in r:
        headers = "%d/%d" % (r["written"], r["returned"])
    else:
        headers = "-"
    longest = "%s %.0f ms" % (r["longest"], r["longestMs"]) if "longest" in r else "-"
    if "framesLost" in r:
        share = 100.0 * r["framesLost"] / r["framesWanted"] if r["framesWanted"] else 0
        lost = "%d (%.1f %%)" % (r["framesLost"], share)
    else:
        lost = "-"
    changes = "-" if r["formatChanges"] is None else str(r["formatChanges"])
    result = "FAIL" if r["fails"] else "pass"
    table.append([r["row"], r["direction"], headers, longest, lost, changes, str(r["status"]),
                  "%.1f s" % (r["wallMs"] / 1000), result])
print("Lumivox soak: %s s of audio per run, %d runs in %s s (sanitizers: %s)" %
      (seconds, len(rows), elapsed, sanitizers))
print("headers: written (or added) / returned; longest call: to the device, in the tool;")
print("frames lost: not played by the device's position, or not recorded, of those asked")
print()
if markdown:
    print("| " + " | ".join(head) + " |")
    print("|" + "|".join("---" for _ in head) + "|")
    for t in table:
        print("| " + " | ".join(t) + " |")
else:
    widths = [max(len(x[i]) for x in table + [head]) for i in range(len(head))]
    right = {2, 4, 5, 6, 7}
    def line(cells):
        return "  ".join(c.rjust(w) if i in right else c.ljust(w)
                         for i, (c, w) in enumerate(zip(cells, widths))).rstrip()
    print(line(head))
    print(line(["-" * w for w in widths]))
    for t in table:
        print(line(t))
failed = [r for r in rows if r["fails"]]
if failed:
    print()
    for r in failed:
        for why in r["fails"]:
            print("FAIL %s %s: %s" % (r["row"], r["direction"], why))
    print("logs in " + logs)
    sys.exit(1)
print()
print("every run passed; logs in " + logs)
EOF
