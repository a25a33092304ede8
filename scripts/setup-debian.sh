#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only the missing ones).
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libblkid-dev libcurl4-openssl-dev libssl-dev
  dosfstools mtools fdisk python3 xxd lame strace e2fsprogs
  clang libclang-rt-14-dev bc
  qt6-base-dev qt6-translations-l10n fonts-noto-cjk shared-mime-info xvfb xauth imagemagick
  zip sqlite3 p7zip-full flac ffmpeg testdisk
  g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine wine64 googletest
  ccache zlib1g-dev libz-mingw-w64-dev liblzma-dev libxml2-utils
  exfatprogs exfat-fuse fuse3 libfuse3-dev gddrescue python3-fusepy
  dbus python3-dbusmock desktop-file-utils appstream lintian libfuse2 libimage-exiftool-perl webp
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
