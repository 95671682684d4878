#!/usr/bin/env bash
# Makes docs/sample-before-after.png: samples/sample.bmp and its toned copy,
# side by side, each scaled 4x with nearest-neighbour so single pixels stay
# visible. Needs ImageMagick's `convert` and a built bmpvintage:
#   docs/make-before-after.sh build/demo/bmpvintage
set -euo pipefail
cd "$(dirname "$0")/.."
program=${1:?usage: $0 PATH/TO/bmpvintage}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$program" samples/sample.bmp "$tmp/after.bmp"
convert \( samples/sample.bmp -scale 400% \) \
        \( -size 16x256 xc:white \) \
        \( "$tmp/after.bmp" -scale 400% \) \
        +append -strip -define png:exclude-chunks=date,time \
        docs/sample-before-after.png
