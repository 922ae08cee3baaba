#!/usr/bin/env bash
# Makes the shipped voice prompts (resources/Sounds/defaults) with a speech
# synthesiser. Run by hand when a prompt's words change; the files are kept in
# the repository so that builds need neither tool.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
for p in espeak-ng lame; do
  command -v $p >/dev/null || { $SUDO apt-get update -qq; $SUDO apt-get install -y -qq $p; }
done
out="$root/resources/Sounds/defaults"
mkdir -p "$out"
say() {
  espeak-ng -v en-us -s 150 -w "$out/$1.wav" "$2"
  lame --quiet -m m -b 48 "$out/$1.wav" "$out/$1.mp3"
  rm -f "$out/$1.wav"
}
say get-ready "Get ready!"
say smile "Smile!"
say say-cheese "Say cheese!"
say last-one "Last one!"
say looking-good "Looking good! Your photos are on their way."
say share-your-photos "Share your photos!"
say thank-you "Thank you!"
