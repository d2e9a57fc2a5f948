#!/usr/bin/env bash
# Installs what is missing (Debian: apt-get), builds, and either runs the programs on the
# sample data in this repository (./run.sh demo) or runs every test (./run.sh test).
set -euo pipefail
cd "$(dirname "$0")"

DEBIAN_PACKAGES=(build-essential cmake ninja-build pkg-config libicu-dev libgtest-dev
  libgmock-dev libbenchmark-dev tzdata libplist-dev libical-dev libpulse-dev pulseaudio
  pulseaudio-utils time python3 python3-dateutil)
# A headless PipeWire with its PulseAudio interface, for the detector's tests on both servers;
# without recommends, which would pull in pipewire-alsa and replace PulseAudio as the default.
PIPEWIRE_PACKAGES=(pipewire pipewire-bin pipewire-pulse wireplumber dbus)

# install_packages [apt-get options...] -- PACKAGE...: installs those not installed yet.
install_packages() {
  local options=()
  while [ "$1" != -- ]; do
    options+=("$1")
    shift
  done
  shift
  local missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${options[@]}" \
    "${missing[@]}" >/dev/null
}

install_missing() {
  install_packages -- "${DEBIAN_PACKAGES[@]}"
  install_packages --no-install-recommends -- "${PIPEWIRE_PACKAGES[@]}"
}

# build DIR [cmake options...]
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DWARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$dir" -- -j"$(nproc)"
}

# The fuzz targets with clang 16 (coverage, ASan, UBSan), each run briefly from its seeds.
FUZZ_PACKAGES=(clang-16 libclang-rt-16-dev python3)
run_fuzz_smoke() {
  install_packages -- "${FUZZ_PACKAGES[@]}"
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++-16 -DBUILD_FUZZERS=ON \
    -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g" >/dev/null
  cmake --build build-fuzz --target fuzzers -- -j"$(nproc)"
  fuzz/smoke.sh build-fuzz 15
}

run_tests() {
  build build
  (cd build && ctest --output-on-failure -j"$(nproc)")
  bench/adversarial.sh build
  build build-sanitize -DENABLE_SANITIZERS=ON -DCMAKE_BUILD_TYPE=Debug
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$(nproc)")
  run_fuzz_smoke
}

# Shows a command line, then runs it and shows its exit status.
show() {
  echo "\$ $*"
  local status=0
  "$@" 2>&1 || status=$?
  echo "(exit status $status)"
  echo
}

run_demo() {
  build build
  local helper=build/VandrelisEventKit/vandrelis-eventkit
  # Global, not local: the EXIT trap runs after this function has returned.
  demo_home=$(mktemp -d)
  trap 'rm -rf "$demo_home"' EXIT
  export XDG_DATA_HOME="$demo_home/data"
  echo "== vandrelis-eventkit (calendar store root: $XDG_DATA_HOME/vandrelis/calendars)"
  show "$helper" status
  show "$helper" authorize
  show "$helper" status
  show "$helper"
  show "$helper" STATUS
  show "$helper" --start 2024-05-01T00:00:00.000Z snapshot
  show "$helper" list-calendars
  echo "== the sample calendars (samples/calendars) as the calendar store"
  rm -rf "$XDG_DATA_HOME/vandrelis/calendars"
  cp -r samples/calendars "$XDG_DATA_HOME/vandrelis/calendars"
  show "$helper" status
  show "$helper" list-calendars
  show "$helper" snapshot --start 2024-05-13T00:00:00.000Z --end 2024-05-20T00:00:00.000Z \
    --calendar work/meetings --calendar personal/home --calendar holidays/public
  show "$helper" snapshot --start 2024-05-13T00:00:00.000Z
  show "$helper" snapshot --start 2024-05-20T00:00:00.000Z --end 2024-05-13T00:00:00.000Z
  echo "\$ $helper watch   (a calendar file is added and one is removed while it runs)"
  "$helper" watch &
  local watcher=$!
  sleep 0.5
  cp samples/calendars/work/meetings/standup.ics "$XDG_DATA_HOME/vandrelis/calendars/work/meetings/copy.ics"
  sleep 0.5
  rm -f "$XDG_DATA_HOME/vandrelis/calendars/work/meetings/copy.ics"
  sleep 0.5
  kill "$watcher"
  wait "$watcher" 2>/dev/null || true
  echo "(stopped with SIGTERM)"
  echo
  (run_detector_demo)
}

# The detector for real, on a private sound server (a virtual microphone in a temporary
# directory) with one recorder: nothing of the user's own sound setup is used or changed.
# Runs in a subshell of its own: its variables, exports and trap end with it.
run_detector_demo() {
  local detector=build/mic-detector/vandrelis-mic-detector
  demo_dir=$(mktemp -d)
  server_pid=""
  recorder_pid=""
  local dir=$demo_dir
  # shellcheck disable=SC2317  # called by the trap
  cleanup_detector_demo() {
    [ -n "$recorder_pid" ] && kill "$recorder_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$demo_dir"
  }
  trap cleanup_detector_demo EXIT
  mkdir -m 700 "$dir/runtime" "$dir/home" "$dir/config"
  echo "autospawn = no" >"$dir/client.conf"
  cat >"$dir/server.pa" <<'SCRIPT'
load-module module-null-source source_name=demo_microphone description=Demo\ Microphone
load-module module-native-protocol-unix auth-anonymous=1
SCRIPT
  export XDG_RUNTIME_DIR="$dir/runtime" HOME="$dir/home" XDG_CONFIG_HOME="$dir/config"
  export PULSE_CLIENTCONFIG="$dir/client.conf" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/no-bus"
  unset DISPLAY WAYLAND_DISPLAY PULSE_SERVER PULSE_RUNTIME_PATH PULSE_COOKIE PULSE_PROP

  echo "== vandrelis-mic-detector (a private sound server in $XDG_RUNTIME_DIR)"
  echo "\$ pulseaudio -n -F server.pa   # virtual microphone \"demo_microphone\""
  pulseaudio -n --daemonize=no --system=false --exit-idle-time=-1 --use-pid-file=no \
    --log-level=error -F "$dir/server.pa" >/dev/null 2>"$dir/server.log" &
  server_pid=$!
  local tries=0
  until pactl info >/dev/null 2>&1; do
    tries=$((tries + 1))
    if [ $tries -gt 100 ]; then
      echo "the private sound server did not start:" >&2
      cat "$dir/server.log" >&2
      return 1
    fi
    sleep 0.05
  done
  echo "\$ PULSE_PROP=application.id=org.example.Recorder parecord --device=demo_microphone &"
  PULSE_PROP=application.id=org.example.Recorder parecord --raw --device=demo_microphone \
    --rate=8000 --channels=1 >/dev/null 2>"$dir/recorder.log" &
  recorder_pid=$!
  until [ "$(pactl list short source-outputs | wc -l)" -ge 1 ]; do sleep 0.05; done
  echo "(recorder pid $recorder_pid)"
  echo "\$ $detector   # for 3 seconds, then SIGTERM"
  "$detector" &
  local detector_pid=$!
  sleep 3.5
  kill -TERM "$detector_pid"
  local status=0
  wait "$detector_pid" || status=$?
  echo "(exit status $status)"
  echo
  echo "\$ kill $recorder_pid $server_pid   # the recorder and the private server"
}

install_missing
case "${1:-}" in
  test) run_tests ;;
  demo) run_demo ;;
  *)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
