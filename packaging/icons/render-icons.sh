#!/usr/bin/env bash
# Renders the application icon's PNG sizes from its SVG (needs rsvg-convert from librsvg2-bin).
# The PNGs are committed, so building and installing do not need this tool.
set -euo pipefail
cd "$(dirname "$0")"
for size in 16 24 32 48 64 128 256 512; do
  mkdir -p "hicolor/${size}x${size}/apps"
  rsvg-convert -w "$size" -h "$size" com.tarvel.GpsUpdater.svg -o "hicolor/${size}x${size}/apps/com.tarvel.GpsUpdater.png"
done
