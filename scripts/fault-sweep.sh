#!/usr/bin/env bash
# Puts plausible faults into the code one at a time, rebuilds one folder's
# test program, runs that folder's tests and records whether they noticed.
# A fault the tests do not notice is a test worth writing. Not part of CI:
# a sweep rebuilds the test program once per fault.
#
#   scripts/fault-sweep.sh <label> [faults-file] [only-line-number...]
#   scripts/fault-sweep.sh --check [label...]
#
# <label> is a test label (base, templates, gallery, preferences, camera, blackbox,
# booth, tally, trellis, sharing); the test program is test_<label>. The faults file
# (default scripts/faults/<label>.txt) holds one fault a line:
#
#   path/from/root.cpp@@exact old text@@new text
#
# The old text must occur exactly once in the file. "\n" in either text
# stands for a line break. Blank lines and lines starting with "#" are
# ignored. Every edited file is put back byte for byte, also on Ctrl-C.
# An entry that does not apply to the code (its file or old text gone) fails
# the sweep before anything is built: a sweep that skipped it would report
# fewer faults as if the tests had caught them all. --check only checks the
# lists (every list when no label is given), and builds nothing.
#
# Before any fault, the tests run once on the unchanged code: a test that
# fails there would count every fault as caught. A baseline that is not
# green stops the sweep; with FAULT_SWEEP_RED_BASELINE=1 it goes on (and
# still ends in failure), and a fault counts as caught only by tests that
# passed in the baseline.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

check() {  # faults-file [line...] -> 0 when every (selected) entry applies
  python3 - "$root" "$@" <<'PY'
import os, sys
root, faults, only = sys.argv[1], sys.argv[2], {int(n) for n in sys.argv[3:]}
bad = 0
for n, line in enumerate(open(faults, encoding="utf-8").read().split("\n"), 1):
    if not line.strip() or line.startswith("#") or (only and n not in only):
        continue
    parts = line.split("@@")
    if len(parts) != 3:
        print(f"{faults}:{n}: does not apply: not path@@old@@new", file=sys.stderr); bad += 1; continue
    path, old = os.path.join(root, parts[0]), parts[1].replace("\\n", "\n")
    try:
        count = open(path, encoding="utf-8").read().count(old)
    except OSError as e:
        print(f"{faults}:{n}: does not apply: {e.strerror}: {parts[0]}", file=sys.stderr); bad += 1; continue
    if count != 1:
        print(f"{faults}:{n}: does not apply: the old text occurs {count} times in {parts[0]}", file=sys.stderr); bad += 1
sys.exit(1 if bad else 0)
PY
}

if [[ ${1:-} == --check ]]; then
  shift
  lists=()
  if [[ $# -eq 0 ]]; then lists=("$root"/scripts/faults/*.txt); else for l in "$@"; do lists+=("$root/scripts/faults/$l.txt"); done; fi
  status=0
  for list in "${lists[@]}"; do check "$list" || status=1; done
  [[ $status -eq 0 ]] && echo "fault-sweep: every entry of ${#lists[@]} lists applies"
  exit $status
fi
build=${FLASHWREN_BUILD_DIR:-$root/build}
label=${1:?usage: fault-sweep.sh <label> [faults-file] [line...]}
faults=${2:-$root/scripts/faults/$label.txt}
shift $(( $# >= 2 ? 2 : 1 ))
only=" $* "
target=test_$label
jobs=${FAULT_SWEEP_JOBS:-4}
results=${FAULT_SWEEP_RESULTS:-$build/fault-sweep-$label.txt}
[[ -f $faults ]] || { echo "no faults file $faults" >&2; exit 2; }
# shellcheck disable=SC2086
check "$faults" $only || { echo "fault-sweep: entries above do not apply to the code; mend them first" >&2; exit 1; }

backup=$(mktemp -d)
edited=""
restore() {
  if [[ -n $edited ]]; then
    cp -p "$backup/original" "$root/$edited"
    # A new modification time makes the build see the file again.
    touch "$root/$edited"
    edited=""
  fi
}
trap 'restore; rm -rf "$backup"' EXIT
trap 'exit 130' INT TERM

runner=()
command -v xvfb-run >/dev/null 2>&1 && runner=(xvfb-run -a)

apply() {  # file old new -> 0 applied, 1 not found exactly once
  python3 - "$@" <<'PY'
import sys
path, old, new = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path, encoding="utf-8").read()
if text.count(old) != 1:
    print(f"old text occurs {text.count(old)} times in {path}", file=sys.stderr)
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
PY
}

failed_tests() {  # ctest output -> the names of the tests that failed, one a line
  # ctest lists skipped tests in the same shape; a skip notices no fault.
  sed -n '/(Skipped)$/d; /(Disabled)$/d; s/^[[:space:]]*[0-9][0-9]* - \(.*\) ([^()]*)$/\1/p' "$1" | sort -u
}

run_tests() {  # log -> ctest's status
  (cd "$build" && "${runner[@]}" ctest -L "^$label\$" --timeout 300 -j2 >"$1" 2>&1)
}

mkdir -p "$(dirname "$results")"
: > "$results"
if ! FLASHWREN_BUILD_DIR=$build "$root/scripts/build.sh" --target "$target" -j"$jobs" >"$backup/build.log" 2>&1; then
  tail -5 "$backup/build.log" >&2
  echo "fault-sweep: $target does not build from the unchanged code" | tee -a "$results" >&2
  exit 1
fi
if run_tests "$backup/baseline.log"; then
  : > "$backup/baseline-failed"
else
  failed_tests "$backup/baseline.log" > "$backup/baseline-failed"
  # A run that failed without naming a test (no tests, a crash of ctest)
  # leaves nothing to compare against.
  if [[ ! -s $backup/baseline-failed ]]; then
    tail -5 "$backup/baseline.log" >&2
    echo "fault-sweep: BASELINE NOT GREEN: the $label tests fail on the unchanged code" | tee -a "$results" >&2
    exit 1
  fi
  echo "fault-sweep: BASELINE NOT GREEN: on the unchanged code these $label tests fail:" | tee -a "$results" >&2
  sed 's/^/  /' "$backup/baseline-failed" | tee -a "$results" >&2
  if [[ ${FAULT_SWEEP_RED_BASELINE:-0} != 1 ]]; then
    echo "fault-sweep: mend them first, or set FAULT_SWEEP_RED_BASELINE=1 to sweep without them" | tee -a "$results" >&2
    exit 1
  fi
  echo "fault-sweep: going on; those tests count for no fault" | tee -a "$results" >&2
fi

caught=0 survived=0 broken=0 n=0
while IFS= read -r line || [[ -n $line ]]; do
  n=$((n + 1))
  [[ -z ${line//[[:space:]]/} || $line == \#* ]] && continue
  [[ $only == "  " || $only == *" $n "* ]] || continue
  file=${line%%@@*}; rest=${line#*@@}
  old=${rest%%@@*}; new=${rest#*@@}
  if [[ $rest == "$line" || $new == "$rest" ]]; then
    echo "line $n: not path@@old@@new" >&2; broken=$((broken + 1)); continue
  fi
  cp -p "$root/$file" "$backup/original" || { broken=$((broken + 1)); continue; }
  edited=$file
  if ! apply "$root/$file" "$old" "$new"; then
    restore; echo "line $n: BROKEN (text not found) $file" | tee -a "$results"
    broken=$((broken + 1)); continue
  fi
  if ! FLASHWREN_BUILD_DIR=$build "$root/scripts/build.sh" --target "$target" -j"$jobs" >"$backup/build.log" 2>&1; then
    restore; echo "line $n: BROKEN (does not build) $file: $old" | tee -a "$results"
    tail -5 "$backup/build.log" >&2
    broken=$((broken + 1)); continue
  fi
  if run_tests "$backup/test.log"; then
    catchers=""
  else
    failed_tests "$backup/test.log" > "$backup/failed"
    catchers=$(comm -23 "$backup/failed" "$backup/baseline-failed")
    # Failed, but named no test: counted as caught, and said so.
    [[ -s $backup/failed ]] || catchers="(the run; no test named)"
  fi
  if [[ -z $catchers ]]; then
    verdict=SURVIVED; survived=$((survived + 1))
  else
    caught=$((caught + 1))
    verdict="caught by $(head -3 <<<"$catchers" | paste -sd, -)"
  fi
  restore
  echo "line $n: $verdict | $file: $old => $new" | tee -a "$results"
done < "$faults"

# Leave the test program built from the untouched tree.
FLASHWREN_BUILD_DIR=$build "$root/scripts/build.sh" --target "$target" -j"$jobs" >/dev/null 2>&1
total=$((caught + survived))
echo "$label: caught $caught of $total${broken:+ ($broken broken)}" | tee -a "$results"
if [[ -s $backup/baseline-failed ]]; then
  echo "fault-sweep: the baseline was not green; $(wc -l <"$backup/baseline-failed") tests counted for no fault" | tee -a "$results" >&2
  exit 1
fi
[[ $broken -eq 0 ]]
