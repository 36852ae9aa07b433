#!/usr/bin/env bash
# Draws the header picture (header.bmp, 55 x 60, 24-bit) and the application icon
# (KestrelVault_Setup.ico, 16/32/48) as a product box. The outputs are committed, so the build
# does not need ImageMagick; run this only to change the pictures.
set -euo pipefail
cd "$(dirname "$0")"

# Some machines put a non-ImageMagick "convert" first on PATH; take the first real one.
IM=""
for c in magick convert-im6.q16 convert /usr/bin/convert; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -version 2>/dev/null | grep -q ImageMagick; then
        IM="$c"
        break
    fi
done
if [ -z "$IM" ]; then
    echo "make_images.sh: ImageMagick is needed (apt-get install imagemagick)" >&2
    exit 1
fi

tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT

# The box is drawn on a 240 x 240 canvas (four times a 60-unit design) and scaled down, which
# gives smooth edges at the small sizes. Faces: top light, front brand blue, side darker, with a
# band around the box and a small emblem on the front.
box() {  # $1 = background, $2 = output
    "$IM" -size 240x240 "xc:$1" \
        -stroke '#1B2F4A' -strokewidth 4 \
        -fill '#7FA7D9' -draw 'polygon 24,64 84,20 216,20 156,64' \
        -fill '#2F6DB5' -draw 'polygon 24,64 156,64 156,228 24,228' \
        -fill '#214F86' -draw 'polygon 156,64 216,20 216,184 156,228' \
        -stroke none \
        -fill '#F2C230' -draw 'polygon 24,116 156,116 156,140 24,140' \
        -fill '#C99A1A' -draw 'polygon 156,116 216,72 216,96 156,140' \
        -fill '#FFFFFF' -draw 'polygon 90,160 116,186 90,212 64,186' \
        -fill '#2F6DB5' -draw 'polygon 90,172 104,186 90,200 76,186' \
        "$2"
}

box white "$tmp/box_white.png"
# 240 x 240 scaled to 55 x 60 keeps the box's proportions close enough and fills the band height.
"$IM" "$tmp/box_white.png" -resize '55x60!' -background white -alpha remove -alpha off \
    -type TrueColor BMP3:header.bmp

box none "$tmp/box_clear.png"
for s in 16 32 48; do
    "$IM" "$tmp/box_clear.png" -resize "${s}x${s}" "$tmp/icon_$s.png"
done
"$IM" "$tmp/icon_16.png" "$tmp/icon_32.png" "$tmp/icon_48.png" KestrelVault_Setup.ico
