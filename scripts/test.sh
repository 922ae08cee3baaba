#!/usr/bin/env bash
# Installs what the tests need, builds everything and runs every test.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FLASHWREN_BUILD_DIR:-$root/build}
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh"
cd "$build"
# Window tests that need a real X server run under Xvfb; the rest use Qt's offscreen platform.
xvfb-run -a -s "-screen 0 1280x1024x24" \
  ctest --output-on-failure --parallel "$(nproc)" --timeout 300 "$@"
