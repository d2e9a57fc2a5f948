#!/usr/bin/env bash
# The programs as a package ships them: `cmake --install --strip` of BUILD into a staging
# folder (DESTDIR and a prefix), the tree then copied to a second prefix, and the programs run
# from each copy: the calendar helper's status, list-calendars and snapshot against a private
# Evolution Data Server (its calendar in the answer shows that the module was found from the
# installed program), and the detector started and stopped on a private sound server with one
# recorder. Also checks that each installed file is dynamically linked against the system's
# libraries and at most 2 MB.
#
#   .ci/install_check.sh BUILD
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "install check: $*" >&2
  exit 1
}

prefix=/opt/vandrelis
DESTDIR="$work/stage" cmake --install "$build" --prefix "$prefix" --strip >/dev/null
staged=$work/stage$prefix
moved=$work/elsewhere/vandrelis
mkdir -p "$work/elsewhere"
cp -a "$staged" "$moved"

echo "installed tree ($prefix):"
(cd "$staged" && find . -type f -printf '%P %s bytes\n' | sort)
files=$(cd "$staged" && find . -type f -printf '%P\n' | sort)
module=$(grep '/vandrelis-eventkit-eds\.so$' <<<"$files" || true)
expected=$(printf '%s\n' bin/vandrelis-eventkit bin/vandrelis-mic-detector "$module" | sort)
[ -n "$module" ] && [ "${module%%/*}" != bin ] || fail "no module under the library folder"
[ "$files" = "$expected" ] || fail "unexpected files installed"

# Each file loads the system's shared libraries (the C++ runtime, and ICU or libpulse) and
# carries no copy of them.
needs() {
  local file=$1 library
  shift
  readelf -d "$staged/$file" | grep -q '(NEEDED)' || fail "$file is not dynamically linked"
  for library in "$@"; do
    readelf -d "$staged/$file" | grep '(NEEDED)' | grep -q "\[$library" ||
      fail "$file does not load $library"
  done
  [ "$(stat -c %s "$staged/$file")" -le 2000000 ] || fail "$file is over 2 MB stripped"
}
needs bin/vandrelis-eventkit libstdc++.so libicuuc.so
needs bin/vandrelis-mic-detector libstdc++.so libpulse.so libplist
needs "$module" libstdc++.so libicuuc.so libical.so libecal

# The calendar helper, from both copies, against one private EDS with the sample calendar.
eds=$work/eds
mkdir -p "$eds/config/evolution/sources" "$eds/data/evolution/calendar/team-rota" \
  "$eds/data/vandrelis"
cp samples/eds/team-rota.source "$eds/config/evolution/sources/"
cp samples/eds/team-rota.ics "$eds/data/evolution/calendar/team-rota/calendar.ics"
cp -r samples/calendars "$eds/data/vandrelis/calendars"
VandrelisEventKit/tests/store/eds/eds_session.sh "$eds" bash -c '
  set -euo pipefail
  for root in "$@"; do
    helper=$root/bin/vandrelis-eventkit
    status=$("$helper" status)
    [ "$status" = "{\"authorizationStatus\":\"granted\"}" ] || {
      echo "$helper status: $status" >&2
      exit 1
    }
    calendars=$("$helper" list-calendars)
    grep -q "\"externalId\":\"eds:team-rota\"" <<<"$calendars" || {
      echo "$helper list-calendars without the EDS calendar: $calendars" >&2
      exit 1
    }
    grep -q "\"externalId\":\"work\\\\/meetings\"" <<<"$calendars" || {
      echo "$helper list-calendars without the tree: $calendars" >&2
      exit 1
    }
    events=$("$helper" snapshot --start 2024-05-13T00:00:00.000Z --end 2024-05-20T00:00:00.000Z \
      --calendar eds:team-rota --calendar work/meetings)
    grep -q "\"calendarExternalId\":\"eds:team-rota\"" <<<"$events" || {
      echo "$helper snapshot without the EDS calendar: $events" >&2
      exit 1
    }
    echo "$helper: status, list-calendars and snapshot with EDS"
  done
' check "$staged" "$moved" 2>"$work/bus.log" || {
  cat "$work/bus.log" >&2
  fail "the calendar helper failed"
}

# The detector, from both copies, on one private sound server with one recorder.
mic-detector/tests/pulse_session.sh "$work/pulse" bash -c '
  set -euo pipefail
  dir=$1
  shift
  PULSE_PROP=application.id=org.example.Recorder parecord --raw --device=demo_microphone \
    --rate=8000 --channels=1 >/dev/null 2>"$dir/recorder.log" &
  recorder=$!
  trap "kill $recorder 2>/dev/null || true" EXIT
  until [ "$(pactl list short source-outputs | wc -l)" -ge 1 ]; do sleep 0.05; done
  # Both copies at once: each runs for a second and a half, then gets SIGTERM.
  pids=()
  for i in $(seq "$#"); do
    "${!i}/bin/vandrelis-mic-detector" >"$dir/out$i" 2>"$dir/err$i" &
    pids+=($!)
  done
  sleep 1.5
  kill -TERM "${pids[@]}"
  for i in $(seq "$#"); do
    detector=${!i}/bin/vandrelis-mic-detector
    status=0
    wait "${pids[$((i - 1))]}" || status=$?
    if [ "$status" -ne 0 ] ||
      ! head -n 1 "$dir/err$i" | grep -q "Microphone activity detector started" ||
      ! tail -n 1 "$dir/err$i" | grep -q "Microphone activity detector stopped" ||
      ! grep -q "org.example.Recorder" "$dir/out$i"; then
      echo "$detector: exit status $status" >&2
      cat "$dir/err$i" "$dir/out$i" >&2
      exit 1
    fi
    echo "$detector: started, saw the recorder, stopped"
  done
' check "$work/pulse" "$staged" "$moved" || fail "the detector failed"
echo "install check: passed"
