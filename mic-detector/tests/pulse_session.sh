#!/usr/bin/env bash
# Runs a command with a PulseAudio server of its own: one virtual microphone
# ("demo_microphone", module-null-source), anonymous access, HOME, XDG directories and the
# server's runtime directory under DIR, no session bus and no autospawn. Nothing of the user's
# own sound server or settings is used or changed. The server is stopped when the command ends.
# Usage: pulse_session.sh DIR command [arguments...]
set -euo pipefail
dir=$1
shift
mkdir -p -m 700 "$dir/runtime" "$dir/home" "$dir/config"
echo "autospawn = no" >"$dir/client.conf"
cat >"$dir/server.pa" <<'SCRIPT'
load-module module-null-source source_name=demo_microphone description=Demo\ Microphone
load-module module-native-protocol-unix auth-anonymous=1
SCRIPT
export XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
export PULSE_CLIENTCONFIG="$dir/client.conf" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-bus"
unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_RUNTIME_PATH PULSE_COOKIE PULSE_PROP

pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no \
  --log-level=error -F "$dir/server.pa" >/dev/null 2>"$dir/server.log" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null || true' EXIT
tries=0
until pactl info >/dev/null 2>&1; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ]; then
    echo "the private sound server did not start:" >&2
    cat "$dir/server.log" >&2
    exit 1
  fi
  sleep 0.05
done
"$@"
