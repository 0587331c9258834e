# Sourced by the scripts that play through the sound system (demo.sh,
# latency.sh, gaps.sh). sound_server_find DIR LOG: sets sound_server to the
# address of the sound server that answers (the user's own), or starts a private
# one in DIR (a null sink at 44100 Hz, no hardware; its log in LOG) and
# sets sound_server to it and sound_server_pid to its process; with
# neither, sound_server is empty. sound_origin says which it was. The
# caller stops sound_server_pid when it is set.

sound_server_find() {
  local dir=$1 log=$2 me tries=0
  me=$(basename "$0")
  sound_server="" sound_server_pid="" sound_origin=""
  # Asking must not start one: a client may be set up to start a sound
  # server when none answers.
  mkdir -p "$dir"
  printf 'autospawn = no\n' >"$dir/client.conf"
  if PULSE_CLIENTCONFIG=$dir/client.conf pactl info >/dev/null 2>&1; then
    sound_server=$(PULSE_CLIENTCONFIG=$dir/client.conf pactl info | sed -n 's/^Server String: //p')
    sound_origin="the running sound server"
    return
  fi
  command -v pulseaudio >/dev/null || return 0
  cat >"$dir/default.pa" <<EOF
load-module module-null-sink sink_name=lumivox_null rate=44100 channels=2
load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/native
set-default-sink lumivox_null
EOF
  HOME=$dir XDG_RUNTIME_DIR=$dir XDG_CONFIG_HOME=$dir pulseaudio -n -F "$dir/default.pa" \
    --daemonize=no --exit-idle-time=-1 --use-pid-file=no --system=false \
    --log-target=stderr >"$log" 2>&1 &
  sound_server_pid=$!
  sound_server=unix:$dir/native
  sound_origin="a private sound server with a null sink"
  until pactl --server="$sound_server" info >/dev/null 2>&1; do
    if ! kill -0 "$sound_server_pid" 2>/dev/null || [[ $((tries += 1)) -gt 100 ]]; then
      echo "$me: the private sound server did not start:" >&2
      cat "$log" >&2
      exit 1
    fi
    sleep 0.1
  done
}

# lumivox_serve WORK BUILD DISPLAY [SERVER OPTIONS...]: a lumivox-session
# and a lumivox-server of the build for the display, playing to
# $sound_server, with a key made in WORK and their logs in WORK/session.log
# and WORK/server.log; returns once both are ready (exits 2 when one does
# not start). Sets LUMIVOX_RUNTIME_DIR and LUMIVOX_DRIVER for the tools,
# server_pid to the server, and adds both processes to the caller's pids.
lumivox_serve() {
  local work=$1 build=$2 display=$3 me log tries
  shift 3
  me=$(basename "$0")
  export LUMIVOX_RUNTIME_DIR=$work LUMIVOX_DRIVER=$build/driver/liblumivox.so
  if ! "$build/server/lumivox-server" --key-file "$work/server.key" --print-key >/dev/null; then
    echo "$me: lumivox-server could not make its key" >&2
    exit 2
  fi
  "$build/tools/session/lumivox-session" --runtime-dir "$work" --session 1 --record 1 \
    --address 127.0.0.1 --display "$display" --key-file "$work/server.key" \
    >"$work/session.log" 2>&1 &
  pids+=($!)
  "$build/server/lumivox-server" --display "$display" --sound-server "$sound_server" \
    --key-file "$work/server.key" "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  pids+=($!)
  for log in session server; do
    tries=0
    until grep -q "ready\|listening on" "$work/$log.log"; do
      if [[ $((tries += 1)) -gt 100 ]]; then
        echo "$me: lumivox-$log did not start: $(cat "$work/$log.log")" >&2
        exit 2
      fi
      sleep 0.1
    done
  done
}
