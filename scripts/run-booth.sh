#!/usr/bin/env bash
# Installs what the booth needs, builds it and starts it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" --target flashwren
exec "${FLASHWREN_BUILD_DIR:-$root/build}/app/flashwren" "$@"
