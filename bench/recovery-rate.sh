#!/usr/bin/env bash
# How many files the lost-data search gives back whole, on volumes nobody has
# seen: for each seed a fresh FAT16 or FAT32 volume with a random cluster size
# gets a random mix of real files of random sizes and random order
# (tests/fixtures/make_media.sh), is quick-formatted over them, and
# `vantrel-cli find-lost` + `save --view lost` runs on it. PhotoRec (package
# testdisk), when present, carves the same image for comparison.
#
# Mode "fragmented": files are written around live files so that their chains
# are fragmented, then deleted; `save --view deleted --fat free` brings them
# back, beside `--no-fat` (consecutive clusters) and PhotoRec.
#
# Usage: bench/recovery-rate.sh [carve|fragmented] [SEEDS] [FILES] [BUILD_DIR] [WORK_DIR]
#   SEEDS: a list "11 12 13", or "clock" (the default) for three seeds from the clock
#   MEDIA_TYPES: the extensions to draw from (default: every type make_media.sh makes)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
mode=${1:-carve}
seeds=${2:-clock}
files=${3:-30}
build=${4:-$root/build}
work=${5:-$(mktemp -d)}
cli=$build/src/cli/vantrel-cli
[ -x "$cli" ] || { echo "build vantrel-cli first ($cli)"; exit 1; }
export MTOOLS_SKIP_CHECK=1 TZ=UTC
if [ "$seeds" = clock ]; then
  base=$(( $(date +%s) % 100000 * 100 ))
  seeds=$(seq $((base + 1)) $((base + 3)))
fi
photorec=$(command -v photorec || true)
mkdir -p "$work"
echo "work: $work"

pick() { local a=("$@"); echo "${a[RANDOM % ${#a[@]}]}"; }
first_cluster() { mshowfat -i "$1" "::/$2" | sed -n 's/.*<\([0-9]*\)[->].*/\1/p'; }
ranges() { mshowfat -i "$1" "::/$2" | grep -o '<[0-9-]*>' | wc -l; }

# Compares what a tool saved with the real files. $1 list "name cluster ranges",
# $2 media dir, $3 output dir, $4 how outputs name their start (cluster|sector|name),
# $5 image.
compare() {
  python3 - "$@" <<'PY'
import hashlib, os, re, struct, sys, collections
listing, media, out, naming, image, label = sys.argv[1:7]
with open(image, "rb") as f:
    bs = f.read(512)
spc = bs[13]; reserved = struct.unpack_from("<H", bs, 14)[0]; nfats = bs[16]
rootents = struct.unpack_from("<H", bs, 17)[0]; fatsz = struct.unpack_from("<H", bs, 22)[0] or struct.unpack_from("<I", bs, 36)[0]
data = reserved + nfats * fatsz + (rootents * 32 + 511) // 512
real = {}
for line in open(listing):
    name, cluster, ranges = line.split()
    real[name] = (int(cluster), int(ranges))
def content(p): return open(p, "rb").read()
outputs = []
for d, _, fs in os.walk(out):
    for f in fs:
        p = os.path.join(d, f)
        if naming == "cluster":
            m = re.match(r"\S+ (\d+)\.", f); start = int(m.group(1)) if m else None
        elif naming == "sector":
            m = re.match(r"f(\d+)", f); start = (int(m.group(1)) - data) // spc + 2 if m and int(m.group(1)) >= data else None
        else:
            start = f[1:]  # deleted names: the first character is the marker
        outputs.append((start, p))
key = (lambda n, c: c) if naming != "name" else (lambda n, c: n[1:])
bystart = collections.defaultdict(list)
for s, p in outputs: bystart[s].append(p)
exact = 0; realbytes = 0; misses = collections.Counter(); found = set()
for name, (cluster, ranges) in real.items():
    data_ = content(os.path.join(media, name)); realbytes += len(data_)
    k = key(name, cluster); found.add(k)
    if any(content(p) == data_ for p in bystart.get(k, [])): exact += 1
    else: misses[os.path.splitext(name)[1][1:] + ("" if ranges <= 1 else "(frag)")] += 1
spurious = sum(len(v) for k, v in bystart.items() if k not in found)
saved = sum(os.path.getsize(p) for _, p in outputs)
print(f"{label:<22} files {len(real):3}  byte-exact {exact:3}  spurious {spurious:3}  saved/real {saved / max(realbytes, 1):5.2f}"
      + ("  misses: " + " ".join(f"{t}:{n}" for t, n in sorted(misses.items())) if misses else ""))
PY
}

for seed in $seeds; do
  dir=$work/$mode-$seed
  rm -rf "$dir" && mkdir -p "$dir/out" "$dir/nofat" "$dir/rec"
  RANDOM=$seed
  img=$dir/vol.img
  "$root/tests/fixtures/make_media.sh" "$dir/media" "$seed" "$files" ${MEDIA_TYPES:+"$MEDIA_TYPES"} > "$dir/names"
  if [ "$mode" = carve ]; then
    if [ $((RANDOM % 2)) = 0 ]; then fat=16 kib=131072 spc=$(pick 4 8 16 32 64)
    else fat=32 kib=196608 spc=$(pick 1 2 4); fi
    mkfs.fat -C -F $fat -s "$spc" -n RATE "$img" $kib >/dev/null
    : > "$dir/list"
    for n in $(shuf --random-source=<(yes $seed) "$dir/names"); do
      mcopy -i "$img" "$dir/media/$n" "::/$n"
      echo "$n $(first_cluster "$img" "$n") $(ranges "$img" "$n")" >> "$dir/list"
    done
    mkfs.fat -F $fat -s "$spc" -n RATE "$img" >/dev/null  # the quick format
    echo "seed $seed: FAT$fat, $((spc * 512)) bytes a cluster, $(wc -l < "$dir/list") files, $(awk '$3 > 1' "$dir/list" | wc -l) fragmented"
    s=$(date +%s.%N)
    "$cli" --only-images --image "$img" --on-error abort find-lost 1 --range all then save 1 / --view lost --to "$dir/out" --overwrite all >/dev/null 2>>"$dir/cli.log"
    e=$(date +%s.%N)
    compare "$dir/list" "$dir/media" "$dir/out" cluster "$img" "vantrel-cli"
    if [ -n "$photorec" ]; then
      (cd "$dir/rec" && "$photorec" /log /d "$dir/rec/r" /cmd "$img" partition_none,fileopt,everything,enable,search >/dev/null 2>&1 || true)
      compare "$dir/list" "$dir/media" "$dir/rec" sector "$img" "photorec"
    fi
  else
    fat=16 spc=$(pick 2 4 8 16)
    mkfs.fat -C -F $fat -s "$spc" -n FRAG "$img" 32768 >/dev/null
    : > "$dir/list"
    k=0
    for n in $(shuf --random-source=<(yes $seed) "$dir/names"); do
      # Live files around holes: the next file fills the holes first.
      for j in 1 2 3 4 5 6; do
        head -c $(( (RANDOM % 3 + 1) * spc * 512 - RANDOM % 300 )) /dev/urandom > "$dir/spacer"
        mcopy -i "$img" "$dir/spacer" "::/s$((k + j)).bin"
      done
      for j in 1 3 5; do
        if [ $((RANDOM % 4)) != 0 ]; then mdel -i "$img" "::/s$((k + j)).bin"; fi
      done
      k=$((k + 6))
      mcopy -i "$img" "$dir/media/$n" "::/$n"
      echo "$n $(first_cluster "$img" "$n") $(ranges "$img" "$n")" >> "$dir/list"
    done
    while read -r n _; do mdel -i "$img" "::/$n"; done < "$dir/list"
    # Only the files that were deleted are compared; the spacers deleted
    # before them are saved as well and not counted as spurious.
    echo "seed $seed: FAT$fat, $((spc * 512)) bytes a cluster, $(wc -l < "$dir/list") deleted files, $(awk '$3 > 1' "$dir/list" | wc -l) fragmented"
    "$cli" --only-images --image "$img" --on-error abort save 1 / --view deleted --fat free --to "$dir/out" --overwrite all >/dev/null 2>>"$dir/cli.log"
    rm -f "$dir/out/"*.bin
    compare "$dir/list" "$dir/media" "$dir/out" name "$img" "vantrel-cli --fat free"
    "$cli" --only-images --image "$img" --on-error abort save 1 / --view deleted --no-fat --to "$dir/nofat" --overwrite all >/dev/null 2>>"$dir/cli.log"
    rm -f "$dir/nofat/"*.bin
    compare "$dir/list" "$dir/media" "$dir/nofat" name "$img" "vantrel-cli --no-fat"
    if [ -n "$photorec" ]; then
      (cd "$dir/rec" && "$photorec" /log /d "$dir/rec/r" /cmd "$img" partition_none,fileopt,everything,enable,freespace,search >/dev/null 2>&1 || true)
      compare "$dir/list" "$dir/media" "$dir/rec" sector "$img" "photorec (free space)"
    fi
  fi
done
