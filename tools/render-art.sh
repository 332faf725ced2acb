#!/usr/bin/env bash
# Renders the logo and window icons from their SVG sources. Run after editing an SVG;
# the PNGs are committed so that a build needs no image tools.
set -euo pipefail
cd "$(dirname "$0")/../app/images"
convert -background white logo.svg -alpha off -type TrueColor PNG24:logo.png
for size in 16 32 48; do
  convert -background none -density $((96 * size / 32)) icon.svg -resize ${size}x${size} \
    -colors 16 PNG32:icon${size}.png
done
