#!/usr/bin/env bash
# Draws Orrery's pictures with ImageMagick: the About picture (132 x 100, 24-bit) and the
# program icon. The PNGs are committed; run this again only to change them.
set -euo pipefail
cd "$(dirname "$0")"

brass='#d4a94c'
# A small orrery at night: the sun on its brass rod, three orbits, three planets.
convert -size 132x100 gradient:'#0a1533'-'#27407a' \
  -fill '#ffffff' -draw 'point 8,9' -draw 'point 25,20' -draw 'point 118,12' \
  -draw 'point 104,84' -draw 'point 14,78' -draw 'point 123,55' -draw 'point 40,6' \
  -draw 'point 95,6' -fill '#9fb4e0' -draw 'point 70,10' -draw 'point 6,44' -draw 'point 127,90' \
  -stroke "$brass" -strokewidth 2 -draw 'line 62,56 62,90' \
  -fill "$brass" -strokewidth 1 -draw 'roundrectangle 44,89 80,95 2,2' \
  -fill none -stroke "$brass" -strokewidth 1 \
  -draw 'ellipse 62,46 19,7 0,360' -draw 'ellipse 62,46 36,14 0,360' -draw 'ellipse 62,46 56,22 0,360' \
  -stroke '#ff9a1f' -fill '#ffd23f' -draw 'circle 62,46 62,37' \
  -stroke none -fill '#fff3a8' -draw 'circle 59,43 59,40' \
  -fill '#b9c7d9' -draw 'circle 81,46 81,44' \
  -fill '#3f8cff' -draw 'circle 35,55 35,51' -fill '#dddddd' -draw 'circle 29,51 29,50' \
  -fill '#e3702f' -draw 'circle 90,27 90,22' -fill '#f4a66f' -draw 'circle 89,25 89,24' \
  -type TrueColor PNG24:about.png

# The icon: the same orrery, framed square.
icon() {
  local s=$1
  local c=$((s / 2))
  convert -size "${s}x${s}" xc:none \
    -fill '#17285a' -stroke "$brass" -strokewidth $((s / 32 + 1)) \
    -draw "roundrectangle 1,1 $((s - 2)),$((s - 2)) $((s / 6)),$((s / 6))" \
    -fill none -strokewidth $((s / 64 + 1)) \
    -draw "ellipse $c,$c $((s * 20 / 64)),$((s * 8 / 64)) 0,360" \
    -draw "ellipse $c,$c $((s * 28 / 64)),$((s * 12 / 64)) 0,360" \
    -stroke '#ff9a1f' -fill '#ffd23f' -draw "circle $c,$c $c,$((c - s * 7 / 64))" \
    -stroke none -fill '#3f8cff' -draw "circle $((c - s * 19 / 64)),$((c + s * 4 / 64)) $((c - s * 19 / 64)),$((c + s * 8 / 64))" \
    -fill '#e3702f' -draw "circle $((c + s * 22 / 64)),$((c - s * 8 / 64)) $((c + s * 22 / 64)),$((c - s * 3 / 64))" \
    "PNG32:orrery-$s.png"
}
icon 64
icon 128
