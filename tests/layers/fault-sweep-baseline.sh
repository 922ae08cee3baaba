#!/usr/bin/env bash
# The fault sweep on a made-up label whose tests are two shell commands: one
# that watches a file the faults change, one that fails whatever the code.
# Usage: fault-sweep-baseline.sh <source root>
set -uo pipefail
source_root=${1:?source root}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/root/scripts" "$work/root/src" "$work/build"
cp "$source_root/scripts/fault-sweep.sh" "$work/root/scripts/"
printf '#!/bin/sh\nexit 0\n' > "$work/root/scripts/build.sh"
chmod +x "$work/root/scripts/build.sh"
echo good > "$work/root/src/watched.txt"
echo plain > "$work/root/src/other.txt"
printf 'src/watched.txt@@good@@bad\nsrc/other.txt@@plain@@changed\n' > "$work/faults.txt"
cat > "$work/build/CTestTestfile.cmake" <<CTEST
add_test(watch "/bin/sh" "-c" "grep -q good '$work/root/src/watched.txt'")
set_tests_properties(watch PROPERTIES LABELS "demo")
add_test(alwaysred "/bin/false")
set_tests_properties(alwaysred PROPERTIES LABELS "demo")
CTEST
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# A red baseline stops the sweep before any fault, naming the failing test.
out=$(FLASHWREN_BUILD_DIR=$work/build bash "$work/root/scripts/fault-sweep.sh" demo "$work/faults.txt" 2>&1)
status=$?
[[ $status -ne 0 ]] || fail "a red baseline let the sweep succeed"
grep -q "BASELINE NOT GREEN" <<<"$out" || fail "no word of the baseline"
grep -q "alwaysred" <<<"$out" || fail "the failing test is not named"
grep -q "caught" <<<"$out" && fail "faults were counted over a red baseline"
[[ $(cat "$work/root/src/watched.txt") == good ]] || fail "a file was left changed"

# Told to go on: only the test that passed in the baseline catches a fault.
out=$(FAULT_SWEEP_RED_BASELINE=1 FLASHWREN_BUILD_DIR=$work/build bash "$work/root/scripts/fault-sweep.sh" demo "$work/faults.txt" 2>&1)
status=$?
[[ $status -ne 0 ]] || fail "a sweep over a red baseline ended in success"
grep -q "^line 1: caught by watch |" <<<"$out" || fail "the watched fault is not caught by watch alone"
grep -q "^line 2: SURVIVED |" <<<"$out" || fail "the test red in the baseline caught a fault"
grep -q "demo: caught 1 of 2" <<<"$out" || fail "wrong count"

# A green baseline sweeps as before; a test that skips catches nothing.
printf 'add_test(watch "/bin/sh" "-c" "grep -q good %s")\nset_tests_properties(watch PROPERTIES LABELS "demo")\n' \
  "'$work/root/src/watched.txt'" > "$work/build/CTestTestfile.cmake"
printf 'add_test(skipper "/bin/sh" "-c" "exit 77")\nset_tests_properties(skipper PROPERTIES LABELS "demo" SKIP_RETURN_CODE 77)\n' \
  >> "$work/build/CTestTestfile.cmake"
out=$(FLASHWREN_BUILD_DIR=$work/build bash "$work/root/scripts/fault-sweep.sh" demo "$work/faults.txt" 2>&1)
status=$?
[[ $status -eq 0 ]] || fail "a green sweep failed"
grep -q "^line 1: caught by watch |" <<<"$out" || fail "a skipped test counted as catching the fault"
grep -q "demo: caught 1 of 2" <<<"$out" || fail "wrong count on a green baseline"

[[ $failures -eq 0 ]] || { echo "$out"; exit 1; }
echo "fault sweep baseline: ok"
