#!/usr/bin/env bash
# The wire dissector against a capture of the demo on loopback: tshark,
# with server/lumivox.lua loaded, decodes every control message type the
# demo's play, record and volume runs send, audio packets and
# acknowledgements of both streams, and marks none of them malformed.
#
#   dissector_test.sh SOURCE_DIR BUILD_DIR WORK_DIR DISPLAY
#
# Exits 77 (skipped) without tshark or where capturing on loopback is not
# permitted.
set -euo pipefail
src=$1
build=$2
work=$3
display=$4
port=$((9000 + display))
command -v tshark >/dev/null && command -v dumpcap >/dev/null || {
  echo "dissector_test.sh: tshark is not installed"
  exit 77
}
rm -rf "$work"
mkdir -p "$work"
capture=$work/demo.pcapng
dumpcap -q -i lo -f "tcp port $port or udp" -w "$capture" >"$work/dumpcap.log" 2>&1 &
capturer=$!
trap 'kill "$capturer" 2>/dev/null || true' EXIT
for _ in $(seq 100); do
  [[ -s $capture ]] && break
  kill -0 "$capturer" 2>/dev/null || break
  sleep 0.05
done
if ! kill -0 "$capturer" 2>/dev/null; then
  echo "dissector_test.sh: cannot capture on loopback here: $(cat "$work/dumpcap.log")"
  exit 77
fi
if ! "$src/scripts/demo.sh" --short --no-install --no-build --build-dir "$build" \
  --display "$display" --out "$work/demo" >"$work/demo.log" 2>&1; then
  tail -n 30 "$work/demo.log"
  exit 1
fi
sleep 0.5
kill -INT "$capturer"
wait "$capturer" || true

dissect() {
  tshark -X "lua_script:$src/server/lumivox.lua" -o "lumivox.control_ports:$port" -r "$capture" "$@" \
    2>"$work/tshark.err"
}
dissect -T fields -e lumivox.message -e lumivox_udp.datagram -e udp.srcport >"$work/fields.txt"
failures=0
expect() {
  local count
  count=$(grep -cE -- "$1" "$work/fields.txt" || true)
  if [[ $count -gt 0 ]]; then
    echo "ok: $count x $2"
  else
    echo "FAILED: no $2 decoded"
    failures=$((failures + 1))
  fi
}
for message in "setup request" "setup accepted" "open-stream request" "open-stream reply" \
  "close-stream request" "set-control request" "query-control request" "query-control reply" "key proof"; do
  # A frame's messages are listed with commas: a key proof and the
  # open-stream request after it often share a segment.
  expect "(^|,)$message(,|$(printf '\t')|\$)" "$message"
done
# Both streams: playback's audio goes to the server and its
# acknowledgements come back, recording's the other way round.
audio_senders=$(awk -F'\t' '$2 == "audio packet" { print $3 }' "$work/fields.txt" | sort -u | wc -l)
ack_senders=$(awk -F'\t' '$2 == "acknowledgement" { print $3 }' "$work/fields.txt" | sort -u | wc -l)
expect "	audio packet" "audio packet"
expect "	acknowledgement" "acknowledgement"
if [[ $audio_senders -lt 2 || $ack_senders -lt 2 ]]; then
  echo "FAILED: audio from $audio_senders and acknowledgements from $ack_senders ports; both streams send both"
  failures=$((failures + 1))
fi
bad=$(dissect -Y "lumivox.malformed || lumivox_udp.malformed || lumivox.unknown || _ws.lua.error || ((lumivox || lumivox_udp) && _ws.malformed)" | wc -l)
if [[ $bad -ne 0 ]]; then
  echo "FAILED: $bad packets of ours are malformed or undecoded:"
  dissect -Y "lumivox.malformed || lumivox_udp.malformed || lumivox.unknown || _ws.lua.error" | head -5
  failures=$((failures + 1))
fi
if grep -q "Lua" "$work/tshark.err"; then
  echo "FAILED: tshark reports: $(head -3 "$work/tshark.err")"
  failures=$((failures + 1))
fi
[[ $failures -eq 0 ]] || exit 1
