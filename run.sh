#!/usr/bin/env bash
# Installs what is missing (Debian: apt-get), builds, and either runs the programs on the
# sample data in this repository (./run.sh demo) or runs every test (./run.sh test).
set -euo pipefail
cd "$(dirname "$0")"

DEBIAN_PACKAGES=(build-essential cmake ninja-build pkg-config libicu-dev libgtest-dev
  libgmock-dev libbenchmark-dev tzdata libplist-dev libical-dev libpulse-dev pulseaudio
  pulseaudio-utils time python3 python3-dateutil)
# The cores are also built with clang and LLVM's libc++, the standard library of Apple's clang.
DEBIAN_PACKAGES+=(clang-16 libc++-16-dev libc++abi-16-dev)
# Installed without recommends: GNOME's calendar service and a session bus for it; a headless
# PipeWire with its PulseAudio interface for the detector's tests on both servers (recommends
# would pull in pipewire-alsa and replace PulseAudio as the default).
DEBIAN_PACKAGES_NO_RECOMMENDS=(evolution-data-server libecal2.0-dev libedataserver1.2-dev dbus
  dbus-daemon libglib2.0-bin dconf-service pipewire pipewire-bin pipewire-pulse wireplumber)

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
  install_packages --no-install-recommends -- "${DEBIAN_PACKAGES_NO_RECOMMENDS[@]}"
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
  # The macOS layers, and everything else the macOS build compiles, type-checked against the
  # Apple interfaces they use (apple-sdk/), since no Mac builds them here.
  apple-sdk/check.sh
  build build
  (cd build && ctest --output-on-failure -j"$(nproc)")
  .ci/install_check.sh build
  bench/adversarial.sh build
  build build-sanitize -DENABLE_SANITIZERS=ON -DCMAKE_BUILD_TYPE=Debug
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$(nproc)")
  build_libcxx_cores
  (cd build-libcxx && ctest --output-on-failure -j"$(nproc)")
  run_fuzz_smoke
}

# The cores and their tests (no platform layers) with clang and libc++, as a stand-in for
# Apple's toolchain; GoogleTest is built from its source here, since the packaged library is
# built against libstdc++.
build_libcxx_cores() {
  build build-libcxx -DCORE_ONLY=ON -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
    -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ \
    -DGTEST_SOURCE_DIR=/usr/src/googletest
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
  # The occurrence index goes to the demo's folder too: nothing is written into the user's home.
  export XDG_DATA_HOME="$demo_home/data" XDG_CACHE_HOME="$demo_home/cache"
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
  (run_eds_demo)
  (run_detector_demo)
}

# GNOME's calendars: an Evolution Data Server of its own on a private bus (a temporary HOME)
# with one calendar, listed after the sample tree. Runs in a subshell of its own.
run_eds_demo() {
  demo_dir=$(mktemp -d)
  trap 'rm -rf "$demo_dir"' EXIT
  mkdir -p "$demo_dir/config/evolution/sources" "$demo_dir/data/evolution/calendar/team-rota" \
    "$demo_dir/data/vandrelis"
  cp samples/eds/team-rota.source "$demo_dir/config/evolution/sources/"
  cp samples/eds/team-rota.ics "$demo_dir/data/evolution/calendar/team-rota/calendar.ics"
  cp -r samples/calendars "$demo_dir/data/vandrelis/calendars"
  echo "== GNOME's calendars: Evolution Data Server on a private bus (HOME=$demo_dir/home)"
  echo "\$ cp samples/eds/team-rota.source \$XDG_CONFIG_HOME/evolution/sources/"
  echo "\$ cp samples/eds/team-rota.ics \$XDG_DATA_HOME/evolution/calendar/team-rota/calendar.ics"
  echo
  export -f show
  # The bus daemon and EDS log to stderr; that goes to a file, the helper's own stays here.
  VandrelisEventKit/tests/store/eds/eds_session.sh "$demo_dir" bash -c '
    helper=$1
    show "$helper" status
    show "$helper" list-calendars
    show "$helper" snapshot --start 2024-05-13T00:00:00.000Z --end 2024-05-20T00:00:00.000Z \
      --calendar eds:team-rota --calendar holidays/public
    echo "\$ DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent $helper list-calendars   # no EDS"
    DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent "$helper" list-calendars 2>&1
    echo
  ' demo "$PWD/build/VandrelisEventKit/vandrelis-eventkit" 2>"$demo_dir/bus.log"
}

# The detector for real, on a private sound server (a virtual microphone in a temporary
# directory, mic-detector/tests/pulse_session.sh) with one recorder: nothing of the user's own
# sound setup is used or changed. Runs in a subshell of its own.
run_detector_demo() {
  demo_dir=$(mktemp -d)
  trap 'rm -rf "$demo_dir"' EXIT
  echo "== vandrelis-mic-detector (a private sound server in $demo_dir/runtime)"
  echo "\$ pulseaudio -n -F server.pa   # virtual microphone \"demo_microphone\""
  mic-detector/tests/pulse_session.sh "$demo_dir" bash -c '
    detector=$1 dir=$2
    echo "\$ PULSE_PROP=application.id=org.example.Recorder parecord --device=demo_microphone &"
    PULSE_PROP=application.id=org.example.Recorder parecord --raw --device=demo_microphone \
      --rate=8000 --channels=1 >/dev/null 2>"$dir/recorder.log" &
    recorder=$!
    until [ "$(pactl list short source-outputs | wc -l)" -ge 1 ]; do sleep 0.05; done
    echo "(recorder pid $recorder)"
    echo "\$ $detector   # for 3 seconds, then SIGTERM"
    "$detector" &
    detector_pid=$!
    sleep 3.5
    kill -TERM "$detector_pid"
    status=0
    wait "$detector_pid" || status=$?
    echo "(exit status $status)"
    echo
    echo "\$ kill $recorder   # the recorder; the private server stops after it"
    kill "$recorder"
    wait "$recorder" 2>/dev/null || true
  ' demo build/mic-detector/vandrelis-mic-detector "$demo_dir"
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
