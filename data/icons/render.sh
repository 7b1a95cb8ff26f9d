#!/usr/bin/env bash
# Renders the application icon's PNG sizes from duxkupdate.svg, and the
# Windows icon file from them (development only: the PNGs and the .ico are
# kept in the repository). Needs rsvg-convert (librsvg2-bin) and, for the
# .ico, ImageMagick's convert.
set -euo pipefail
cd "$(dirname "$0")"
for n in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$n" -h "$n" duxkupdate.svg -o "duxkupdate-$n.png"
done
# The Windows application's icon (wingui/duxkupdate.rc).
convert duxkupdate-16.png duxkupdate-24.png duxkupdate-32.png duxkupdate-48.png duxkupdate-256.png duxkupdate.ico
