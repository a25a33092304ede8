#!/usr/bin/env bash
# Pictures of the window with an open drive and of each dialog, taken on a
# virtual X server (xvfb-run) from the sample image, into docs/screenshots/.
# Builds first when needed. Usage: scripts/screenshots.sh [OUTDIR]
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/screenshots}
build_dir=${BUILD_DIR:-build}
if [ ! -x "$build_dir/tests/ui/vantrel-screenshots" ]; then
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} >/dev/null
fi
cmake --build "$build_dir" -j "${JOBS:-$(nproc)}" --target vantrel-screenshots
mkdir -p out
[ -f out/sample.img ] || scripts/make-sample-image.sh out/sample.img
mkdir -p "$out"
# A settings folder of its own, so that the user's settings play no part.
config=$(mktemp -d)
trap 'rm -rf "$config"' EXIT
XDG_CONFIG_HOME=$config LC_ALL=C.UTF-8 \
  xvfb-run -a -s "-screen 0 1280x800x24" "$build_dir/tests/ui/vantrel-screenshots" out/sample.img "$out"
# Fewer colours keep the pictures small.
if command -v mogrify >/dev/null; then
  mogrify -strip -colors 128 "$out"/*.png 2>/dev/null || true
fi
du -ch "$out"/*.png | tail -1
