#!/usr/bin/env bash
# Builds the fuzz targets (clang, build-fuzz) and runs each one in turn.
#   fuzz/run.sh smoke             a few seconds per target (what the test script runs)
#   fuzz/run.sh long [SECS] [RUNS] each target until RUNS executions (default 10 million) or
#                                 SECS seconds (default 1800), at low priority
# FUZZ_TARGETS="meta sms" runs only those targets; FUZZ_JOBS=N runs N targets side by side.
# Corpora grow in build-fuzz/corpus/<target>; findings land in build-fuzz/findings/<target>.
# The exit code is non-zero when any target found something.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
secs=${2:-1800}
runs=${3:-10000000}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVORN_FUZZ=ON \
  -DVORN_TESTS=OFF "-DVORN_SKIP=Pernot;VornAX;VornCmd;vornadmin" >/dev/null
if ! cmake --build build-fuzz -j "$(nproc)" >build-fuzz/build.log 2>&1; then
  tail -n 40 build-fuzz/build.log
  exit 1
fi
python3 fuzz/make_seeds.py build-fuzz/seeds
all_targets=(flap_recv dispatch meta sms auth_login ini smtp_reply mime cab cab_block)
# FUZZ_TARGETS picks some targets ("meta sms"); FUZZ_JOBS runs that many side by side.
read -r -a targets <<<"${FUZZ_TARGETS:-${all_targets[*]}}"
jobs=${FUZZ_JOBS:-1}

run_target() {
  local t=$1 corpus=build-fuzz/corpus/fuzz_$1 findings=build-fuzz/findings/fuzz_$1
  local log=build-fuzz/findings/fuzz_$1.log args prio start done_line status=0
  mkdir -p "$corpus" "$findings"
  if [ "$mode" = smoke ]; then
    args=(-max_total_time=4)
    prio=()
  else
    args=(-max_total_time="$secs" -runs="$runs")
    prio=(nice -n 10)
  fi
  start=$(date +%s)
  if ! "${prio[@]}" build-fuzz/fuzz/fuzz_$t "${args[@]}" -rss_limit_mb=2048 -timeout=20 \
        -artifact_prefix="$findings/" "$corpus" build-fuzz/seeds/fuzz_$t >"$log" 2>&1; then
    status=1
    echo "fuzz_$t: FINDING (see $log)"
  fi
  done_line=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  echo "fuzz_$t: $(( $(date +%s) - start )) s, ${done_line%% cov*} $(grep -o 'exec/s: [0-9]*' "$log" | tail -1)"
  return $status
}

# The next target starts as soon as any running one ends.
failed=0
running=0
for t in "${targets[@]}"; do
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
  run_target "$t" &
  running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit $failed
