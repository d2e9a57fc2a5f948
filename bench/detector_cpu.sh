#!/usr/bin/env bash
# CPU time and peak memory of the detector on a private PulseAudio server, with 0 and with 10
# recording clients, measured side by side with a shell loop that runs
# `pactl list source-outputs` once a second on the same server. Run by hand, never by ctest.
#
# usage: bench/detector_cpu.sh [--one-poll] [DETECTOR [SECONDS]]
#   --one-poll  the detector makes one poll and exits: it is run once a second in a shell loop
#               too (and then pays for starting a process every second)
set -euo pipefail

one_poll=false
if [ "${1:-}" = --one-poll ]; then
  one_poll=true
  shift
fi
detector=$(realpath "${1:-build/mic-detector/vandrelis-mic-detector}")
seconds=${2:-60}
for tool in pulseaudio parecord pactl /usr/bin/time; do
  command -v "$tool" >/dev/null || {
    echo "missing $tool (Debian: pulseaudio pulseaudio-utils time)" >&2
    exit 1
  }
done

dir=$(mktemp -d)
server_pid=
recorders=()
cleanup() {
  [ ${#recorders[@]} -gt 0 ] && kill "${recorders[@]}" 2>/dev/null
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$dir"
}
trap cleanup EXIT

# Only this private server is seen: nothing of the user's own sound setup is used.
mkdir -m 700 "$dir/runtime" "$dir/home" "$dir/config"
echo "autospawn = no" >"$dir/client.conf"
cat >"$dir/server.pa" <<'EOF'
load-module module-null-source source_name=mic description=Bench\ Microphone
load-module module-native-protocol-unix auth-anonymous=1
EOF
export XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
export PULSE_CLIENTCONFIG="$dir/client.conf" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-bus"
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_RUNTIME_PATH PULSE_COOKIE PULSE_PROP
pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no \
  --log-level=error -F "$dir/server.pa" 2>"$dir/server.log" &
server_pid=$!
until pactl info >/dev/null 2>&1; do sleep 0.05; done

ticks=$(getconf CLK_TCK)

# Prints "user system maxrss_kib cpu_ns" of a long-running detector over the run, stopping it
# with SIGTERM at the end. cpu_ns sums the scheduler's nanosecond count over its threads, finer
# than the clock ticks of user and system time.
measure_running_detector() {
  "$detector" >"$dir/detector.out" 2>"$dir/detector.err" &
  local pid=$!
  sleep "$seconds"
  local stat hwm ns
  read -r -a stat <"/proc/$pid/stat"
  hwm=$(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status")
  ns=$(cat /proc/"$pid"/task/*/schedstat | awk '{ sum += $1 } END { printf "%d", sum }')
  kill -TERM "$pid"
  wait "$pid" || true
  # Fields 14 and 15 (user and system time in clock ticks), counted past the command name,
  # which has no spaces here.
  awk -v u="${stat[13]}" -v s="${stat[14]}" -v t="$ticks" -v m="$hwm" -v n="$ns" \
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
run_phase "0 recorders"
for i in $(seq 1 10); do
  PULSE_PROP="application.id=org.example.Recorder$i" parecord --record --raw --device=mic \
    --rate=8000 --channels=1 --format=s16le >/dev/null 2>>"$dir/recorders.log" &
  recorders+=($!)
done
until [ "$(pactl list short source-outputs | wc -l)" -eq 10 ]; do sleep 0.05; done
run_phase "10 recorders"
if ! $one_poll; then
  echo "last snapshot line: $(tail -n 1 "$dir/detector.out" | cut -c1-160)…"
  echo "lines written: $(wc -l <"$dir/detector.out"), log lines: $(wc -l <"$dir/detector.err")"
fi
