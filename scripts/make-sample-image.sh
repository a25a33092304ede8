#!/usr/bin/env bash
# Makes a small partitioned disk image without root: a FAT16 and a FAT32
# partition with a few files, some of them deleted afterwards.
set -euo pipefail
image=${1:-sample.img}
export MTOOLS_SKIP_CHECK=1 MTOOLS_NO_VFAT=0 SOURCE_DATE_EPOCH=1700000000
rm -f "$image"
truncate -s 96M "$image"
printf 'label: dos\nstart=2048, size=40960, type=6\nstart=43008, type=c\n' | sfdisk -q "$image"
mkfs.fat -F 16 -n SAMPLE16 --invariant -i 12345678 --offset=2048 -h 2048 "$image" 20480 >/dev/null 2>&1
mkfs.fat -F 32 -n SAMPLE32 --invariant -i 87654321 --offset=43008 -h 43008 "$image" $(( (96*2048 - 43008) / 2 )) >/dev/null 2>&1
p1="$image@@$((2048*512))"
p2="$image@@$((43008*512))"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'Hello from the first partition.\n' >"$tmp/readme.txt"
head -c 200000 /dev/urandom >"$tmp/photo.jpg"
printf 'A report with a long name.\n' >"$tmp/Quarterly report 2024.txt"
printf '中文内容\n' >"$tmp/中文文件.txt"
mcopy -i "$p1" "$tmp/readme.txt" "$tmp/photo.jpg" ::/
mmd -i "$p1" ::/Documents
mcopy -i "$p1" "$tmp/Quarterly report 2024.txt" "$tmp/中文文件.txt" ::/Documents/
mdel -i "$p1" ::/photo.jpg
mcopy -i "$p2" "$tmp/readme.txt" ::/
mmd -i "$p2" ::/Old
mcopy -i "$p2" "$tmp/photo.jpg" ::/Old/
mdeltree -i "$p2" ::/Old
echo "made $image"
