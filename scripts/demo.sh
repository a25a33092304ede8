#!/usr/bin/env bash
# Installs what is missing, builds, makes a small sample disk image and opens
# the window on it; without a display, shows what vantrel-cli finds on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh
mkdir -p out
scripts/make-sample-image.sh out/sample.img
if [ -n "${DISPLAY:-}" ] || [ -n "${WAYLAND_DISPLAY:-}" ]; then
  echo "Opening the window on out/sample.img (your own image: build/src/ui/vantrel IMAGE)"
  exec build/src/ui/vantrel --only-images out/sample.img
fi
cli="build/src/cli/vantrel-cli --only-images --image out/sample.img"
rm -rf out/rescued && mkdir -p out/rescued
set -x
$cli devices
$cli drives
$cli ls 1 / --recursive
$cli ls 1 / --view deleted
$cli ls 2 / --view deleted --recursive
$cli save 2 / --view deleted --to out/rescued
ls -lR out/rescued
