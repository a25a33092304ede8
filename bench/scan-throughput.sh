#!/usr/bin/env bash
# Throughput of the two whole-disk scans against a plain read of the same bytes.
#
# Makes a disk image (1 GiB, or SCAN_MIB MiB) with the real tools: a FAT16
# partition of a quarter of it and a FAT32 partition of the rest, full of
# files, then removes the second partition's table entry. Prints MB/s
# of `find-drives` over the whole disk and `find-lost` over the whole FAT32
# volume, each beside `cat IMAGE > /dev/null` (the image in the page cache).
#
# Usage: bench/scan-throughput.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
. "$(dirname "$0")/common.sh" "$@"
image=$work/disk.img
mib=${SCAN_MIB:-1024}
total=$((mib * 2048))
p2_start=$((2048 + total / 4))
per_dir=$((40 * mib / 1024))

if [ ! -f "$image" ]; then
  rm -f "$image"
  truncate -s ${mib}M "$image"
  # FAT16 of a quarter, FAT32 of the rest.
  printf 'label: dos\nstart=2048, size=%d, type=6\nstart=%d, type=c\n' $((total / 4)) $p2_start | sfdisk -q "$image"
  p2_sectors=$(( total - p2_start ))
  mkfs.fat -F 16 -n BENCH16 --invariant -i 1600aa00 --offset=2048 -h 2048 "$image" $((total / 4 / 2)) >/dev/null 2>&1
  mkfs.fat -F 32 -n BENCH32 --invariant -i 3200bb00 --offset=$p2_start -h $p2_start "$image" $((p2_sectors / 2)) >/dev/null 2>&1
  files=$work/files
  mkdir -p "$files"
  for d in 1 2 3 4 5 6 7 8; do
    mkdir -p "$files/dir$d"
    for f in $(seq 1 $per_dir); do head -c $(( (f * 37 % 97 + 3) * 20000 )) /dev/urandom >"$files/dir$d/file$f.bin"; done
  done
  mcopy -s -i "$image@@$((2048 * 512))" "$files"/dir1 "$files"/dir2 "$files"/dir3 ::/
  mcopy -s -i "$image@@$((p2_start * 512))" "$files"/dir4 "$files"/dir5 "$files"/dir6 "$files"/dir7 "$files"/dir8 ::/
  rm -rf "$files"
  # The second partition's entry is gone.
  printf '\0%.0s' $(seq 1 16) | dd of="$image" bs=1 seek=$((446 + 16)) conv=notrunc status=none
fi

bytes=$(stat -c %s "$image")
cat "$image" >/dev/null
seconds() { local s e; s=$(date +%s.%N); "$@" >/dev/null; e=$(date +%s.%N); echo "$e - $s" | bc -l; }
mbps() { echo "scale=1; $1 / 1048576 / $2" | bc -l; }

t_cat=$(seconds cat "$image")
# Start-up (device detection and the
# partition scan) is the same for every command; the scans are measured
# without it as well.
t_start=$(seconds "$cli" --only-images --image "$image" drives)
t_drives=$(seconds "$cli" --only-images --image "$image" --on-error abort find-drives 1 --range all)
fat32_bytes=$(( (total - p2_start) * 512 ))
# The FAT32 volume is found again by find-drives; find-lost runs on it.
t_lost=$(seconds "$cli" --only-images --image "$image" --on-error abort find-drives 1 --range $p2_start-$p2_start then find-lost 2 --range all)
t_cat32=$(seconds dd if="$image" bs=1M skip=$((p2_start * 512)) iflag=skip_bytes status=none of=/dev/null)

scan_drives=$(echo "$t_drives - $t_start" | bc -l)
scan_lost=$(echo "$t_lost - $t_start" | bc -l)
printf '%-40s %8s MB/s\n' "cat of the image" "$(mbps "$bytes" "$t_cat")"
printf '%-40s %8s MB/s  (%.2f of cat)\n' "find-drives, whole command" "$(mbps "$bytes" "$t_drives")" "$(echo "$t_cat / $t_drives" | bc -l)"
printf '%-40s %8s MB/s  (%.2f of cat)\n' "find-drives, the scan alone" "$(mbps "$bytes" "$scan_drives")" "$(echo "$t_cat / $scan_drives" | bc -l)"
printf '%-40s %8s MB/s\n' "plain read of the FAT32 volume" "$(mbps "$fat32_bytes" "$t_cat32")"
printf '%-40s %8s MB/s  (%.2f of the plain read)\n' "find-lost, whole command" "$(mbps "$fat32_bytes" "$t_lost")" "$(echo "$t_cat32 / $t_lost" | bc -l)"
printf '%-40s %8s MB/s  (%.2f of the plain read)\n' "find-lost, the scan alone" "$(mbps "$fat32_bytes" "$scan_lost")" "$(echo "$t_cat32 / $scan_lost" | bc -l)"
