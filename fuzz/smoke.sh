#!/usr/bin/env bash
# Regression smoke for the fuzz targets: each target first reads the generated hostile inputs
# once (the crashes and stalls found before, too big to keep in the repository), then fuzzes
# from its seed corpus for a bounded time. Fails on any crash, leak, timeout or failed check.
# usage: fuzz/smoke.sh BUILD_DIR [SECONDS_PER_TARGET]
set -euo pipefail
build=$1
seconds=${2:-15}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/../bench/hostile_inputs.py" "$work/hostile" --plists
# The big items only need to be read once; a sanitized build is several times slower than a
# release build, hence the generous timeout. The 20,000 zones take long to parse under the
# sanitizers and are left to bench/adversarial.sh.
rm "$work/hostile/many-zones.ics"
"$build/fuzz/ics_item_fuzz" -timeout=60 -rss_limit_mb=4096 "$work"/hostile/*.ics
"$build/fuzz/bundle_plist_fuzz" -timeout=60 -rss_limit_mb=4096 "$work"/hostile/*.plist

for target in iso_window ics_item vdir_metadata bundle_plist json_string prefix_characters; do
  mkdir -p "$work/corpus/$target"
  # A copy, so that what the run adds does not end up in the repository.
  cp "$here/corpus/$target/"* "$work/corpus/$target/"
  # A fixed seed makes the run a regression check: every machine tries the same inputs in the
  # same order, only as many of them as its speed allows.
  options=(-seed=1 -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536
    -print_final_stats=1 -artifact_prefix="$work/$target-")
  [ "$target" = ics_item ] && options+=(-dict="$here/ics.dict")
  status=0
  "$build/fuzz/${target}_fuzz" "${options[@]}" "$work/corpus/$target" >"$work/$target.log" 2>&1 ||
    status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$target.log")
  echo "fuzz smoke: $target: ${runs:-?} executions in ${seconds} s, exit status $status"
  if [ $status -ne 0 ]; then
    tail -n 60 "$work/$target.log" >&2
    for artifact in "$work/$target-"*; do
      [ -e "$artifact" ] && echo "input: $(base64 -w0 "$artifact" | head -c 4000)" >&2
    done
    exit 1
  fi
done
