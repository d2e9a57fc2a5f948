#!/usr/bin/env bash
# The hostile inputs as a timed check: each calendar item alone in a calendar beside two normal
# items, read by one `snapshot` of a one-year window; and the hostile Info.plist files read by
# the bundle reader. Prints each case's CPU time and peak memory; fails on a crash, on a normal
# event missing, or on more than ten times the budget (1 s of CPU, 200 MB).
# usage: bench/adversarial.sh BUILD_DIR
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
helper=$build/VandrelisEventKit/vandrelis-eventkit
probe=$build/mic-detector/tests/mic_detector_bundle_probe
budget_cpu=1
budget_mb=200
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/hostile_inputs.py" "$work/hostile" --plists
# The occurrence index too: each run starts without one, and nothing is left in the home.
export XDG_DATA_HOME=$work/data XDG_CACHE_HOME=$work/cache
calendar=$XDG_DATA_HOME/vandrelis/calendars/adversarial/calendar
"$helper" authorize >/dev/null
mkdir -p "$calendar"
normal() {
  printf 'BEGIN:VCALENDAR\r\nVERSION:2.0\r\nBEGIN:VEVENT\r\nUID:%s\r\nDTSTAMP:20240101T000000Z\r\n%s\r\nDURATION:PT1H\r\nSUMMARY:normal\r\nEND:VEVENT\r\nEND:VCALENDAR\r\n' "$1" "$2"
}
normal normal-single 'DTSTART;TZID=Europe/Berlin:20240615T100000' >"$calendar/normal-single.ics"
normal normal-weekly $'DTSTART:20240105T090000Z\r\nRRULE:FREQ=WEEKLY' >"$calendar/normal-weekly.ics"

failed=0
# verdict CPU_SECONDS MAX_KB: "ok", "over budget" (reported), or "FAIL" (more than 10x).
verdict() {
  awk -v cpu="$1" -v kb="$2" -v bc="$budget_cpu" -v bm="$budget_mb" 'BEGIN {
    mb = kb / 1024
    if (cpu > 10 * bc || mb > 10 * bm) print "FAIL"
    else if (cpu > bc || mb > bm) print "over budget"
    else print "ok" }'
}

printf '%-22s %9s %8s %7s %8s  %s\n' case bytes cpu_s max_mb events verdict
for item in "$work"/hostile/*.ics; do
  name=$(basename "$item" .ics)
  cp "$item" "$calendar/hostile.ics"
  status=0
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$helper" snapshot --start 2024-01-01T00:00:00.000Z \
    --end 2025-01-01T00:00:00.000Z --calendar adversarial/calendar >"$work/out" 2>"$work/err" ||
    status=$?
  read -r user system kb < <(tail -n 1 "$work/time")
  cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
  events=$(grep -o "\"icalUid\":\"$name" "$work/out" | wc -l || true)
  result=$(verdict "$cpu" "$kb")
  if [ "$status" -ne 0 ]; then
    result="FAIL (exit status $status)"
  elif [ "$(grep -c '"icalUid":"normal-single"' "$work/out")" -ne 1 ] ||
    [ "$(grep -o '"icalUid":"normal-weekly"' "$work/out" | wc -l)" -ne 52 ]; then
    result="FAIL (normal events missing)"
  fi
  printf '%-22s %9d %8s %7d %8d  %s\n' "$name" "$(stat -c %s "$item")" "$cpu" $((kb / 1024)) \
    "$events" "$result"
  [[ $result == FAIL* ]] && failed=1
  rm -f "$calendar/hostile.ics"
done

for plist in "$work"/hostile/*.plist; do
  name=$(basename "$plist" .plist)
  mkdir -p "$work/$name.app/Contents"
  cp "$plist" "$work/$name.app/Contents/Info.plist"
  status=0
  /usr/bin/time -f '%U %S %M' -o "$work/time" "$probe" "$work/$name.app" >"$work/out" 2>&1 ||
    status=$?
  read -r user system kb < <(tail -n 1 "$work/time")
  cpu=$(awk -v u="$user" -v s="$system" 'BEGIN { printf "%.2f", u + s }')
  result=$(verdict "$cpu" "$kb")
  [ "$status" -ne 0 ] && result="FAIL (exit status $status)"
  printf '%-22s %9d %8s %7d %8s  %s (identifier %s)\n' "$name" "$(stat -c %s "$plist")" "$cpu" \
    $((kb / 1024)) - "$result" "$(head -c 80 "$work/out")"
  [[ $result == FAIL* ]] && failed=1
done
exit $failed
