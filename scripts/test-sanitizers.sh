#!/usr/bin/env bash
# Builds the project with sanitizers in a build folder of its own and runs the
# tests there.
#
#   scripts/test-sanitizers.sh [address|thread] [ctest arguments...]
#
#   address (the default)  AddressSanitizer and UndefinedBehaviorSanitizer
#                          (float-to-integer overflow included),
#                          in build-asan/ (or $FLASHWREN_SANITIZER_BUILD_DIR)
#   thread                 ThreadSanitizer, in build-tsan/
#
# Further arguments go to ctest, e.g. `scripts/test-sanitizers.sh -L greenscreen`.
# $FLASHWREN_SANITIZER_TARGETS limits the build to those targets (CI builds
# only "test_base test_trellis test_tally test_blackbox"); otherwise every
# target is built; $FLASHWREN_JOBS sets the parallelism (default: every core).
# Any sanitizer report fails the test that caused it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=address
if [[ "${1:-}" == address || "${1:-}" == thread ]]; then
  mode=$1
  shift
fi
case $mode in
  address)
    # gcc leaves float-to-integer conversions that overflow out of
    # "undefined"; they are named on their own.
    flags="-fsanitize=address,undefined,float-cast-overflow -fno-sanitize-recover=undefined,float-cast-overflow -fno-omit-frame-pointer"
    build=${FLASHWREN_SANITIZER_BUILD_DIR:-$root/build-asan} ;;
  thread)
    flags="-fsanitize=thread"
    build=${FLASHWREN_SANITIZER_BUILD_DIR:-$root/build-tsan} ;;
esac

launcher=()
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  # The precompiled headers (cmake/Flashwren.cmake) are cached only so.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
# Optimised a little, so the suite runs in reasonable time, with the frame
# pointers and line tables the reports need.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DFLASHWREN_BENCH=OFF \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
  "${launcher[@]}" >/dev/null
targets=()
for t in ${FLASHWREN_SANITIZER_TARGETS:-}; do targets+=(--target "$t"); done
find "$build" -path '*_autogen/timestamp' -delete 2>/dev/null || true
cmake --build "$build" --parallel "${FLASHWREN_JOBS:-$(nproc)}" "${targets[@]}"

# halt_on_error: the first report ends the test program, so ctest sees it.
export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:detect_stack_use_after_return=1:strict_string_checks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$root/scripts/tsan-suppressions.txt}
cd "$build"
xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --output-on-failure --parallel "${FLASHWREN_JOBS:-$(nproc)}" --timeout 600 "$@"
