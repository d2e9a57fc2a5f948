#!/usr/bin/env bash
# CPU time and peak memory of the detector on a private PulseAudio server and then on a private
# headless PipeWire (pipewire-pulse), each with 0 recording streams, 10 recorders (parecord) and
# 200 streams (the 10 recorders and one process holding 190 more), measured side by side with a
# shell loop that runs `pactl list source-outputs` once a second on the same server. Run by
# hand, never by ctest.
#
# usage: bench/detector_cpu.sh [--one-poll] [DETECTOR [SECONDS [STREAM_LOAD]]]
#   --one-poll   the detector makes one poll and exits: it is run once a second in a shell loop
#                too (and then pays for starting a process every second)
#   STREAM_LOAD  the bench program pulse_stream_load (build with -DBUILD_BENCHMARKS=ON)
# BENCH_SERVERS=pipewire (or pulseaudio) measures on that server only.
set -euo pipefail

one_poll=false
if [ "${1:-}" = --one-poll ]; then
  one_poll=true
  shift
fi
detector=$(realpath "${1:-build/mic-detector/vandrelis-mic-detector}")
seconds=${2:-60}
stream_load=$(realpath "${3:-build/bench/pulse_stream_load}")
for tool in pulseaudio parecord pactl /usr/bin/time pipewire wireplumber pipewire-pulse \
  dbus-daemon "$stream_load"; do
  command -v "$tool" >/dev/null || {
    echo "missing $tool (Debian: pulseaudio pulseaudio-utils time pipewire pipewire-bin" \
      "pipewire-pulse wireplumber dbus; the bench target pulse_stream_load)" >&2
    exit 1
  }
done

dir=$(mktemp -d)
servers=()
recorders=()
stop_recorders() {
  [ ${#recorders[@]} -gt 0 ] && kill "${recorders[@]}" 2>/dev/null
  wait "${recorders[@]}" 2>/dev/null || true
  recorders=()
}
stop_servers() {
  # Last started first: pipewire-pulse, wireplumber and pipewire before the bus.
  for ((i = ${#servers[@]} - 1; i >= 0; i--)); do
    kill "${servers[i]}" 2>/dev/null || true
    wait "${servers[i]}" 2>/dev/null || true
  done
  servers=()
}
cleanup() {
  stop_recorders
  stop_servers
  rm -rf "$dir"
}
trap cleanup EXIT

# Only this private server is seen: nothing of the user's own sound setup is used.
export XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
export PULSE_CLIENTCONFIG="$dir/client.conf" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_RUNTIME_PATH PULSE_COOKIE PULSE_PROP \
  PIPEWIRE_REMOTE PIPEWIRE_PROPS

# start_server pulseaudio|pipewire: a fresh private server whose microphone is "mic".
start_server() {
  rm -rf "$dir/runtime" "$dir/home" "$dir/config"
  mkdir -m 700 "$dir/runtime" "$dir/home" "$dir/config"
  echo "autospawn = no" >"$dir/client.conf"
  if [ "$1" = pulseaudio ]; then
    cat >"$dir/server.pa" <<'EOF'
load-module module-null-source source_name=mic description=Bench\ Microphone
load-module module-native-protocol-unix auth-anonymous=1
EOF
    pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no \
      --log-level=error -F "$dir/server.pa" 2>"$dir/server.log" &
    servers+=($!)
  else
    dbus-daemon --session --address="$DBUS_SESSION_BUS_ADDRESS" --nofork --nopidfile \
      2>"$dir/server.log" &
    servers+=($!)
    until [ -S "$dir/bus" ]; do sleep 0.05; done
    pipewire 2>>"$dir/server.log" &
    servers+=($!)
    until [ -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.05; done
    wireplumber 2>>"$dir/server.log" &
    servers+=($!)
    # Made here, not by pipewire-pulse: it gives up when the directory appears between its own
    # check and its mkdir, which the pactl below (libpulse makes the directory too) can cause.
    mkdir -m 700 "$XDG_RUNTIME_DIR/pulse"
    pipewire-pulse 2>>"$dir/server.log" &
    servers+=($!)
  fi
  local tries=0
  until pactl info >/dev/null 2>&1; do
    if ((++tries > 600)); then
      echo "the $1 server did not answer within 30 s: $(cat "$dir/server.log")" >&2
      exit 1
    fi
    sleep 0.05
  done
  if [ "$1" = pipewire ]; then
    pactl load-module module-null-sink media.class=Audio/Source/Virtual sink_name=mic >/dev/null
    until pactl list short sources | grep -q "	mic	"; do sleep 0.05; done
  fi
}

# add_recorders COUNT: COUNT parecord processes; add_streams COUNT: one process with COUNT.
add_recorders() {
  for i in $(seq 1 "$1"); do
    PULSE_PROP="application.id=org.example.Recorder$i" parecord --record --raw --device=mic \
      --rate=8000 --channels=1 --format=s16le >/dev/null 2>>"$dir/recorders.log" &
    recorders+=($!)
  done
}
add_streams() {
  "$stream_load" "$1" mic >"$dir/load.out" 2>>"$dir/recorders.log" &
  recorders+=($!)
  until grep -qs ready "$dir/load.out"; do
    kill -0 "${recorders[-1]}" 2>/dev/null || {
      echo "the stream load failed: $(cat "$dir/recorders.log")" >&2
      exit 1
    }
    sleep 0.1
  done
}
wait_for_streams() {
  local tries=0
  until [ "$(pactl list short source-outputs 2>/dev/null | wc -l)" -eq "$1" ]; do
    if ((++tries > 600)); then
      echo "after 60 s the server has $(pactl list short source-outputs | wc -l) recording" \
        "streams, not $1: $(cat "$dir/recorders.log")" >&2
      exit 1
    fi
    sleep 0.1
  done
}

ticks=$(getconf CLK_TCK)

# Prints "user system maxrss_kib cpu_ns" of a long-running detector over SECONDS after a warm-up
# of WARMUP seconds (its start and first connection are not the steady state measured), stopping
# it with SIGTERM at the end. cpu_ns sums the scheduler's nanosecond count over its threads, finer
# than the clock ticks of user and system time.
warmup=3
detector_times() {
  local pid=$1 stat ns
  read -r -a stat <"/proc/$pid/stat"
  ns=$(cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }')
  # Fields 14 and 15 (user and system time in clock ticks), counted past the command name,
  # which has no spaces here.
  echo "${stat[13]} ${stat[14]} $ns"
}
measure_running_detector() {
  "$detector" >"$dir/detector.out" 2>"$dir/detector.err" &
  local pid=$!
  sleep "$warmup"
  local u0 s0 n0 u1 s1 n1 hwm
  read -r u0 s0 n0 < <(detector_times "$pid")
  sleep "$seconds"
  read -r u1 s1 n1 < <(detector_times "$pid")
  hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
  kill -TERM "$pid"
  wait "$pid" || true
  awk -v u=$((u1 - u0)) -v s=$((s1 - s0)) -v t="$ticks" -v m="$hwm" -v n=$((n1 - n0)) \
    'BEGIN { printf "%.2f %.2f %d %d\n", u / t, s / t, m, n }'
}

# Prints "user system maxrss_kib" of a shell loop running COMMAND... once a second.
measure_loop() {
  /usr/bin/time -f "%U %S %M" -o "$dir/loop.time" bash -c \
    'for ((i = 0; i < $0; i++)); do "${@}" >/dev/null 2>&1; sleep 1; done' "$seconds" "$@"
  cat "$dir/loop.time"
}

run_phase() {
  local label=$1
  if $one_poll; then
    measure_loop "$detector" >"$dir/detector.result" &
  else
    measure_running_detector >"$dir/detector.result" &
  fi
  local detector_job=$!
  # The same SECONDS as the detector's, after its warm-up.
  $one_poll || sleep "$warmup"
  measure_loop pactl list source-outputs >"$dir/pactl.result"
  wait "$detector_job"
  local du ds dm dn pu ps pm
  read -r du ds dm dn <"$dir/detector.result"
  read -r pu ps pm <"$dir/pactl.result"
  awk -v l="$label" -v du="$du" -v ds="$ds" -v dm="$dm" -v dn="${dn:-}" -v pu="$pu" -v ps="$ps" \
    -v pm="$pm" \
    'BEGIN {
       d = du + ds; p = pu + ps
       if (dn != "") { d = dn / 1e9; printf "%-14s detector: %.4f s CPU (scheduler count)\n", l, d }
       printf "%-14s detector: %.2f s CPU (user %.2f, system %.2f), peak RSS %d KiB\n", l, du + ds, du, ds, dm
       printf "%-14s pactl loop: %.2f s CPU (user %.2f, system %.2f), peak RSS %d KiB\n", l, p, pu, ps, pm
       if (d > 0) printf "%-14s pactl loop / detector CPU: %.1f\n", l, p / d
     }'
}

mode="running detector"
$one_poll && mode="one-poll detector in a shell loop"
echo "== $seconds s per phase; $mode; $(nproc) CPUs"
for server in ${BENCH_SERVERS:-pulseaudio pipewire}; do
  start_server "$server"
  echo "-- $(pactl info | sed -n 's/^Server Name: //p')"
  run_phase "$server 0"
  add_recorders 10
  wait_for_streams 10
  run_phase "$server 10"
  add_streams 190
  wait_for_streams 200
  run_phase "$server 200"
  if ! $one_poll; then
    echo "entries in the last snapshot line: $(tail -n 1 "$dir/detector.out" | grep -o '"pid"' |
      wc -l); lines: $(wc -l <"$dir/detector.out"), log lines: $(wc -l <"$dir/detector.err")"
  fi
  stop_recorders
  stop_servers
done
