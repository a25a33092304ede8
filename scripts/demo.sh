#!/usr/bin/env bash
# Installs what is missing, builds, makes a small sample disk image and runs
# the program on it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
scripts/build.sh
mkdir -p out
scripts/make-sample-image.sh out/sample.img
cli=build/src/cli/vantrel-cli
set -x
$cli --only-images --image out/sample.img devices
