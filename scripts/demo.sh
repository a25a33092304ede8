#!/usr/bin/env bash
# Installs what is missing, builds, makes a small sample disk image and runs
# the program on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh
mkdir -p out
scripts/make-sample-image.sh out/sample.img
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
