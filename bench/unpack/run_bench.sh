#!/usr/bin/env bash
# Extraction speed of the unpack tool against cabextract on the same
# cabinets, run alternately in one go; prints the median and best wall time
# of each and the ratio cabextract / unpack (above 1: unpack is faster).
#
# usage: run_bench.sh [unpack-binary] [corpus-folder] [rounds]
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tool=${1:-$here/../../build/bin/unpack}
corpus=${2:-}
rounds=${3:-21}
[[ -n $corpus ]] || corpus=$here/../../tests/unpack/data
[[ -x $tool ]] || { echo "no unpack binary at $tool" >&2; exit 1; }
[[ -d $corpus ]] || { echo "cabinet corpus not found" >&2; exit 1; }
command -v cabextract >/dev/null || { echo "cabextract not installed" >&2; exit 1; }

cabinets=(generated/gcab-mszip.cab cabextract/large-files-cab.cab generated/gcab-stored.cab)
work=$(mktemp -d "${TMPDIR:-/tmp}/unpack-bench-XXXXXX")
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT

# Runs one extraction into a fresh folder; prints its wall time in microseconds.
time_one() {
  local out=$work/out
  chmod -R u+w "$out" 2>/dev/null || true
  rm -rf "$out"
  local start=$EPOCHREALTIME
  "$@" >/dev/null
  local end=$EPOCHREALTIME
  echo $(( (${end/./} - ${start/./}) ))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
best() { sort -n | head -1; }

printf '%-32s %10s %12s %12s %12s %12s %7s\n' cabinet output_MB unpack_med cabext_med unpack_best cabext_best ratio
for cab in "${cabinets[@]}"; do
  path=$corpus/$cab
  # Both tools must produce the same files before their times mean anything.
  "$tool" x "$path" "$work/a" >/dev/null
  cabextract -q -d "$work/b" "$path"
  if ! diff -r "$work/a" "$work/b" >/dev/null; then echo "outputs differ for $cab" >&2; exit 1; fi
  size=$(du -sb "$work/a" | cut -f1)
  chmod -R u+w "$work/a" "$work/b"; rm -rf "$work/a" "$work/b"
  mine=() theirs=()
  for ((i = 0; i < rounds; i++)); do
    mine+=("$(time_one "$tool" x "$path" "$work/out")")
    theirs+=("$(time_one cabextract -q -d "$work/out" "$path")")
  done
  um=$(printf '%s\n' "${mine[@]}" | median); cm=$(printf '%s\n' "${theirs[@]}" | median)
  ub=$(printf '%s\n' "${mine[@]}" | best); cb=$(printf '%s\n' "${theirs[@]}" | best)
  awk -v n="$cab" -v s="$size" -v um="$um" -v cm="$cm" -v ub="$ub" -v cb="$cb" 'BEGIN {
    printf "%-32s %10.1f %10.2fms %10.2fms %10.2fms %10.2fms %7.2f\n", n, s / 1048576, um / 1000, cm / 1000, ub / 1000, cb / 1000, cm / um }'
done
