#!/usr/bin/env bash
# Throughput of saving every file of a FAT32 volume against mtools copying
# the same files out of the image and a plain read of the image.
#
# Makes a 640 MiB FAT32 image holding about 420 MiB in 8 folders of files
# from 4 KiB to 8 MiB, then prints MB/s (file bytes per second) of
#   vantrel-cli save 1 / --to DIR
#   mcopy -s ::/* DIR
# and of `cat IMAGE > /dev/null` (image bytes per second). Every command runs
# once to warm the page cache, then is timed. The copies go to a folder in
# /dev/shm when there is room there, so that writing them costs the same for
# both and little disk time.
#
# Usage: bench/save-throughput.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
. "$(dirname "$0")/common.sh" "$@"
image=$work/save.img

if [ ! -f "$image" ]; then
  files=$work/files
  rm -rf "$files"
  mkdir -p "$files"
  for d in 1 2 3 4 5 6 7 8; do
    mkdir -p "$files/dir$d"
    for f in $(seq 1 24); do
      # Sizes from 4 KiB to about 8 MiB, most of them odd.
      size=$(( (f * f * 7919 + d * 104729) % 8388608 + 4096 + f ))
      head -c "$size" /dev/urandom >"$files/dir$d/file$f.bin"
    done
  done
  truncate -s 640M "$image"
  mkfs.fat -F 32 -n BENCHSAVE --invariant -i 5a7e0001 "$image" >/dev/null
  mcopy -s -i "$image" "$files"/dir* ::/
  rm -rf "$files"
fi

bytes_image=$(stat -c %s "$image")
copies_folder "$bytes_image" save-throughput
out=$out_base/out

mbps() { echo "scale=1; $1 / 1048576 / $2" | bc -l; }
fresh() { rm -rf "$out"; mkdir -p "$out"; }
run_save() { fresh; "$cli" --only-images --image "$image" save 1 / --to "$out"; }
run_mcopy() { fresh; mcopy -s -n -i "$image" '::/*' "$out/"; }
run_cat() { cat "$image"; }

# The bytes of the files, and a check that the save copies them all.
run_save >/dev/null 2>&1
saved=$(find "$out" -type f | wc -l)
run_mcopy >/dev/null 2>&1
copied=$(find "$out" -type f | wc -l)
[ "$saved" = "$copied" ] || { echo "save wrote $saved files, mcopy $copied"; exit 1; }
bytes_files=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')

run_cat >/dev/null
t_cat=$(best_seconds run_cat)
t_mcopy=$(best_seconds run_mcopy)
t_save=$(best_seconds run_save)
t_start=$(best_seconds "$cli" --only-images --image "$image" drives)

printf '%-44s %8s MB/s\n' "cat of the image ($((bytes_image / 1048576)) MiB)" "$(mbps "$bytes_image" "$t_cat")"
printf '%-44s %8s MB/s\n' "mcopy -s of $copied files ($((bytes_files / 1048576)) MiB)" "$(mbps "$bytes_files" "$t_mcopy")"
printf '%-44s %8s MB/s  (%.2f of mcopy)\n' "vantrel-cli save 1 /, whole command" "$(mbps "$bytes_files" "$t_save")" \
  "$(echo "$t_mcopy / $t_save" | bc -l)"
# Start-up (device detection and the
# partition scan) is the same for every command; the save is shown without it
# as well.
t_alone=$(echo "$t_save - $t_start" | bc -l)
printf '%-44s %8s MB/s  (%.2f of mcopy)\n' "vantrel-cli save, without start-up" "$(mbps "$bytes_files" "$t_alone")" \
  "$(echo "$t_mcopy / $t_alone" | bc -l)"
printf '%-44s %8.2f s\n' "vantrel-cli start-up (drives)" "$t_start"
