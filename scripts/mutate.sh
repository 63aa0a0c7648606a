#!/usr/bin/env bash
# Mutation runs: plants one hand-written fault at a time in the source, rebuilds
# the Release build incrementally, runs the module's tests and reports whether
# a test caught the fault (killed) or not (survived).
#
# usage: scripts/mutate.sh [options] MODULE [FAULT-ID...]
#        scripts/mutate.sh [options] --all
#        scripts/mutate.sh --check         (every fault's expression still applies?)
#        scripts/mutate.sh --list
# options:
#   -B DIR        build folder (default: build, configured as Release)
#   --all-tests   run every test executable of the module list's "tests" lines
#                 without their filters
#   --suite       rebuild everything and run the whole CTest suite for each fault
#                 (slow: several minutes a fault)
#
# Faults live in tests/mutants/MODULE.txt. A file starts with lines
#   targets <build targets to rebuild>
#   tests   <test executable under build/tests> [gtest filter]     (one or more)
# followed by faults, each a block of
#   fault <id>
#   file  <path from the repository root>
#   sed   <sed expression, applied with sed -E>        (one or more)
#   why   <one sentence: the plausible mistake>
# Lines starting with # are comments.
#
# The source file is restored after each fault, also on Ctrl-C or a failed
# build; the build is brought back to the clean source at the end.
# Not part of the CI run: a whole list takes minutes per module.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
list_dir=$root/tests/mutants
build=$root/build
all=0
check=0
list=0
unfiltered=0
suite=0
args=()
while [[ $# -gt 0 ]]; do
  case $1 in
    -B) build=$(cd "$2" && pwd); shift 2 ;;
    --all) all=1; shift ;;
    --check) check=1; shift ;;
    --list) list=1; shift ;;
    --all-tests) unfiltered=1; shift ;;
    --suite) suite=1; shift ;;
    -h|--help) sed -n '2,29p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "mutate.sh: unknown option $1" >&2; exit 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

modules=()
if [[ $all == 1 || $check == 1 || $list == 1 ]]; then
  for f in "$list_dir"/*.txt; do modules+=("$(basename "$f" .txt)"); done
  only=()
elif [[ ${#args[@]} -ge 1 ]]; then
  modules=("${args[0]}")
  only=("${args[@]:1}")
else
  echo "usage: mutate.sh [-B build] MODULE [FAULT-ID...] | --all | --check | --list" >&2
  exit 2
fi

# Parsed fault list of one module: arrays indexed by fault number.
targets=""
tests=()
f_id=() f_file=() f_sed=() f_why=()
parse() {
  local path=$list_dir/$1.txt key rest n=-1
  [[ -f $path ]] || { echo "mutate.sh: no fault list $path" >&2; exit 2; }
  targets="" tests=() f_id=() f_file=() f_sed=() f_why=()
  while IFS= read -r line || [[ -n $line ]]; do
    [[ -z ${line// } || $line == \#* ]] && continue
    key=${line%% *}
    rest=${line#"$key"}
    rest=${rest#"${rest%%[! ]*}"}
    case $key in
      targets) targets=$rest ;;
      tests) tests+=("$rest") ;;
      fault) n=$((n + 1)); f_id[n]=$rest; f_file[n]=""; f_sed[n]=""; f_why[n]="" ;;
      file) f_file[n]=$rest ;;
      sed) f_sed[n]+="${f_sed[n]:+$'\n'}$rest" ;;
      why) f_why[n]=$rest ;;
      *) echo "mutate.sh: $1.txt: unknown line: $line" >&2; exit 2 ;;
    esac
  done <"$path"
}

# Applies fault $1 to a copy: prints the mutated text on stdout; fails when an
# expression changes nothing.
mutated() {
  local i=$1 src=$root/${f_file[$1]} cur expr next
  [[ -f $src ]] || { echo "no such file ${f_file[i]}" >&2; return 1; }
  cur=$(cat "$src"; echo x)
  while IFS= read -r expr; do
    next=$(printf '%s' "${cur%x}" | sed -E "$expr"; echo x) || return 1
    if [[ $next == "$cur" ]]; then
      echo "does not apply: $expr" >&2
      return 1
    fi
    cur=$next
  done <<<"${f_sed[i]}"
  printf '%s' "${cur%x}"
}

saved=""
saved_file=""
restore() {
  if [[ -n $saved_file ]]; then
    cp -p "$saved" "$saved_file"
    touch "$saved_file"
    rm -f "$saved"
    saved_file=""
  fi
}
cleanup() {
  restore
  [[ -n ${work:-} ]] && rm -rf "$work"
}
trap cleanup EXIT
trap 'echo; echo "interrupted: source restored"; exit 130' INT TERM

if [[ $list == 1 || $check == 1 ]]; then
  bad=0
  total=0
  for m in "${modules[@]}"; do
    parse "$m"
    for i in "${!f_id[@]}"; do
      total=$((total + 1))
      if [[ $check == 1 ]]; then
        if ! mutated "$i" >/dev/null 2>"$root/.mutate-err"; then
          echo "$m/${f_id[i]}: $(cat "$root/.mutate-err")"
          bad=$((bad + 1))
        fi
        rm -f "$root/.mutate-err"
      else
        printf '%-10s %-28s %s\n' "$m" "${f_id[i]}" "${f_why[i]}"
      fi
    done
  done
  [[ $check == 1 ]] && echo "$((total - bad)) of $total faults apply"
  [[ $bad == 0 ]]
  exit
fi

[[ -f $build/build.ninja ]] || { echo "mutate.sh: no configured build in $build" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/tmp}/mutate-XXXXXX")

# Runs the module's tests; prints the names of the failing tests (or what ended
# a run) on stdout. Returns 0 when every test passed.
run_tests() {
  local entry exe filter out rc failed=0
  if [[ $suite == 1 ]]; then
    out=$work/out.txt
    ctest --test-dir "$build" -j2 --timeout 300 >"$out" 2>&1 && return 0
    sed -n '/tests FAILED:/,$p' "$out" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\).*/\1/p'
    return 1
  fi
  for entry in "${tests[@]}"; do
    exe=${entry%% *}
    filter=""
    [[ $entry == *" "* ]] && filter=${entry#* }
    [[ $unfiltered == 1 ]] && filter=""
    out=$work/out.txt
    timeout 300 "$build/tests/$exe" ${filter:+"--gtest_filter=$filter"} >"$out" 2>&1
    rc=$?
    if [[ $rc != 0 ]]; then
      failed=1
      if grep -q '^\[  FAILED  \] [A-Za-z_]' "$out"; then
        grep '^\[  FAILED  \] [A-Za-z_]' "$out" | sed 's/^\[  FAILED  \] //; s/ (.*//; s/,.*//' | sort -u
      elif [[ $rc == 124 ]]; then
        echo "$exe: timed out"
      else
        echo "$exe: ended with status $rc"
      fi
    fi
  done
  return $failed
}

killed=0 survived=0 broken=0
survivors=()
built=""
for m in "${modules[@]}"; do
  parse "$m"
  [[ $suite == 1 ]] && targets=all
  built+=" $targets"
  echo "== $m: building the clean source"
  if ! cmake --build "$build" --target $targets >"$work/build.txt" 2>&1; then
    tail -20 "$work/build.txt"
    echo "mutate.sh: the clean source does not build" >&2
    exit 1
  fi
  if ! base=$(run_tests); then
    echo "$m: tests fail before any fault is planted:"
    echo "$base" | sed 's/^/    /'
    exit 1
  fi
  for i in "${!f_id[@]}"; do
    if [[ ${#only[@]} -gt 0 ]] && ! printf '%s\n' "${only[@]}" | grep -qx "${f_id[i]}"; then
      continue
    fi
    name="$m/${f_id[i]}"
    if ! mutated "$i" >"$work/mutant" 2>"$work/err"; then
      printf '%-34s NOT APPLIED  %s\n' "$name" "$(cat "$work/err")"
      broken=$((broken + 1))
      continue
    fi
    saved=$work/saved
    cp -p "$root/${f_file[i]}" "$saved"
    saved_file=$root/${f_file[i]}
    cat "$work/mutant" >"$saved_file"
    if ! cmake --build "$build" --target $targets >"$work/build.txt" 2>&1; then
      printf '%-34s NOT BUILT    (the fault does not compile)\n' "$name"
      broken=$((broken + 1))
      restore
      continue
    fi
    if caught=$(run_tests); then
      printf '%-34s SURVIVED     %s\n' "$name" "${f_why[i]}"
      survived=$((survived + 1))
      survivors+=("$name")
    else
      printf '%-34s killed by    %s\n' "$name" "$(echo "$caught" | head -3 | paste -sd' ')"
      killed=$((killed + 1))
    fi
    restore
  done
done

echo "== restoring the build"
cmake --build "$build" --target $(printf '%s\n' $built | sort -u) >/dev/null 2>&1 || echo "mutate.sh: rebuild of the clean source failed" >&2
total=$((killed + survived))
if [[ $total -gt 0 ]]; then
  echo "killed $killed of $total ($((100 * killed / total))%), survived $survived, not applied or not built $broken"
fi
[[ ${#survivors[@]} -eq 0 ]] || printf 'survived: %s\n' "${survivors[@]}"
