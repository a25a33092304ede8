#!/usr/bin/env bash
# What the verdicts cost a save: the time of saving every file of a FAT32
# volume of real media files (tests/fixtures/make_media.sh) with the checks
# of their formats and without them (VANTREL_SAVE_NO_CHECKS=1), and the ratio;
# also with the checks one file at a time on the saving thread
# (VANTREL_SAVE_SERIAL_CHECKS=1) instead of on workers beside the copy.
#
# Makes a FAT32 image (SAVE_MIB MiB, 384 by default) holding VERDICT_FILES
# media files (240 by default; their types from MEDIA_TYPES) copied in with
# mtools several times over in folders, then times `vantrel-cli save 1 /`
# with and without the checks, the best of three runs each, into /dev/shm
# when there is room there. The report is left out (--no-report) so that
# only the checks differ. Then the same volume quick-formatted: the
# lost-data search over it, which finds the files and their verdicts in one
# pass, against a plain read of the image.
#
# Usage: bench/save-verdict.sh [BUILD_DIR] [WORK_DIR]
set -euo pipefail
. "$(dirname "$0")/common.sh" "$@"
image=$work/media.img
mib=${SAVE_MIB:-384}
count=${VERDICT_FILES:-240}
types=${MEDIA_TYPES:-"jpg png gif bmp wav avi mp3 flac ogg mp4 mov m4a zip gz"}

if [ ! -f "$image" ]; then
  media=$work/media
  [ -d "$media" ] || "$root/tests/fixtures/make_media.sh" "$media" 2601 "$count" "$types" >/dev/null
  truncate -s ${mib}M "$image"
  mkfs.fat -F 32 -n MEDIA --invariant -i 5a7e0026 "$image" >/dev/null
  # The same files in folders until the volume is about two thirds full.
  per=$(du -sm "$media" | cut -f1)
  copies=$(( mib * 2 / 3 / (per > 0 ? per : 1) ))
  [ "$copies" -ge 1 ] || copies=1
  for c in $(seq 1 "$copies"); do
    mmd -i "$image" ::/set$c
    mcopy -i "$image" "$media"/* ::/set$c/
  done
fi

copies_folder $(( mib * 1048576 )) save-verdict
out=$out_base/out

fresh() { rm -rf "$out"; mkdir -p "$out"; }
run_save() { fresh; "$cli" --only-images --image "$image" save 1 / --to "$out" --no-report; }
run_plain() { fresh; VANTREL_SAVE_NO_CHECKS=1 "$cli" --only-images --image "$image" save 1 / --to "$out" --no-report; }
# The checks one file at a time on the saving thread, as before they ran
# beside the copy.
run_serial() { fresh; VANTREL_SAVE_SERIAL_CHECKS=1 "$cli" --only-images --image "$image" save 1 / --to "$out" --no-report; }

# As a save runs by default: with the recovery report, whose SHA-256 of
# every file costs as much as a plain save again.
run_save_r() { fresh; "$cli" --only-images --image "$image" save 1 / --to "$out"; }
run_plain_r() { fresh; VANTREL_SAVE_NO_CHECKS=1 "$cli" --only-images --image "$image" save 1 / --to "$out"; }

run_save >/dev/null 2>&1
files=$(find "$out" -type f | wc -l)
bytes=$(find "$out" -type f -printf '%s\n' | awk '{ s += $1 } END { print s }')
t_start=$(best_seconds "$cli" --only-images --image "$image" drives)
t_plain=$(best_seconds run_plain)
t_save=$(best_seconds run_save)
a_plain=$(echo "$t_plain - $t_start" | bc -l)
a_save=$(echo "$t_save - $t_start" | bc -l)
printf '%-48s %8.2f s\n' "save of $files files ($((bytes / 1048576)) MiB), no checks" "$t_plain"
printf '%-48s %8.2f s\n' "save with the checks (verdicts)" "$t_save"
t_serial=$(best_seconds run_serial)
printf '%-48s %8.2f s  (%.2f)\n' "  the same one file at a time on one thread" "$t_serial" "$(echo "$t_serial / $t_plain" | bc -l)"
printf '%-48s %8.2f s\n' "start-up (drives)" "$t_start"
printf '%-48s %8.2f  (without start-up %.2f)\n' "time with checks / without" "$(echo "$t_save / $t_plain" | bc -l)" \
  "$(echo "$a_save / $a_plain" | bc -l)"
t_plain_r=$(best_seconds run_plain_r)
t_save_r=$(best_seconds run_save_r)
printf '%-48s %8.2f s / %.2f s = %.2f\n' "with the report: with checks / without" "$t_save_r" "$t_plain_r" \
  "$(echo "$t_save_r / $t_plain_r" | bc -l)"
# The image is read from the page cache here; from a card or a stick the
# reading takes longest, and the checks' time weighs less.
for rate in 90 30; do
  t_read=$(echo "$bytes / 1048576 / $rate" | bc -l)
  printf '%-48s %8.2f  (estimate)\n' "  read at $rate MB/s: with checks / without" \
    "$(echo "($t_read + $a_save - $a_plain) / $t_read" | bc -l)"
done

# The same saves from a slow disk: the image served through FUSE by the
# tests' failing disk with every read taking SLOW_DELAY seconds more (1.5 ms:
# about 60 MB/s in 128 KiB reads, like a card reader), mounted afresh for
# every run so that nothing comes from the page cache. Needs /dev/fuse and
# Debian's python3-fusepy; left out without them.
slow_delay=${SLOW_DELAY:-0.0015}
served=$root/tests/support/failing_disk.py
if [ -e /dev/fuse ] && /usr/bin/python3 -c 'import fusepy' 2>/dev/null; then
  mnt=$(mktemp -d)
  sectors=$(( $(stat -c %s "$image") / 512 - 1 ))
  served_image=$image
  serve() {
    /usr/bin/python3 "$served" "$served_image" "$mnt" --slow "0-$sectors" --slow-delay "$slow_delay" >/dev/null 2>&1 &
    for _ in $(seq 100); do [ -e "$mnt/disk.img" ] && return 0; sleep 0.05; done
    return 1
  }
  unserve() { fusermount -u "$mnt" 2>/dev/null || umount "$mnt"; wait 2>/dev/null || true; }
  once() {  # once LABEL COMMAND...: seconds of one run on a fresh mount
    serve || return 1
    local s e
    s=$(date +%s.%N); "$@" >/dev/null 2>&1; e=$(date +%s.%N)
    unserve
    echo "$e - $s" | bc -l
  }
  slow_cat() { cat "$mnt/disk.img"; }
  slow_save() { fresh; "$cli" --only-images --image "$mnt/disk.img" save 1 / --to "$out" --no-report; }
  slow_plain() { fresh; VANTREL_SAVE_NO_CHECKS=1 "$cli" --only-images --image "$mnt/disk.img" save 1 / --to "$out" --no-report; }
  t_scat=$(once slow_cat)
  t_splain=$(once slow_plain); t_ssave=$(once slow_save)
  t_splain2=$(once slow_plain); t_ssave2=$(once slow_save)
  t_splain=$(echo "($t_splain + $t_splain2) / 2" | bc -l)
  t_ssave=$(echo "($t_ssave + $t_ssave2) / 2" | bc -l)
  printf '%-48s %8.2f s  (%.0f MB/s)\n' "slow disk: plain read of the image" "$t_scat" \
    "$(echo "$(stat -c %s "$image") / 1000000 / $t_scat" | bc -l)"
  printf '%-48s %8.2f s / %.2f s = %.2f\n' "slow disk: save with checks / without" "$t_ssave" "$t_splain" \
    "$(echo "$t_ssave / $t_splain" | bc -l)"
fi

# The lost-data search over the same files after a quick format.
lost=$work/media-formatted.img
if [ ! -f "$lost" ]; then
  cp --sparse=always "$image" "$lost"
  mkfs.fat -F 32 -n MEDIA --invariant -i 5a7e0027 "$lost" >/dev/null
fi
if [ -n "${mnt:-}" ]; then
  # The search finds the files and their verdicts in one pass over the slow disk.
  served_image=$lost
  slow_lost() { "$cli" --only-images --image "$mnt/disk.img" --on-error abort find-lost 1 --range all; }
  t_lcat=$(once slow_cat)
  t_slost=$(once slow_lost)
  printf '%-48s %8.2f s / %.2f s  (%.2f of the plain read)\n' "slow disk: find-lost / plain read" "$t_slost" "$t_lcat" \
    "$(echo "$t_lcat / $t_slost" | bc -l)"
  rmdir "$mnt"
fi
cat "$lost" >/dev/null
t_cat=$(best_seconds cat "$lost")
t_lost=$(best_seconds "$cli" --only-images --image "$lost" --on-error abort find-lost 1 --range all)
found=$("$cli" --only-images --image "$lost" --json find-lost 1 --range all 2>/dev/null | grep -o '"verdict": "verified"' | wc -l || true)
printf '%-48s %8.2f s\n' "plain read of the quick-formatted image" "$t_cat"
printf '%-48s %8.2f s  (%.2f of the plain read; %s verified)\n' "find-lost over it" "$t_lost" \
  "$(echo "$t_cat / $t_lost" | bc -l)" "$found"
