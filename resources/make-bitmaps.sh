#!/usr/bin/env bash
# Makes the pictures of the setup window, each at 100 %, 150 % and 200 % of
# its size at 96 DPI (art/NAME-SCALE.png, packed by pack-art.py):
#   product    121x121  picture of the product (gauge on a teal tile)
#   button     5x162    green button skin: normal, hot, pressed rows of 54 px,
#                       each a 2 px left cap, a 1 px middle column that is
#                       stretched, a 2 px right cap
#   logo-trust 106x44   "verified / safe download" badge
#   logo-compat 148x31  "compatible / 32-bit & 64-bit" badge
# A scaled size is the 96-DPI size times the scale, halves rounded up, as
# the window's layout rounds. All drawings are our own; the text uses Roboto
# Condensed from fonts-roboto-unhinted. The 100 % pictures are the window's
# pictures of before, pixel for pixel (they were 24-bit and 8-bit BMP3
# files). Also writes art/sizes.txt, the bytes of every picture stored as a
# bitmap, as QOI and as PNG. Outputs are committed; run this again after
# changing a drawing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fontdir=/usr/share/fonts/truetype/roboto/unhinted
font_bold=$fontdir/RobotoCondensed-Bold.ttf
font_medium=$fontdir/RobotoCondensed-Medium.ttf
for f in "$font_bold" "$font_medium"; do
  [ -f "$f" ] || { echo "missing $f (apt-get install fonts-roboto-unhinted)" >&2; exit 1; }
done

teal_dark='#0E7C86'
teal_light='#14A3A8'
ink='#1F2D33'      # badge headline text
ink_soft='#5A6A70' # badge second line

art=$here/art
mkdir -p "$art"
scales='100 150 200'
# A length at SCALE percent: halves rounded up.
at() { echo $(( ($1 * $2 + 50) / 100 )); }
# The same for a decimal (a point size, an offset).
atf() { awk -v v="$1" -v s="$2" 'BEGIN { printf "%g", v * s / 100 }'; }

# 24-bit output: no alpha, no palette.
save24() {
  convert "$1" -background white -alpha remove -alpha off -type TrueColor -depth 8 -compress None "BMP3:$work/out.bmp"
  /usr/bin/python3 "$here/pack-art.py" png "$2" "$work/out.bmp"
}
# 8-bit output: 256-colour palette.
save8() {
  convert "$1" -background white -alpha remove -alpha off -depth 8 -dither None -colors 256 -type Palette -compress None "BMP3:$work/out.bmp"
  /usr/bin/python3 "$here/pack-art.py" png "$2" "$work/out.bmp"
}

# ---------------------------------------------------------------- product
# Drawn at 4x (484 px) and scaled down. Teal tile like the program icon, with
# a white gauge (arcs are drawn as filled rings: ImageMagick closes stroked
# arcs with a chord) whose needle points well into the "fast" end and a small
# sparkle in the top right corner.
convert -size 484x484 xc:white \
  -fill "$teal_dark"  -draw 'roundrectangle 22,22 461,461 92,92' \
  -fill "$teal_light" -draw 'roundrectangle 22,22 461,250 92,92' \
  -fill "$teal_light" -draw 'rectangle 22,150 461,250' \
  -fill "$teal_dark"  -draw 'rectangle 22,250 461,254' \
  -fill white     -draw 'path "M 77,300 A 165,165 0 0,1 407,300 L 377,300 A 135,135 0 0,0 107,300 Z"' \
  -fill white     -draw 'circle 92,300 92,315' \
  -fill '#8FE07F' -draw 'path "M 324.5,157.1 A 165,165 0 0,1 407,300 L 377,300 A 135,135 0 0,0 309.5,183.1 Z"' \
  -fill '#8FE07F' -draw 'circle 392,300 392,315' \
  -stroke white -strokewidth 10 \
    -draw 'line 242,110 242,140' \
    -draw 'line 107,165 128,186' \
    -draw 'line 377,165 356,186' \
  -stroke none -fill white \
    -draw 'polygon 231,289 253,311 334,208' \
    -draw 'circle 242,300 242,332' \
  -fill "$teal_dark" -draw 'circle 242,300 242,314' \
  -fill white -draw 'roundrectangle 152,370 332,398 14,14' \
  -fill white -draw 'polygon 398,62 408,94 440,104 408,114 398,146 388,114 356,104 388,94' \
  -fill white -draw 'polygon 70,380 75,396 91,401 75,406 70,422 65,406 49,401 65,396' \
  "$work/product-big.png"
for scale in $scales; do
  size=$(at 121 "$scale")
  convert "$work/product-big.png" -filter Lanczos -resize "${size}x${size}!" "$work/product.png"
  # The larger pictures in 256 colours: half the bytes, and no eye tells
  # them apart (PSNR above 55 dB). The 100 % picture keeps every colour.
  if [ "$scale" = 100 ]; then save24 "$work/product.png" "$art/product-$scale.png"
  else save8 "$work/product.png" "$art/product-$scale.png"; fi
done

# ----------------------------------------------------------------- button
# Each 54 px row: 2 px left cap, 1 px middle column (x=2) that is stretched,
# 2 px right cap. The outline is a slightly darker green, the corners are
# blended toward the white window so the stretched button looks rounded, and
# the row under the top edge gets a faint highlight.
button_row() { # top bottom edge outfile
  local top=$1 bottom=$2 edge=$3 out=$4
  convert -size 5x54 "gradient:$top-$bottom" \
    -fill "rgba(255,255,255,0.18)" -draw 'line 1,1 3,1' \
    -fill "$edge" -draw 'line 0,1 0,52' -draw 'line 4,1 4,52' \
                  -draw 'line 1,0 3,0'  -draw 'line 1,53 3,53' \
    -fill "$edge" -draw 'point 0,0' -draw 'point 4,0' -draw 'point 0,53' -draw 'point 4,53' \
    -fill "rgba(255,255,255,0.75)" \
      -draw 'point 0,0' -draw 'point 4,0' -draw 'point 0,53' -draw 'point 4,53' \
    -fill "rgba(255,255,255,0.25)" \
      -draw 'point 1,0' -draw 'point 3,0' -draw 'point 0,1' -draw 'point 4,1' \
      -draw 'point 1,53' -draw 'point 3,53' -draw 'point 0,52' -draw 'point 4,52' \
    "$out"
}
# The larger rows: the same shading and outline, drawn four times larger
# still as a rounded rectangle and scaled down, caps of 2 px times the scale.
button_row_scaled() { # top bottom edge scale outfile
  local top=$1 bottom=$2 edge=$3 scale=$4 out=$5
  local cap=$(at 2 "$scale") height=$(at 54 "$scale")
  local w=$(( (2 * cap + 1) * 4 )) h=$(( height * 4 )) line=$(( scale * 4 / 100 ))
  convert -size "${w}x${h}" "gradient:$top-$bottom" \
    \( -size "${w}x${h}" xc:black -fill white -draw "roundrectangle 0,0 $((w - 1)),$((h - 1)) $((cap * 3)),$((cap * 3))" \) \
    -alpha off -compose CopyOpacity -composite -compose Over \
    -fill none -stroke "$edge" -strokewidth "$line" \
    -draw "roundrectangle $((line / 2)),$((line / 2)) $((w - 1 - line / 2)),$((h - 1 - line / 2)) $((cap * 3)),$((cap * 3))" \
    -stroke "rgba(255,255,255,0.18)" -draw "line $line,$((line * 3 / 2)) $((w - 1 - line)),$((line * 3 / 2))" \
    -background white -flatten -filter Box -resize "$((2 * cap + 1))x${height}!" "$out"
}
for scale in $scales; do
  if [ "$scale" = 100 ]; then
    button_row '#5FCB4B' '#2E8B22' '#287A1D' "$work/btn-normal.png"
    button_row '#74DA5F' '#3AA02C' '#2F8A23' "$work/btn-hot.png"
    button_row '#2E8B22' '#5FCB4B' '#236E19' "$work/btn-pressed.png"
  else
    button_row_scaled '#5FCB4B' '#2E8B22' '#287A1D' "$scale" "$work/btn-normal.png"
    button_row_scaled '#74DA5F' '#3AA02C' '#2F8A23' "$scale" "$work/btn-hot.png"
    button_row_scaled '#2E8B22' '#5FCB4B' '#236E19' "$scale" "$work/btn-pressed.png"
  fi
  convert "$work/btn-normal.png" "$work/btn-hot.png" "$work/btn-pressed.png" -append "$work/button.png"
  save24 "$work/button.png" "$art/button-$scale.png"
done

# ------------------------------------------------------------- logo-trust
# Shield with a check mark, drawn at 4x, then two lines of text at 1x so the
# small type stays crisp.
convert -size 136x168 xc:none \
  -fill "$teal_dark" -draw 'path "M 68,4 L 128,26 L 128,78 C 128,120 102,148 68,164 C 34,148 8,120 8,78 L 8,26 Z"' \
  -fill "$teal_light" -draw 'path "M 68,18 L 116,36 L 116,78 C 116,112 96,134 68,148 Z"' \
  -fill none -stroke white -strokewidth 20 \
    -draw 'stroke-linecap round stroke-linejoin round polyline 40,84 60,106 98,60' \
  "$work/shield-big.png"
for scale in $scales; do
  convert "$work/shield-big.png" -filter Lanczos -resize "$(at 31 "$scale")x$(at 38 "$scale")!" "$work/shield.png"
  convert -size "$(at 106 "$scale")x$(at 44 "$scale")" xc:white \
    "$work/shield.png" -geometry "+$(at 1 "$scale")+$(at 3 "$scale")" -composite \
    -font "$font_bold"   -pointsize "$(atf 17 "$scale")"  -fill "$ink"      -annotate "+$(atf 37 "$scale")+$(atf 21 "$scale")" 'VERIFIED' \
    -font "$font_medium" -pointsize "$(atf 9.5 "$scale")" -fill "$ink_soft" -annotate "+$(atf 37 "$scale")+$(atf 35 "$scale")" 'SAFE DOWNLOAD' \
    "$work/logo-trust.png"
  save8 "$work/logo-trust.png" "$art/logo-trust-$scale.png"
done

# ------------------------------------------------------------ logo-compat
# A monitor with a window on screen and a green check, then two text lines.
convert -size 128x116 xc:none \
  -fill "$teal_dark" -draw 'roundrectangle 4,4 123,84 10,10' \
  -fill white -draw 'rectangle 14,14 113,74' \
  -fill "$teal_light" -draw 'rectangle 26,24 101,64' \
  -fill white -draw 'rectangle 30,34 97,60' \
  -fill "$teal_dark" -draw 'polygon 52,84 76,84 82,102 46,102' \
  -fill "$teal_dark" -draw 'roundrectangle 30,100 98,110 5,5' \
  -fill none -stroke '#2E8B22' -strokewidth 10 \
    -draw 'stroke-linecap round stroke-linejoin round polyline 48,47 60,56 80,38' \
  "$work/monitor-big.png"
for scale in $scales; do
  convert "$work/monitor-big.png" -filter Lanczos -resize "$(at 32 "$scale")x$(at 29 "$scale")!" "$work/monitor.png"
  convert -size "$(at 148 "$scale")x$(at 31 "$scale")" xc:white \
    "$work/monitor.png" -geometry "+$(at 1 "$scale")+$(at 1 "$scale")" -composite \
    -font "$font_bold"   -pointsize "$(atf 14 "$scale")" -fill "$ink"      -annotate "+$(atf 39 "$scale")+$(atf 14 "$scale")" 'COMPATIBLE' \
    -font "$font_medium" -pointsize "$(atf 11 "$scale")" -fill "$ink_soft" -annotate "+$(atf 39 "$scale")+$(atf 27 "$scale")" '32-bit & 64-bit' \
    "$work/logo-compat.png"
  save8 "$work/logo-compat.png" "$art/logo-compat-$scale.png"
done

/usr/bin/python3 "$here/pack-art.py" measure "$art/sizes.txt" "$art"/*.png
cat "$art/sizes.txt"
