#!/usr/bin/env bash
# Independent check: ImageMagick writes BMPs of many kinds, bmpvintage tones
# them, and ImageMagick reads each result back; every pixel must be the tone
# of the original's colour (alpha unchanged).
#
#   check.sh BMPVINTAGE COMPARE_TONED WORK_DIR
#
# Exit status 77 (skipped) when ImageMagick's convert is not installed.
set -euo pipefail

bmpvintage=$1
compare=$2
work=$3

if ! command -v convert >/dev/null 2>&1 || ! convert -version 2>/dev/null | grep -q ImageMagick; then
  echo "SKIPPED: ImageMagick's convert is not installed (Debian: apt-get install imagemagick)"
  exit 77
fi

rm -rf "$work"
mkdir -p "$work"
cd "$work"

# A picture with many colours, and a gradient whose alpha varies.
convert -size 37x23 -seed 7 plasma: src.png
convert src.png \( -size 37x23 gradient:gray90-gray20 \) -alpha off -compose copy_opacity \
  -composite alpha.png

u16() { od -An -tu2 -j "$2" -N2 "$1" | tr -d ' '; }
u32() { od -An -tu4 -j "$2" -N4 "$1" | tr -d ' '; }

# What a file is: header size, bits per pixel, compression.
kind_of() {
  local size
  size=$(u32 "$1" 14)
  if [ "$size" = 12 ]; then
    echo "12/$(u16 "$1" 24)/0"
  else
    echo "$size/$(u16 "$1" 28)/$(u32 "$1" 30)"
  fi
}

# name | source | convert options and output format | expected kind | red green blue bits
kinds=(
  "core 1-bit|src.png|-colors 2 -type palette BMP2:|12/1/0|8 8 8"
  "core 4-bit|src.png|-colors 16 -type palette BMP2:|12/4/0|8 8 8"
  "core 8-bit|src.png|-colors 200 -type palette BMP2:|12/8/0|8 8 8"
  "core 24-bit|src.png|BMP2:|12/24/0|8 8 8"
  "1-bit|src.png|-monochrome -compress none BMP3:|40/1/0|8 8 8"
  "4-bit|src.png|-colors 16 -type palette -compress none BMP3:|40/4/0|8 8 8"
  "8-bit|src.png|-type palette -compress none BMP3:|40/8/0|8 8 8"
  "RLE8|src.png|-type palette -compress RLE BMP3:|40/8/1|8 8 8"
  "RLE8, 2 colours|src.png|-colors 2 -type palette -compress RLE BMP3:|40/8/1|8 8 8"
  "24-bit|src.png|BMP3:|40/24/0|8 8 8"
  "32-bit with alpha, no masks|alpha.png|-define bmp3:alpha=true BMP3:|40/32/0|8 8 8"
  "V5 8-bit|src.png|-type palette -compress none BMP:|124/8/0|8 8 8"
  "V5 24-bit|src.png|BMP:|124/24/0|8 8 8"
  "V5 32-bit with alpha|alpha.png|BMP:|124/32/3|8 8 8"
  "V5 16-bit 5-6-5|src.png|-define bmp:subtype=RGB565 BMP:|124/16/3|5 6 5"
  "V5 16-bit 5-5-5|src.png|-define bmp:subtype=RGB555 BMP:|124/16/3|5 5 5"
)

failed=0
n=0
for entry in "${kinds[@]}"; do
  IFS='|' read -r name source options expected bits <<<"$entry"
  n=$((n + 1))
  in="in$n.bmp"
  out="out$n.bmp"
  read -ra words <<<"$options"
  format=${words[-1]}
  convert "$source" "${words[@]:0:${#words[@]}-1}" "$format$in"
  got=$(kind_of "$in")
  if [ "$got" != "$expected" ]; then
    echo "FAIL $name: ImageMagick wrote $got, not $expected"
    failed=1
    continue
  fi
  if ! "$bmpvintage" "$in" "$out"; then
    echo "FAIL $name: bmpvintage refused it"
    failed=1
    continue
  fi
  convert "$in" -depth 8 "rgba:before$n.rgba"
  convert "$out" -depth 8 "rgba:after$n.rgba"
  # shellcheck disable=SC2086
  if result=$("$compare" $bits "before$n.rgba" "after$n.rgba" 2>&1); then
    echo "ok   $name ($expected): $result"
  else
    echo "FAIL $name ($expected): $result"
    failed=1
  fi
done
exit $failed
