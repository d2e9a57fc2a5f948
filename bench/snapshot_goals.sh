#!/usr/bin/env bash
# The snapshot's cost on a corpus (bench/make_vdir_corpus.py) beside its floors: the shipped
# helper for one year and one week (cold and with a warm occurrence index), its peak resident
# memory, the read + parse and read + parse + expand floors of the same tree, and the fixed
# cost of starting the helper (the status command). Medians of REPEATS process runs, as wall
# time and as CPU time (user + system): on a busy machine the wall time also counts other
# processes, so the ratios are given on CPU time too. Manual only: needs a Release benchmark
# build (cmake -B build-bench -DCMAKE_BUILD_TYPE=Release -DBUILD_BENCHMARKS=ON).
#
#   bench/snapshot_goals.sh DATA_HOME [REPEATS]
#
# DATA_HOME is where the corpus lives as the helper's store: DATA_HOME/vandrelis/calendars,
# made with bench/make_vdir_corpus.py DATA_HOME/vandrelis/calendars [--singles N --series M]
# (5,000 and 500 by default; 50,000 and 5,000 for the ten times larger corpus).
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

# runs COLD ARGS...: runs the helper with ARGS REPEATS times (output to /dev/null), removing
# the index before each run when COLD is 1, and prints "median_wall_s median_cpu_s max_rss_kB".
runs() {
  python3 - "$repeats" "$cache/vandrelis" "$@" <<'EOF'
import resource, shutil, statistics, subprocess, sys, time
repeats, index, cold, command = int(sys.argv[1]), sys.argv[2], sys.argv[3] == "1", sys.argv[4:]
walls, cpus, rss = [], [], 0
for _ in range(repeats):
    if cold:
        shutil.rmtree(index, ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    started = time.perf_counter()
    subprocess.run(command, stdout=subprocess.DEVNULL, check=True)
    walls.append(time.perf_counter() - started)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpus.append(after.ru_utime + after.ru_stime - before.ru_utime - before.ru_stime)
    rss = max(rss, after.ru_maxrss)  # the largest child so far: runs are in increasing order
print(f"{statistics.median(walls):.4f} {statistics.median(cpus):.4f} {rss}")
EOF
}

snapshot() {
  "$helper" snapshot --start "$1" --end "$2" "${calendars[@]}"
}

year=(2024-01-01T00:00:00.000Z 2025-01-01T00:00:00.000Z)
week=(2024-05-13T00:00:00.000Z 2024-05-20T00:00:00.000Z)
echo "corpus: $(find "$root" -name '*.ics' | wc -l) item files; $repeats runs each; load: $(cut -d' ' -f1-3 /proc/loadavg)"
snapshot "${year[@]}" >"$cache/year.json"
echo "1 year: $(grep -o '"startsAt"' "$cache/year.json" | wc -l) events, $(stat -c %s "$cache/year.json") bytes of JSON"
rm -f "$cache/year.json"

# "median W s (cpu C s)" from the in-process bench.
floor() { sed -E 's/.*median ([0-9.]+) s \(cpu ([0-9.]+) s\).*/\1 \2/'; }
read -r parse parseCpu < <("$bench" parse "$root" "$repeats" | floor)
read -r expand expandCpu < <("$bench" expand "$root" 2024-01-01T00:00:00Z 2025-01-01T00:00:00Z "$repeats" | floor)
read -r start startCpu _ < <(runs 0 "$helper" status)
read -r yearCold yearColdCpu yearColdRss < <(runs 1 "$helper" snapshot --start "${year[0]}" --end "${year[1]}" "${calendars[@]}")
snapshot "${year[@]}" >/dev/null
read -r yearWarm yearWarmCpu yearWarmRss < <(runs 0 "$helper" snapshot --start "${year[0]}" --end "${year[1]}" "${calendars[@]}")
read -r weekCold weekColdCpu _ < <(runs 1 "$helper" snapshot --start "${week[0]}" --end "${week[1]}" "${calendars[@]}")
snapshot "${week[@]}" >/dev/null
read -r weekWarm weekWarmCpu weekWarmRss < <(runs 0 "$helper" snapshot --start "${week[0]}" --end "${week[1]}" "${calendars[@]}")

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.1f", s * 1000 }'; }
row() {  # label wall cpu [rss_kB] [ratio text]
  printf '%-40s %9s %9s %9s   %s\n' "$1" "$(ms "$2")" "$(ms "$3")" "${4:+$(($4 / 1024)) MB}" "${5:-}"
}
printf '%-40s %9s %9s %9s   %s\n' "" "wall (ms)" "cpu (ms)" "peak RSS" "ratio (wall / cpu)"
row "floor: read + parse (in-process)" "$parse" "$parseCpu"
row "floor: read + parse + expand, 1 year" "$expand" "$expandCpu"
row "helper start (status)" "$start" "$startCpu"
row "snapshot 1 year, no index" "$yearCold" "$yearColdCpu" "$yearColdRss" \
  "$(ratio "$yearCold" "$expand") / $(ratio "$yearColdCpu" "$expandCpu") x parse + expand floor"
row "snapshot 1 year, warm index" "$yearWarm" "$yearWarmCpu" "$yearWarmRss" \
  "$(ratio "$yearWarm" "$expand") / $(ratio "$yearWarmCpu" "$expandCpu") x parse + expand floor"
row "snapshot 1 week, no index" "$weekCold" "$weekColdCpu"
row "snapshot 1 week, warm index" "$weekWarm" "$weekWarmCpu" "$weekWarmRss" \
  "$(ratio "$weekWarm" "$parse") / $(ratio "$weekWarmCpu" "$parseCpu") x parse floor"
