#!/usr/bin/env bash
# The snapshot's cost on a corpus (bench/make_vdir_corpus.py) beside its floors: the shipped
# helper for one year and one week (cold and with a warm occurrence index), its peak resident
# memory, libical's read + parse and read + parse + expand of the same tree, the store's own
# read + parse + expand in-process (no output), and the fixed cost of starting the helper (the
# status command) beside that of /bin/true. Medians of REPEATS rounds, as wall time and as CPU
# time (user + system): on a busy machine the wall time also counts other
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

snapshot() {
  "$helper" snapshot --start "$1" --end "$2" "${calendars[@]}"
}

year=(2024-01-01T00:00:00.000Z 2025-01-01T00:00:00.000Z)
week=(2024-05-13T00:00:00.000Z 2024-05-20T00:00:00.000Z)
echo "corpus: $(find "$root" -name '*.ics' | wc -l) item files; $repeats rounds; load: $(cut -d' ' -f1-3 /proc/loadavg)"
snapshot "${year[@]}" >"$cache/year.json"
echo "1 year: $(grep -o '"startsAt"' "$cache/year.json" | wc -l) events, $(stat -c %s "$cache/year.json") bytes of JSON"
rm -f "$cache/year.json"

# Rounds of every measurement in turn, so that a change in the machine's load falls on all of
# them alike; medians over the rounds. The floors are the bench's in-process medians of three
# runs (one for libical's expansion, which takes seconds); the helper's runs are whole processes, timed from outside (CPU time and peak resident
# memory of that process alone).
python3 - "$repeats" "$cache/vandrelis" "$helper" "$bench" "$root" "${year[@]}" "${week[@]}" \
  "${calendars[@]}" <<'PYTHON'
import os, re, shutil, statistics, subprocess, sys, time
repeats, index, helper, bench, root = int(sys.argv[1]), *sys.argv[2:6]
year, week, calendars = sys.argv[6:8], sys.argv[8:10], sys.argv[10:]

def floor(*args):
    out = subprocess.run([bench, *args], capture_output=True, text=True, check=True).stdout
    wall, cpu = re.search(r"median ([0-9.]+) s \(cpu ([0-9.]+) s\)", out).groups()
    return float(wall), float(cpu), 0

def helper_run(*args, program=helper):
    started = time.perf_counter()
    child = subprocess.Popen([program, *args], stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{program} {' '.join(args[:1])} failed")
    return wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss

def snapshot(window, cold):
    if cold:
        shutil.rmtree(index, ignore_errors=True)
    else:  # warm: the index of this window's files is in place
        subprocess.run([helper, "snapshot", "--start", window[0], "--end", window[1], *calendars],
                       stdout=subprocess.DEVNULL, check=True)
    return helper_run("snapshot", "--start", window[0], "--end", window[1], *calendars)

# A process start is short beside the timer's own noise: the fastest of 50. Its peak resident
# memory is left out: for so small a process it is mostly that of the Python it was forked from.
def start(*args, program=helper):
    wall, cpu, _ = min(helper_run(*args, program=program) for _ in range(50))
    return wall, cpu, 0

bench_year = [t.replace(".000Z", "Z") for t in year]
parse = "floor: libical read + parse"
libical = "floor: libical read + parse + expand, 1 y"
expand = "store's read + parse + expand, 1 y"
rows = {
    parse: lambda: floor("parse", root, "3"),
    libical: lambda: floor("libical-expand", root, *bench_year, "1"),
    expand: lambda: floor("expand", root, *bench_year, "3"),
    "start of /bin/true": lambda: start(program="/bin/true"),
    "helper start (status)": lambda: start("status"),
    "snapshot 1 year, no index": lambda: snapshot(year, True),
    "snapshot 1 year, warm index": lambda: snapshot(year, False),
    "snapshot 1 week, no index": lambda: snapshot(week, True),
    "snapshot 1 week, warm index": lambda: snapshot(week, False),
}
runs = {name: [] for name in rows}
for _ in range(repeats):
    for name, measure in rows.items():
        runs[name].append(measure())
median = {name: (statistics.median(r[0] for r in got), statistics.median(r[1] for r in got),
                 max(r[2] for r in got)) for name, got in runs.items()}

def ratio(name, floor_name, label):
    (w, c, _), (fw, fc, _) = median[name], median[floor_name]
    return f"{w / fw:.2f} / {c / fc:.2f} x {label}"

def year(name):
    return (ratio(name, libical, "libical's parse + expand") + "; "
            + ratio(name, expand, "the store's"))

notes = {"snapshot 1 year, no index": year("snapshot 1 year, no index"),
         "snapshot 1 year, warm index": year("snapshot 1 year, warm index"),
         "helper start (status)": ratio("helper start (status)", "start of /bin/true", "/bin/true"),
         "snapshot 1 week, warm index": ratio("snapshot 1 week, warm index", parse, "libical's parse")}
print(f"{'':40} {'wall (ms)':>9} {'cpu (ms)':>9} {'peak RSS':>9}   ratio (wall / cpu)")
for name, (wall, cpu, rss) in median.items():
    memory = f"{rss // 1024} MB" if rss else ""
    print(f"{name:40} {wall * 1000:9.1f} {cpu * 1000:9.1f} {memory:>9}   {notes.get(name, '')}")
PYTHON
