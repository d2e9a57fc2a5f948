#!/usr/bin/env bash
# Compares the store's occurrences with khal's on one tree and window, and times khal (cold:
# fresh cache; warm: second run) against the store's query and the parse floor. Manual only:
# needs khal and a benchmark build (cmake -DBUILD_BENCHMARKS=ON -B build-bench).
#
#   bench/khal_compare.sh ROOT START_DATE END_DATE    (dates as YYYY-MM-DD, END exclusive)
set -euo pipefail
root=$1 start=$2 end=$3
bench=${BENCH:-build-bench/bench/vdir_store_bench}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TZ=UTC
khal_end=$(date -d "$end -1 day" +%F)  # khal's END day is included

{
  echo "[calendars]"
  for calendar in "$root"/*/*/; do
    name=$(basename "$(dirname "$calendar")")-$(basename "$calendar")
    printf '[[%s]]\npath = %s\ntype = calendar\n' "$name" "$calendar"
  done
  cat <<CONF
[locale]
local_timezone = UTC
default_timezone = UTC
timeformat = %H:%M:%S
dateformat = %Y-%m-%d
longdateformat = %Y-%m-%d
datetimeformat = %Y-%m-%dT%H:%M:%S
longdatetimeformat = %Y-%m-%dT%H:%M:%S
[sqlite]
path = $work/khal.db
CONF
} >"$work/config"

# khal prints an all-day event's last day as its end; the store's end is one second before
# the following midnight. Both are brought to "start end-day" for the comparison. khal repeats
# an event under each day it spans (hence sort -u), and lists cancelled events, which the
# store's listing leaves out as the snapshot does.
cold=$( { /usr/bin/time -f '%e' khal -c "$work/config" list --format '{start-long} {end-long} {title}' --day-format '' "$start" "$khal_end" >"$work/khal.txt"; } 2>&1 | tail -1)
warm=$( { /usr/bin/time -f '%e' khal -c "$work/config" list --format '{start-long} {end-long} {title}' --day-format '' "$start" "$khal_end" >/dev/null; } 2>&1 | tail -1)

sed -E 's/^([0-9-]+T[0-9:]+) ([0-9-]+T[0-9:]+) /\1Z \2Z /; s/^([0-9]{4}-[0-9]{2}-[0-9]{2}) ([0-9]{4}-[0-9]{2}-[0-9]{2}) /\1 \2 /' \
  "$work/khal.txt" | grep -v "^$" | sort -u >"$work/khal.norm"
# sed rather than awk, which would squeeze the blanks that titles keep.
"$bench" list "$root" "${start}T00:00:00Z" "${end}T00:00:00Z" |
  sed -E 's/^([0-9-]{10})T[^ ]* ([0-9-]{10})T[^ ]* allday /\1 \2 /; s/^([^ ]+ [^ ]+) timed /\1 /' |
  sort >"$work/store.norm"

echo "store: $(wc -l <"$work/store.norm") occurrences, khal: $(wc -l <"$work/khal.norm")"
if diff "$work/store.norm" "$work/khal.norm" >"$work/diff"; then
  echo "identical"
else
  echo "differences (< store, > khal):"
  head -40 "$work/diff"
fi
ours=$( { /usr/bin/time -f '%e' "$bench" query "$root" "${start}T00:00:00Z" "${end}T00:00:00Z" 1 >/dev/null; } 2>&1 | tail -1)
floor=$( { /usr/bin/time -f '%e' "$bench" parse "$root" 1 >/dev/null; } 2>&1 | tail -1)
echo "process wall time: store query $ours s, parse floor $floor s, khal cold $cold s, khal warm $warm s"
