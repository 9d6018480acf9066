#!/usr/bin/env bash
# Renders the icon's PNG sizes from data/icons/hakomi.svg (needs rsvg-convert, librsvg2-bin).
# The PNGs are checked in, so that building needs no SVG renderer; run this after changing the SVG.
set -euo pipefail
cd "$(dirname "$0")/../data/icons"
for size in 16 32 48 64 128 256; do
  rsvg-convert -w "$size" -h "$size" hakomi.svg -o "hakomi-$size.png"
done
cp hakomi-32.png ../../src/app/hakomi.png
