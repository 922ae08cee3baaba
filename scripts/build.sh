#!/usr/bin/env bash
# Configures and builds into build/ (or $FLASHWREN_BUILD_DIR), with
# $FLASHWREN_JOBS compile jobs at once (default: every core).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASHWREN_BUILD_DIR:-$root/build}
launcher=()
# A compiler cache, where the machine has one, makes rebuilds in other work
# trees of the same project cheap; paths below the root are hashed relative.
if command -v ccache >/dev/null 2>&1; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1
  # The precompiled headers (cmake/Flashwren.cmake) are cached only so.
  export CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
fi
# Line tables and function names are all a crash report or a back trace
# needs; full debug information makes every compile a fifth slower.
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} \
  -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
  "${launcher[@]}" >/dev/null
# Qt's moc step does not notice a header that gained Q_OBJECT after a pull;
# making it look again is cheap (it only regenerates what changed).
find "$build" -path '*_autogen/timestamp' -delete 2>/dev/null || true
cmake --build "$build" --parallel "${FLASHWREN_JOBS:-$(nproc)}" "$@"
