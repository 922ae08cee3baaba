#!/usr/bin/env bash
# Installs every Debian package the booth, its tests and its benchmarks need.
# A second run installs nothing: it asks dpkg-query what is there and calls
# no package manager (nor sudo) when nothing is missing.
#   install-deps.sh [--bench] [--check]
# --bench adds the load-test tools; --check installs nothing, prints what is
# missing one name a line, and fails if anything is.
set -euo pipefail

bench=0 check=0
for arg in "$@"; do
  case "$arg" in
    --bench) bench=1 ;;
    --check) check=1 ;;
    *) echo "install-deps.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done

PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  # The linker: several times faster than binutils' on the test programs.
  lld
  qt6-base-dev qt6-base-dev-tools qt6-multimedia-dev qt6-webengine-dev qt6-webchannel-dev
  qt6-svg-dev qt6-image-formats-plugins libqt6opengl6-dev
  libgl-dev libegl-dev
  # Whether an X display has a window manager.
  libxcb1-dev
  libcurl4-openssl-dev libssl-dev zlib1g-dev libminizip-dev
  libsqlite3-dev libspdlog-dev libfmt-dev nlohmann-json3-dev libplist-dev
  libzxing-dev libmicrohttpd-dev
  # The login manager's inhibitor, and a private message bus for its test.
  libsystemd-dev dbus-daemon
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb xauth xdotool x11-xkb-utils imagemagick openssl python3 binutils gdb
  # Turns a printed PDF page back into pixels, for the tests that read what was printed.
  poppler-utils
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
if [ "$bench" = 1 ]; then PACKAGES+=("${BENCH_PACKAGES[@]}"); fi

# The names of PACKAGES that dpkg does not report installed. Each must be a
# real package's name: one that another package only provides is never
# reported installed, and would send every run to apt-get.
missing() {
  local p
  for p in "${PACKAGES[@]}"; do
    [ "$(dpkg-query -W -f='${db:Status-Status}' "$p" 2>/dev/null)" = installed ] || echo "$p"
  done
  # The machine image ships its own Node.js with npm; Debian's would conflict with it.
  command -v npm >/dev/null 2>&1 || printf '%s\n' nodejs npm
}

mapfile -t need < <(missing)
if [ "$check" = 1 ]; then
  [ "${#need[@]}" -eq 0 ] && exit 0
  printf '%s\n' "${need[@]}"
  exit 1
fi
if [ "${#need[@]}" -gt 0 ]; then
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${need[@]}"
  mapfile -t still < <(missing)
  if [ "${#still[@]}" -gt 0 ]; then
    echo "install-deps.sh: still not installed (not a real package name?): ${still[*]}" >&2
    exit 1
  fi
fi

