#!/usr/bin/env bash
# Configures and builds into build/ (or $FLASHWREN_BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASHWREN_BUILD_DIR:-$root/build}
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE:-RelWithDebInfo} >/dev/null
# Qt's moc step does not notice a header that gained Q_OBJECT after a pull;
# making it look again is cheap (it only regenerates what changed).
find "$build" -path '*_autogen/timestamp' -delete 2>/dev/null || true
cmake --build "$build" --parallel "$(nproc)" "$@"
