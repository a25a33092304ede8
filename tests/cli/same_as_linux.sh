#!/usr/bin/env bash
# vantrel-cli.exe, run under Wine, lists, browses, reads and saves the same
# files from the sample disk image as vantrel-cli built for Linux: the same
# standard output of each command and the same saved trees, byte for byte.
# Usage: same_as_linux.sh LINUX_CLI WINDOWS_CLI WORK_FOLDER [EMULATOR...]
set -euo pipefail
linux_cli=$1 windows_cli=$2 work=$3
shift 3
emulator=("$@")
here=$(cd "$(dirname "$0")" && pwd)
rm -rf "$work"
mkdir -p "$work"
cd "$work"
# A name beyond ASCII for the image and the target folders: Windows gets
# them as UTF-16, whatever its ANSI code page.
image="样本 sample.img"
"$here/../../scripts/make-sample-image.sh" "$image" >/dev/null

# Paths are relative (the image, the target folders), so that the outputs
# do not differ by how each system writes a path.
commands='devices
drives
ls 1 / --view live --recursive
ls 1 / --view deleted --recursive
ls 2 / --view deleted --recursive --sort size
find 1 *.txt
cat 1 Documents/中文文件.txt
hex 1 readme.txt
save 1 / --to SIDE/saved/目标1
save 1 / --view deleted --to SIDE/saved/deleted1
save 2 / --view deleted --to SIDE/saved/deleted2'

run() {
  local side=$1
  shift
  mkdir -p "$side/saved"
  local n=0 line
  while IFS= read -r line; do
    n=$((n + 1))
    local words
    read -r -a words <<<"${line//SIDE/$side}"
    status=0
    "$@" --only-images --image "$image" "${words[@]}" >"$side/out$n.txt" 2>"$side/err$n.txt" || status=$?
    echo "exit $status" >>"$side/out$n.txt"
  done <<<"$commands"
}

run linux "$linux_cli"
run windows "${emulator[@]}" "$windows_cli"

status=0
for out in linux/out*.txt; do
  name=$(basename "$out")
  if ! cmp -s "$out" "windows/$name"; then
    echo "standard output differs for: $(sed -n "${name//[!0-9]/}p" <<<"$commands")"
    diff "$out" "windows/$name" | head -20 || true
    status=1
  fi
done
# The recovery report names each system's own target paths and times.
if ! diff -r -x report.xml linux/saved windows/saved; then
  echo "the saved trees differ"
  status=1
fi
saved=$(find linux/saved -type f | wc -l)
if [ "$saved" -lt 5 ]; then
  echo "only $saved files saved on Linux: the comparison proves little"
  status=1
fi
[ "$status" = 0 ] && echo "same output of $(wc -l <<<"$commands") commands and the same $saved saved files"
exit "$status"
