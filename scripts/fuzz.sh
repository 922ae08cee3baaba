#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs each one for a fixed time.
#
#   scripts/fuzz.sh [seconds-per-target] [target...]
#
# The default is 300 seconds a target, every target (names as in tests/fuzz,
# without "fuzz_"). Each target starts from its seeds in tests/fuzz/corpus/<name>/
# and keeps what it finds in <build>/corpus/<name>/. A crash, a sanitizer
# report, a leak or a time-out stops that target, leaves the input as
# <build>/artifacts/<name>/crash-*, and makes the script fail at the end.
# The build folder is build-fuzz/ (or $FLASHWREN_FUZZ_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASHWREN_FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-300}
[[ $# -gt 0 ]] && shift
if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ is needed (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  # The precompiled headers (cmake/Flashwren.cmake) are cached only so.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
# Line tables are all a report needs; full debug information only slows the build.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DFLASHWREN_FUZZ=ON -DFLASHWREN_TESTS=OFF -DFLASHWREN_BENCH=OFF "${launcher[@]}" >/dev/null

names=("$@")
if [[ ${#names[@]} -eq 0 ]]; then
  for source in "$root"/tests/fuzz/*.cpp; do names+=("$(basename "$source" .cpp)"); done
fi
targets=(--target kit_threads_check)
for name in "${names[@]}"; do targets+=(--target "fuzz_$name"); done
find "$build" -path '*_autogen/timestamp' -delete 2>/dev/null || true
cmake --build "$build" --parallel "${FLASHWREN_JOBS:-$(nproc)}" "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
# Every thread of a program that links the crash kit must still reach the
# sanitizer, or its reports on the fuzzers' own threads go wrong.
if ! "$build/tests/fuzz/kit_threads_check"; then
  echo "fuzz.sh: the crash kit hides threads from the sanitizer" >&2
  exit 1
fi
# One fuzzer is one process on one core: as many run at once as there are
# cores ($FLASHWREN_FUZZ_JOBS to change it).
jobs=${FLASHWREN_FUZZ_JOBS:-$(nproc)}
run_target() {
  local name=$1 work="$build/corpus/$1" artifacts="$build/artifacts/$1"
  mkdir -p "$work" "$artifacts"
  local seeds=()
  [[ -d "$root/tests/fuzz/corpus/$name" ]] && seeds+=("$root/tests/fuzz/corpus/$name")
  # -timeout: an input that takes more than 10 s is a hang; -rss_limit_mb: a
  # reader that allocates without bound is a fault too.
  "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" \
    >"$build/fuzz_$name.log" 2>&1
}
declare -A running=()
failed=()
reap() {
  local status=0 pid name
  wait -n -p pid "${!running[@]}" || status=$?
  name=${running[$pid]}
  unset "running[$pid]"
  if [[ $status -eq 0 ]]; then
    echo "== fuzz_$name: ${seconds}s, no fault"
    grep -E "^stat::number_of_executed_units|^Done" "$build/fuzz_$name.log" || true
  else
    failed+=("$name")
    echo "== fuzz_$name: FAULT"
    tail -n 60 "$build/fuzz_$name.log"
  fi
}
for name in "${names[@]}"; do
  while [[ ${#running[@]} -ge $jobs ]]; do reap; done
  run_target "$name" &
  running[$!]=$name
done
while [[ ${#running[@]} -gt 0 ]]; do reap; done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz.sh: faults found by: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzz.sh: no faults in ${#names[@]} targets"
