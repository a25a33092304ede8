#!/usr/bin/env bash
# Seed inputs for the fuzz targets, made with the real tools: small FAT12
# volumes with folders, long names and deleted files, a small FAT16 and a
# FAT32 volume cut after their first directories, a partitioned disk cut
# after its tables, and cluster-sized pieces of typed files.
# Usage: fuzz/make-seeds.sh OUTDIR
set -euo pipefail
out=${1:?output folder}
export MTOOLS_SKIP_CHECK=1 SOURCE_DATE_EPOCH=1700000000 TZ=UTC LC_ALL=C.UTF-8
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"/{volume,partitions,analyser,filetype,lostdata,save}

fill() {  # fill IMAGE: a small tree, then some of it deleted
  local img=$1
  mkdir -p "$tmp/src/Docs/Sub"
  printf 'hello\n' >"$tmp/src/readme.txt"
  printf 'a long name\n' >"$tmp/src/Docs/A rather long file name.text"
  printf 'x%.0s' $(seq 1 3000) >"$tmp/src/Docs/Sub/data.bin"
  printf '中文\n' >"$tmp/src/Docs/中文.txt"
  mcopy -s -i "$img" "$tmp/src/readme.txt" "$tmp/src/Docs" ::/
  mdel -i "$img" ::/readme.txt
  mdeltree -i "$img" ::/Docs/Sub
  rm -rf "$tmp/src"
}

mkfs.fat -C -n SEED12 --invariant -i 12121212 "$tmp/v12.img" 64 >/dev/null
fill "$tmp/v12.img"
cp "$tmp/v12.img" "$out/volume/fat12"
cp "$tmp/v12.img" "$out/lostdata/fat12"
cp "$tmp/v12.img" "$out/save/fat12"
cp "$tmp/v12.img" "$out/analyser/fat12"

# FAT16 and FAT32 with small FATs (one copy, few reserved sectors), cut after
# the first clusters of the data area.
mkfs.fat -C -F 16 -f 1 -s 1 -n SEED16 --invariant -i 16161616 "$tmp/v16.img" 4200 >/dev/null
fill "$tmp/v16.img"
head -c 131072 "$tmp/v16.img" >"$out/volume/fat16"
head -c 131072 "$tmp/v16.img" >"$out/save/fat16"
mkfs.fat -C -F 32 -f 1 -R 2 -s 1 -n SEED32 --invariant -i 32323232 "$tmp/v32.img" 34000 >/dev/null
fill "$tmp/v32.img"
head -c 393216 "$tmp/v32.img" >"$out/volume/fat32"
# The analyser looks at every sector of its input, so its seeds stop at
# 128 KiB: the whole FAT16 volume up to its first clusters, the start of the
# FAT32 one.
head -c 131072 "$tmp/v16.img" >"$out/analyser/fat16"
head -c 131072 "$tmp/v32.img" >"$out/analyser/fat32"

# Tables close together so that a small input holds the whole chain.
truncate -s 8M "$tmp/disk.img"
printf 'label: dos\nstart=2, size=60, type=6\nstart=100, size=120, type=5\nstart=102, size=50, type=c\nstart=160, size=50, type=b\nstart=300, size=40, type=7\n' |
  sfdisk -q "$tmp/disk.img" 2>/dev/null
head -c 131072 "$tmp/disk.img" >"$out/partitions/mbr"
# A GUID partition table on a small disk, whole, so that its backup stays in
# the last sector.
truncate -s 64K "$tmp/gpt.img"
printf 'label: gpt\nfirst-lba: 34\nstart=40, size=20, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7, name="Data"\nstart=60, size=20, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\n' |
  sfdisk -q "$tmp/gpt.img" 2>/dev/null
cp "$tmp/gpt.img" "$out/partitions/gpt"

# exFAT: a small volume packed tight (4 KiB clusters, heap at 16 KiB), filled
# through exfat-fuse over a loop device where one can be had (empty
# otherwise), cut after its first clusters; and behind a partition table.
exfat_seed() (
  local img=$tmp/ex.img mnt=$tmp/exmnt loop=""
  truncate -s 4M "$img"
  mkfs.exfat -c 4K -b 4K -L SEEDX "$img" >/dev/null || return 0
  mkdir -p "$mnt"
  trap 'mountpoint -q "$mnt" && fusermount -u "$mnt"; [ -n "$loop" ] && losetup -d "$loop"' EXIT
  if [ "$(id -u)" = 0 ] && [ -c /dev/fuse ] && loop=$(losetup -f --show "$img" 2>/dev/null) &&
     timeout 20 mount.exfat-fuse "$loop" "$mnt" 2>/dev/null; then
    mkdir -p "$mnt/DCIM/100CAMER" "$mnt/旧的"
    printf 'hello\n' >"$mnt/readme.txt"
    head -c 9000 /dev/zero | tr '\0' 'j' >"$mnt/DCIM/100CAMER/IMG_0001.JPG"
    printf 'x' >"$mnt/旧的/Café résumé with a name of more than fifteen.txt"
    head -c 5000 /dev/zero | tr '\0' 'a' >"$mnt/frag.bin"
    printf 'b' >"$mnt/between.txt"
    head -c 5000 /dev/zero | tr '\0' 'c' >>"$mnt/frag.bin"
    rm -r "$mnt/readme.txt" "$mnt/旧的"
    fusermount -u "$mnt"
  fi
  head -c 131072 "$img" >"$out/volume/exfat"
  head -c 131072 "$img" >"$out/save/exfat"
  head -c 131072 "$img" >"$out/lostdata/exfat"
  head -c 65536 "$img" >"$out/analyser/exfat"
  truncate -s 160K "$tmp/exdisk.img"
  printf 'label: dos\nstart=64, size=256, type=7\n' | sfdisk -q "$tmp/exdisk.img" 2>/dev/null
  dd if="$img" of="$tmp/exdisk.img" bs=512 seek=64 count=256 conv=notrunc status=none
  cp "$tmp/exdisk.img" "$out/partitions/exfat"
)
if command -v mkfs.exfat >/dev/null; then exfat_seed; fi

python3 - "$out/filetype" <<'PY'
import io, sys, tarfile, zipfile, struct, zlib
out = sys.argv[1]
b = io.BytesIO(); z = zipfile.ZipFile(b, 'w'); z.writestr('a.txt', 'x' * 1000); z.close()
open(out + '/zip', 'wb').write(b.getvalue()[:4096])
b = io.BytesIO(); t = tarfile.open(fileobj=b, mode='w'); i = tarfile.TarInfo('a'); i.size = 10; t.addfile(i, io.BytesIO(b'0123456789')); t.close()
open(out + '/tar', 'wb').write(b.getvalue()[:4096])
png = b'\x89PNG\r\n\x1a\n' + struct.pack('>I', 13) + b'IHDR' + struct.pack('>IIBBBBB', 1, 1, 8, 0, 0, 0, 0)
open(out + '/png', 'wb').write(png + bytes(4096 - len(png)))
frame = bytes([0xFF, 0xFB, 0x90, 0x44]) + bytes(413)
open(out + '/mp3', 'wb').write((frame * 10)[:4096])
open(out + '/dxf', 'wb').write(b'  0\r\nSECTION\r\n  2\r\nHEADER\r\n' + bytes(4000))
open(out + '/html', 'wb').write(b'<!doctype><HTML><body>' + bytes(4000))
import gzip, wave
open(out + '/gz', 'wb').write(gzip.compress(bytes(i * i % 251 for i in range(6000)) + b'text ' * 300))
with wave.open(out + '/.wav', 'wb') as w:
    w.setnchannels(1); w.setsampwidth(2); w.setframerate(8000)
    w.writeframes(b''.join(struct.pack('<h', (i * 37) % 2000 - 1000) for i in range(3000)))
PY
if command -v flac >/dev/null; then flac --silent -f "$out/filetype/.wav" -o "$out/filetype/flac"; fi
rm -f "$out/filetype/.wav"
# Small movies whose sample tables, NAL units, AAC frames, H.263 pictures
# and MPEG-4 and JPEG frames the checks of the size finder follow.
if command -v ffmpeg >/dev/null; then
  ffq() { ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc=s=128x96:d=0.4 -f lavfi -i sine=f=300 -t 0.4 -shortest "$@"; }
  ffq -c:v libx264 -preset ultrafast -c:a aac -f mp4 "$out/filetype/mp4"
  ffq -c:v h263 -q:v 10 -c:a aac -ar 8000 -ac 1 -f 3gp "$out/filetype/3gp"
  ffq -c:v mpeg4 -q:v 8 -c:a pcm_s16le -ar 8000 -ac 1 -f avi "$out/filetype/avi"
  ffq -c:v mjpeg -q:v 8 -an -f avi "$out/filetype/avi-mjpeg"
fi
# Small WebP pictures, lossy with a lossless alpha plane and lossless,
# whose VP8 and VP8L bitstreams the checks decode.
if command -v cwebp >/dev/null && command -v convert >/dev/null; then
  convert -size 48x32 gradient:red-blue -alpha set -channel A -fx 'i/w' "png32:$tmp/w.png"
  cwebp -quiet -q 50 "$tmp/w.png" -o "$out/filetype/webp"
  cwebp -quiet -lossless "$tmp/w.png" -o "$out/filetype/webp-lossless"
fi
echo "seeds in $out"
