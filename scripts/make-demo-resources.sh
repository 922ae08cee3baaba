#!/usr/bin/env bash
# Draws the demo camera's photos (a figure before a green backdrop) and the
# shipped templates' images with ImageMagick. The results are committed under
# resources/; run this again only to change them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
demo="$root/resources/DemoCamera"
templates="$root/resources/Templates"
mkdir -p "$demo"

# One pose per photo: arm ends (left hand x,y; right hand x,y) and a prop colour.
poses=(
  "430,330 850,330 #d9483b"
  "470,700 810,700 #3b6fd9"
  "420,300 800,690 #e0b32c"
  "480,690 860,310 #8e44ad"
)
i=1
for pose in "${poses[@]}"; do
  read -r left right prop <<<"$pose"
  convert -size 1280x960 gradient:'#2fbf4f'-'#1f9a3a' \
    -fill '#1b8a33' -draw "rectangle 0,880 1280,960" \
    -fill '#00000033' -draw "ellipse 640,900 210,30 0,360" \
    -stroke '#f1c27d' -strokewidth 46 -draw "line 560,520 ${left}" -draw "line 720,520 ${right}" \
    -stroke none -fill '#f1c27d' -draw "circle ${left} ${left%%,*},$(( ${left##*,} + 30 ))" \
    -draw "circle ${right} ${right%%,*},$(( ${right##*,} + 30 ))" \
    -fill "$prop" -draw "roundrectangle 520,470 760,800 40,40" \
    -fill '#2c3e50' -draw "rectangle 540,790 620,900" -draw "rectangle 660,790 740,900" \
    -fill '#f1c27d' -draw "circle 640,360 640,455" \
    -fill '#4a2c17' -draw "ellipse 640,300 100,60 180,360" \
    -fill '#1d1d1d' -draw "circle 605,365 605,377" -draw "circle 675,365 675,377" \
    -stroke '#8a3b2b' -strokewidth 7 -fill none -draw "arc 595,385 685,425 20,160" \
    -stroke none -fill '#ffffffcc' -font DejaVu-Sans-Bold -pointsize 30 \
    -annotate +40+60 "Flashwren demo camera  ${i}/${#poses[@]}" \
    -quality 90 "$demo/demo-$i.jpg"
  i=$((i + 1))
done

# Classic Strip: four photos down a 2x6 inch strip with a footer.
strip="$templates/Classic Strip"
mkdir -p "$strip"
convert -size 600x90 xc:none -fill '#222222' -font DejaVu-Sans-Bold -pointsize 34 \
  -gravity center -annotate +0+0 'Flashwren' "$strip/footer.png"
convert -size 600x1800 xc:white -fill '#c8c8c8' \
  -draw "rectangle 30,30 570,435" -draw "rectangle 30,455 570,860" \
  -draw "rectangle 30,880 570,1285" -draw "rectangle 30,1305 570,1710" \
  "$strip/footer.png" -geometry +0+1710 -composite -resize 200x "$strip/preview.png"

# Postcard: one large photo, a title and a place for the QR code.
card="$templates/Postcard"
mkdir -p "$card"
convert -size 360x300 xc:none -fill '#222222' -font DejaVu-Sans-Bold -pointsize 44 \
  -gravity north -annotate +0+20 'Flashwren' -font DejaVu-Sans -pointsize 26 \
  -annotate +0+100 'Scan for your photo' "$card/title.png"
convert -size 1800x1200 xc:'#f4efe6' -fill '#c8c8c8' -draw "rectangle 60,60 1380,1140" \
  "$card/title.png" -geometry +1410+60 -composite \
  -fill '#e0e0e0' -draw "rectangle 1440,780 1740,1080" -resize 300x "$card/preview.png"
