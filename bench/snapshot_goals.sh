#!/usr/bin/env bash
# The snapshot's cost on a corpus (bench/make_vdir_corpus.py) beside its floors: the shipped
# helper for one year and one week (cold and with a warm occurrence index), its peak resident
# memory, and the read + parse and read + parse + expand floors of the same tree. Medians of
# REPEATS process runs; wall times are noisy on a busy machine. Manual only: needs a Release
# benchmark build (cmake -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON).
#
#   bench/snapshot_goals.sh DATA_HOME [REPEATS]
#
# DATA_HOME is where the corpus lives as the helper's store: DATA_HOME/vandrelis/calendars,
# made with bench/make_vdir_corpus.py DATA_HOME/vandrelis/calendars [--singles N --series M].
set -euo pipefail
data=$1 repeats=${2:-5}
build=${BUILD:-build-bench}
helper=$build/VandrelisEventKit/vandrelis-eventkit
bench=$build/bench/vdir_store_bench
root=$data/vandrelis/calendars
cache=$(mktemp -d)
trap 'rm -rf "$cache"' EXIT
export XDG_DATA_HOME=$data XDG_CACHE_HOME=$cache

calendars=()
for dir in "$root"/*/*/; do
  calendars+=(--calendar "$(basename "$(dirname "$dir")")/$(basename "$dir")")
done

# median_run PREP START END: runs PREP then the snapshot of [START, END) (output to /dev/null)
# REPEATS times and prints "median_seconds max_resident_kB".
median_run() {
  local prep=$1 start=$2 end=$3
  local lines=()
  for ((i = 0; i < repeats; i++)); do
    eval "$prep"
    lines+=("$({ /usr/bin/time -f '%e %M' "$helper" snapshot --start "$start" --end "$end" \
      "${calendars[@]}" >/dev/null; } 2>&1 | tail -1)")
  done
  printf '%s\n' "${lines[@]}" | sort -n | awk '{ t[NR] = $1; if ($2 > m) m = $2 }
    END { printf "%s %d\n", t[int((NR + 1) / 2)], m }'
}

snapshot() {
  "$helper" snapshot --start "$1" --end "$2" "${calendars[@]}"
}

year=(2024-01-01T00:00:00.000Z 2025-01-01T00:00:00.000Z)
week=(2024-05-13T00:00:00.000Z 2024-05-20T00:00:00.000Z)
echo "corpus: $(find "$root" -name '*.ics' | wc -l) item files; $repeats runs each"
snapshot "${year[@]}" >"$cache/year.json"
echo "1 year: $(grep -o '"startsAt"' "$cache/year.json" | wc -l) events, $(stat -c %s "$cache/year.json") bytes of JSON"

read -r parse _ < <("$bench" parse "$root" "$repeats" | sed -E 's/.*median ([0-9.]+) s.*/\1 x/')
read -r expand _ < <("$bench" expand "$root" 2024-01-01T00:00:00Z 2025-01-01T00:00:00Z "$repeats" |
  sed -E 's/.*median ([0-9.]+) s.*/\1 x/')
read -r yearCold yearColdRss < <(median_run 'rm -rf "$cache/vandrelis"' "${year[@]}")
snapshot "${year[@]}" >/dev/null
read -r yearWarm yearWarmRss < <(median_run ':' "${year[@]}")
read -r weekCold _ < <(median_run 'rm -rf "$cache/vandrelis"' "${week[@]}")
snapshot "${week[@]}" >/dev/null
read -r weekWarm weekWarmRss < <(median_run ':' "${week[@]}")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
printf '%-44s %10s %12s\n' "" "wall (s)" "peak RSS"
printf '%-44s %10s\n' "floor: read + parse every file (in-process)" "$parse"
printf '%-44s %10s\n' "floor: read + parse + expand, 1 year" "$expand"
printf '%-44s %10s %9d MB   %s x floor\n' "snapshot 1 year, no index" "$yearCold" \
  $((yearColdRss / 1024)) "$(ratio "$yearCold" "$expand")"
printf '%-44s %10s %9d MB   %s x floor\n' "snapshot 1 year, warm index" "$yearWarm" \
  $((yearWarmRss / 1024)) "$(ratio "$yearWarm" "$expand")"
printf '%-44s %10s\n' "snapshot 1 week, no index" "$weekCold"
printf '%-44s %10s %9d MB   %s x parse floor\n' "snapshot 1 week, warm index" "$weekWarm" \
  $((weekWarmRss / 1024)) "$(ratio "$weekWarm" "$parse")"
