#!/usr/bin/env bash
# Renders the raster artwork from the SVG sources in this folder. The PNGs
# are committed, so a build needs no renderer; run this after editing an
# SVG (needs rsvg-convert from librsvg2-bin).
#
#   icons/<name>.svg, <name>-16.svg, <name>-20.svg  menu icons, one drawing per size
#   icons/vellumo-16.svg, -32.svg, vellumo.svg      app icon for 16, 22-48, 64+ px
#   src/about.svg, src/update.svg                   the dialogs' pictures
set -euo pipefail
cd "$(dirname "$0")"
command -v rsvg-convert >/dev/null || { echo "render.sh: rsvg-convert missing (apt-get install librsvg2-bin)" >&2; exit 1; }

render() { # source size output
  rsvg-convert -w "$2" -h "$2" "$1" -o "$3"
}

for name in open check-updates about; do
  render "icons/$name-16.svg" 16 "icons/$name-16.png"
  render "icons/$name-20.svg" 20 "icons/$name-20.png"
  render "icons/$name.svg" 24 "icons/$name-24.png"
done

mkdir -p icons/app
for size in 16 22 24 32 48 64 128 256; do
  if [ "$size" -le 16 ]; then src=icons/vellumo-16.svg
  elif [ "$size" -le 48 ]; then src=icons/vellumo-32.svg
  else src=icons/vellumo.svg; fi
  render "$src" "$size" "icons/app/vellumo-$size.png"
done

rsvg-convert src/about.svg -o images/about.png
rsvg-convert src/update.svg -o images/update.png
echo "render.sh: done"
