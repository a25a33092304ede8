# What the benchmarks share; sourced by each after `set -euo pipefail` with
# the script's own arguments [BUILD_DIR] [WORK_DIR]. Sets root, build, work
# (made when missing) and cli, and the tools' fixed dates.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:-$root/build}
work=${2:-$(mktemp -d)}
cli=$build/src/cli/vantrel-cli
[ -x "$cli" ] || { echo "build vantrel-cli first ($cli)"; exit 1; }
mkdir -p "$work"
export MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC

# The best of three runs of a command, in seconds: the machine may be busy
# with other work.
best_seconds() {
  local s e t best=
  for _ in 1 2 3; do
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    t=$(echo "$e - $s" | bc -l)
    if [ -z "$best" ] || [ "$(echo "$t < $best" | bc -l)" = 1 ]; then best=$t; fi
  done
  echo "$best"
}

# A folder for copies of about BYTES bytes (the first argument) named NAME:
# in /dev/shm when it has room for twice that, so that writing them costs
# little disk time; else in the work folder. Sets out_base; one in /dev/shm
# is removed when the script ends.
copies_folder() {
  out_base=$work
  if [ -d /dev/shm ] && [ "$(df --output=avail -k /dev/shm | tail -1)" -gt $(( 2 * $1 / 1024 )) ]; then
    out_base=$(mktemp -d "/dev/shm/$2.XXXXXX")
    trap 'rm -rf "$out_base"' EXIT
  fi
}
