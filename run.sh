#!/usr/bin/env bash
# Installs what is missing (Debian: apt-get), builds, and either runs the programs on the
# sample data in this repository (./run.sh demo) or runs every test (./run.sh test).
set -euo pipefail
cd "$(dirname "$0")"

DEBIAN_PACKAGES=(build-essential cmake ninja-build pkg-config libicu-dev libgtest-dev
  libgmock-dev libbenchmark-dev tzdata libplist-dev libpulse-dev pulseaudio pulseaudio-utils
  time)

install_missing() {
  local missing=()
  for package in "${DEBIAN_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "Installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]
build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja -DWARNINGS_AS_ERRORS=ON "$@" >/dev/null
  cmake --build "$dir" -- -j"$(nproc)"
}

run_tests() {
  build build
  (cd build && ctest --output-on-failure -j"$(nproc)")
  build build-sanitize -DENABLE_SANITIZERS=ON -DCMAKE_BUILD_TYPE=Debug
  (cd build-sanitize && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --output-on-failure -j"$(nproc)")
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
  DEMO_HOME=$(mktemp -d)
  trap 'rm -rf "$DEMO_HOME"' EXIT
  export XDG_DATA_HOME="$DEMO_HOME/data"
  echo "== vandrelis-eventkit (calendar store root: $XDG_DATA_HOME/vandrelis/calendars)"
  show "$helper" status
  show "$helper" authorize
  show "$helper" status
  show "$helper"
  show "$helper" STATUS
  show "$helper" --start 2024-05-01T00:00:00.000Z snapshot
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
