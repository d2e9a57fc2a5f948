#!/usr/bin/env bash
# Type-checks on Linux every file the macOS build compiles (files.txt) against the Apple
# interfaces declared in this folder: clang 16 for a macOS 13 target (so availability is
# checked, blocks are on and the Objective-C runtime is Apple's), ARC for Objective-C++, the
# project's warning flags and -Werror. Exits non-zero on any error.
#
# The C and C++ standard headers are the machine's: LLVM's libc++ as configured for Apple, and
# glibc standing in for Darwin's C library with POSIX and BSD names but no GNU extensions
# (glibc-as-darwin/ adds the little Darwin has that glibc shows only to GNU builds). The
# target's architecture is the machine's, so that glibc's word sizes hold.
#
#   apple-sdk/check.sh              every file of files.txt, then the cases that must fail
#   apple-sdk/check.sh FILE...      these files only
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$here")
clang=${CLANG:-clang++-16}
jobs=${JOBS:-$(nproc)}

case "$(uname -m)" in
  x86_64) target=x86_64-apple-macos13.0 ;;
  aarch64 | arm64) target=arm64-apple-macos13.0 ;;
  *)
    echo "check.sh: no macOS target for $(uname -m)" >&2
    exit 2
    ;;
esac
multiarch=$(gcc -print-multiarch)
libcxx=$(dirname "$(readlink -f "$(command -v "$clang")")")/../include/c++/v1

# The warning flags every target gets (standard_warnings in CMakeLists.txt).
mapfile -t warnings < <(sed -n '/target_compile_options(standard_warnings INTERFACE/,/)/p' \
  "$root/CMakeLists.txt" | sed 's/[() ]/\n/g' | grep '^-W' | grep -vx -- -Werror)
if [ ${#warnings[@]} -lt 2 ]; then
  echo "check.sh: the warning flags were not found in CMakeLists.txt" >&2
  exit 2
fi

flags=(-target "$target" -std=c++2b -fsyntax-only -fobjc-runtime=macosx-13.0
  -nostdinc++ -isystem "$here" -isystem "$libcxx" -isystem "$here/glibc-as-darwin"
  -isystem "/usr/include/$multiarch"
  # Clang predefines these as Apple's nullability keywords; glibc uses them as its own macros.
  -U__nonnull -U__nullable
  -D_DEFAULT_SOURCE -D_XOPEN_SOURCE=700
  # What CMake defines for the tests of a full (not core-only) build.
  -DEVENTKIT_BINARY=\"/nonexistent\" -DWATCH_DRIVER=\"/nonexistent\"
  -DEVENTKIT_SOURCE_DIR=\"/nonexistent\" -DMIC_DETECTOR_BINARY=\"/nonexistent\"
  -DMIC_DETECTOR_FASTPOLL=\"/nonexistent\" -DMIC_DETECTOR_TESTHOST=\"/nonexistent\"
  "${warnings[@]}" -Werror)

# check_one FILE (relative to the root): its program's folder and, for a test, its tests folder
# on the include path, as their CMake targets have them.
check_one() {
  local file=$1
  local language=(-x c++)
  [[ $file == *.mm ]] && language=(-x objective-c++ -fobjc-arc)
  local includes=(-I "$root/${file%%/*}")
  [[ $file == */tests/* ]] && includes+=(-I "$root/${file%%/tests/*}/tests")
  "$clang" "${flags[@]}" "${language[@]}" "${includes[@]}" "$root/$file"
}

# The files of files.txt, each once, in order.
listed_files() {
  local line files=()
  while IFS= read -r line || [ -n "$line" ]; do
    [[ -z $line || $line == \#* ]] && continue
    if [[ $line == !* ]]; then
      local keep=() file
      for file in "${files[@]}"; do [ "$file" != "${line#!}" ] && keep+=("$file"); done
      files=("${keep[@]}")
      continue
    fi
    local matches=() match
    # shellcheck disable=SC2206  # the pattern is meant to expand
    matches=($root/$line)
    for match in "${matches[@]}"; do
      if [ ! -f "$match" ]; then
        echo "check.sh: files.txt names $line, which matches no file" >&2
        return 1
      fi
      files+=("${match#"$root"/}")
    done
  done <"$here/files.txt"
  printf '%s\n' "${files[@]}" | awk '!seen[$0]++'
}

if [ $# -gt 0 ]; then
  status=0
  for file in "$@"; do check_one "$file" || status=1; done
  exit $status
fi

list=$(listed_files)
logs=$(mktemp -d)
trap 'rm -rf "$logs"' EXIT
export -f check_one
export root clang flags_serialized
flags_serialized=$(printf '%q ' "${flags[@]}")
# Each file in its own process, up to $jobs at a time; a failure leaves its diagnostics in a log.
# shellcheck disable=SC2016  # expanded by the inner shell
printf '%s\n' "$list" | xargs -P "$jobs" -n 1 bash -c '
  eval "flags=($flags_serialized)"
  log=$0/$(printf %s "$1" | tr / _).log
  check_one "$1" >"$log" 2>&1 || mv "$log" "$log.failed"
  ' "$logs"
failed=0
for log in "$logs"/*.failed; do
  [ -e "$log" ] || continue
  cat "$log"
  failed=$((failed + 1))
done
count=$(printf '%s\n' "$list" | wc -l)
if [ $failed -gt 0 ]; then
  echo "check.sh: $failed of $count files failed the macOS type-check" >&2
  exit 1
fi
echo "check.sh: $count files type-check for macOS"

# The cases that must fail, each with the diagnostic it must give: proof that availability,
# ARC and the missing GNU extensions are really checked.
wrong=0
for case_file in "$here"/must-fail/*; do
  expected=$(sed -n 's|^// expect: ||p' "$case_file")
  language=(-x c++)
  [[ $case_file == *.mm ]] && language=(-x objective-c++ -fobjc-arc)
  if output=$("$clang" "${flags[@]}" "${language[@]}" "$case_file" 2>&1); then
    echo "check.sh: ${case_file#"$root"/} type-checks, but must not" >&2
    wrong=$((wrong + 1))
  elif [[ $output != *"$expected"* ]]; then
    echo "check.sh: ${case_file#"$root"/} failed without \"$expected\":" >&2
    echo "$output" >&2
    wrong=$((wrong + 1))
  fi
done
if [ $wrong -gt 0 ]; then exit 1; fi
echo "check.sh: $(find "$here/must-fail" -type f | wc -l) cases fail as they must"
