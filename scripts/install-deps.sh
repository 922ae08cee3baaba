#!/usr/bin/env bash
# Installs every Debian package the booth, its tests and its benchmarks need.
# Safe to run again: apt skips what is already there.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev qt6-webengine-dev qt6-webchannel-dev
  libqt6svg6-dev qt6-image-formats-plugins libqt6opengl6-dev
  libgl-dev libegl-dev
  libcurl4-openssl-dev libssl-dev zlib1g-dev libminizip-dev
  libsqlite3-dev libspdlog-dev libfmt-dev nlohmann-json3-dev libplist-dev
  libzxing-dev libmicrohttpd-dev
  # The login manager's inhibitor, and a private message bus for its test.
  libsystemd-dev dbus-daemon
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool x11-xkb-utils imagemagick openssl python3 binutils gdb
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  ffmpeg ccache
  # The on-screen keyboard of touch-screen booths and what it loads.
  qt6-virtualkeyboard-plugin qml6-module-qtquick-virtualkeyboard
  qml6-module-qt-labs-folderlistmodel libhunspell-1.7-0 qml6-module-qtqml-workerscript
  qml6-module-qtquick-layouts qml6-module-qtquick-window
  # The fuzz targets (clang with libFuzzer) and the locale sources a test
  # builds a Latin-1 locale from.
  clang libclang-rt-14-dev locales
)

# Load-test tools for bench/gallery-server.sh, installed only on request
# (`install-deps.sh --bench`): CI does not need a web server on the machine.
BENCH_PACKAGES=(wrk nginx-light curl)
if [ "${1:-}" = "--bench" ]; then PACKAGES+=("${BENCH_PACKAGES[@]}"); fi

need=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
# The machine image ships its own Node.js with npm; Debian's would conflict with it.
command -v npm >/dev/null 2>&1 || need+=(nodejs npm)
if [ "${#need[@]}" -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
fi

