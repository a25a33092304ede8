#!/usr/bin/env bash
# Time of `vantrel-cli image` against `dd bs=1M` and GNU ddrescue on the
# same disk: a good one and a failing one, both served through FUSE by
# tests/support/failing_disk.py (every read reaches the server, as on a
# real device; none is served from the page cache).
#
# The disk holds SIZE_MIB MiB of random bytes (256 by default); the failing
# one has 233 unreadable sectors in 44 areas, each failing read taking
# BAD_DELAY seconds (0.2 by default). Prints the seconds of each tool, the
# ratios of ours to theirs, and the most reads of one bad sector.
#
# Usage: bench/imaging.sh [BUILD_DIR] [WORK_DIR]   (as root: it mounts FUSE)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
work=${2:-$(mktemp -d)}
cli=$build/src/cli/vantrel-cli
server=$root/tests/support/failing_disk.py
size=${SIZE_MIB:-256}
delay=${BAD_DELAY:-0.2}
[ -x "$cli" ] || { echo "build vantrel-cli first ($cli)"; exit 1; }
command -v ddrescue >/dev/null || { echo "needs GNU ddrescue (gddrescue)"; exit 1; }
mkdir -p "$work/mnt"
image=$work/disk.img
[ -f "$image" ] || head -c $((size * 1048576)) /dev/urandom >"$image"

# 44 areas of 1 to 11 sectors (233 in all), spread over the disk.
bad=$(python3 - "$size" <<'PY'
import sys
sectors = int(sys.argv[1]) * 2048
areas, total, k = [], 0, 0
while len(areas) < 44:
    n = 1 + (k * 7) % 11
    k += 1
    if total + n > 233 or len(areas) == 43:
        n = 233 - total
    start = (len(areas) * 2654435761 + 12345) % (sectors - 64)
    areas.append("%d-%d" % (start, start + n - 1))
    total += n
print(",".join(areas))
PY
)

serve() {  # serve BAD_LIST
  /usr/bin/python3 "$server" "$image" "$work/mnt" --bad "$1" --bad-delay "$delay" &
  pid=$!
  for _ in $(seq 100); do [ -s "$work/mnt/disk.img" ] && return; sleep 0.05; done
  echo "the failing disk was not served"; exit 1
}
unserve() { umount "$work/mnt"; wait "$pid" 2>/dev/null || true; }
seconds() { local t0 t1; t0=$(date +%s.%N); "$@" >/dev/null 2>&1 || true; t1=$(date +%s.%N); echo "$t1 - $t0" | bc; }
most_bad_reads() {
  python3 - "$work/mnt/counts" "$bad" <<'PY'
import sys
counts = dict(map(int, l.split()) for l in open(sys.argv[1]))
bad = set()
for a in sys.argv[2].split(","):
    x, y = map(int, a.split("-"))
    bad.update(range(x, y + 1))
print(max((counts.get(s, 0) for s in bad), default=0))
PY
}

run() {  # run LABEL BAD_LIST
  local label=$1 list=$2 t_dd t_ddr t_ours r_dd r_ddr r_ours
  rm -f "$work"/out.* "$work"/ddr.* "$work"/dd.img
  serve "$list"; t_dd=$(seconds dd if="$work/mnt/disk.img" of="$work/dd.img" bs=1M conv=noerror); unserve
  serve "$list"; t_ddr=$(seconds ddrescue -q "$work/mnt/disk.img" "$work/ddr.img" "$work/ddr.map")
  r_ddr=$([ -n "$list" ] && most_bad_reads || echo -); unserve
  serve "$list"; t_ours=$(seconds "$cli" --image "$work/mnt/disk.img" image 1 --to "$work/out.img" --map "$work/out.map")
  r_ours=$([ -n "$list" ] && most_bad_reads || echo -); unserve
  printf '%-8s dd bs=1M %6.2f s   ddrescue %6.2f s   vantrel-cli %6.2f s   ours/dd %.2f   ours/ddrescue %.2f   most reads of a bad sector: ddrescue %s, ours %s\n' \
    "$label" "$t_dd" "$t_ddr" "$t_ours" "$(echo "$t_ours / $t_dd" | bc -l)" "$(echo "$t_ours / $t_ddr" | bc -l)" "$r_ddr" "$r_ours"
  if [ -n "$list" ]; then
    cmp -s "$work/out.img" "$work/ddr.img" && echo "         both images are byte for byte the same" \
      || echo "         the images differ (bad sectors hold what each tool leaves there)"
  fi
}

echo "disk of $size MiB in $work"
run good ""
run failing "$bad"
