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
targets=()
for name in "${names[@]}"; do targets+=(--target "fuzz_$name"); done
find "$build" -path '*_autogen/timestamp' -delete 2>/dev/null || true
cmake --build "$build" --parallel "${FLASHWREN_JOBS:-$(nproc)}" "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:allocator_may_return_null=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
failed=()
for name in "${names[@]}"; do
  work="$build/corpus/$name"
  artifacts="$build/artifacts/$name"
  mkdir -p "$work" "$artifacts"
  seeds=()
  [[ -d "$root/tests/fuzz/corpus/$name" ]] && seeds+=("$root/tests/fuzz/corpus/$name")
  echo "== fuzz_$name: ${seconds}s"
  # -timeout: an input that takes more than 10 s is a hang; -rss_limit_mb: a
  # reader that allocates without bound is a fault too.
  if ! "$build/tests/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -max_len=65536 -print_final_stats=1 -artifact_prefix="$artifacts/" "$work" "${seeds[@]}" \
       >"$build/fuzz_$name.log" 2>&1; then
    failed+=("$name")
    tail -n 60 "$build/fuzz_$name.log"
  else
    grep -E "^stat::number_of_executed_units|^Done" "$build/fuzz_$name.log" || true
  fi
done
if [[ ${#failed[@]} -gt 0 ]]; then
  echo "fuzz.sh: faults found by: ${failed[*]} (inputs in $build/artifacts/)" >&2
  exit 1
fi
echo "fuzz.sh: no faults in ${#names[@]} targets"
