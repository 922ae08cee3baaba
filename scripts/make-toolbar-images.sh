#!/usr/bin/env bash
# Draws the preferences window's toolbar images (one a pane) with ImageMagick:
# dark line drawings on a transparent 64 x 64 square. The results are
# committed under resources/Images; run this again only to change them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$root/resources/Images"
mkdir -p "$out"
ink='#333333'

draw() {  # name, then ImageMagick drawing options
  local name=$1
  shift
  convert -size 64x64 xc:none -stroke "$ink" -strokewidth 4 -fill none \
    "$@" -define png:exclude-chunks=date,time "$out/$name.png"
}

# General: a house.
draw appbar.home \
  -draw "stroke-linecap round line 6,31 32,8 line 32,8 58,31" \
  -draw "stroke-linecap round line 14,25 14,56 line 14,56 50,56 line 50,56 50,25" \
  -fill "$ink" -draw "rectangle 27,39 37,56"

# Shooting: a camera.
draw appbar.camera_prefe \
  -draw "roundrectangle 5,18 59,54 6,6" \
  -draw "stroke-linecap round line 21,18 25,10 line 25,10 39,10 line 39,10 43,18" \
  -draw "circle 32,36 32,46" \
  -fill "$ink" -stroke none -draw "circle 50,25 50,28"

# Print: a printer with a sheet coming out.
draw appbar.printer.blank-dark \
  -draw "rectangle 18,6 46,22" \
  -draw "roundrectangle 5,22 59,46 4,4" \
  -draw "rectangle 18,38 46,58" \
  -fill "$ink" -stroke none -draw "circle 51,30 51,32"

# Display: a monitor on its stand.
draw appbar.monitor \
  -draw "roundrectangle 5,8 59,44 3,3" \
  -draw "line 32,44 32,54" \
  -draw "line 20,56 44,56"

# Sharing: three joined dots.
draw appbar.social.sharethis \
  -draw "line 46,14 18,32" -draw "line 18,32 46,50" \
  -fill "$ink" -stroke none \
  -draw "circle 46,14 46,22" -draw "circle 18,32 18,40" -draw "circle 46,50 46,58"

# Sounds: a loudspeaker and its waves.
draw appbar.speakerphone \
  -fill "$ink" -draw "polygon 6,24 16,24 30,10 30,54 16,40 6,40" \
  -fill none -draw "ellipse 32,32 10,12 -50,50" -draw "ellipse 32,32 20,22 -50,50"
