#!/usr/bin/env bash
# Renders the application icon's PNG sizes from duxkupdate.svg (development
# only: the PNGs are kept in the repository). Needs rsvg-convert (librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for n in 16 24 32 48 64 128 256; do
  rsvg-convert -w "$n" -h "$n" duxkupdate.svg -o "duxkupdate-$n.png"
done
