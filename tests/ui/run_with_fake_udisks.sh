#!/usr/bin/env bash
# Runs the disk-service test of the window against a fake UDisks2 on a private
# bus: a FAT disk image that only root may read is handed to the window,
# which runs as a user who may not open the machine's disks (nobody, when
# this runs as root), through the descriptor the fake service passes over.
# A second run without the service checks what the window then says.
#   run_with_fake_udisks.sh TEST-PROGRAM SOURCE-FOLDER
set -euo pipefail
program=$1
source=$2
skip() { echo "SKIPPED: $*"; exit 77; }
for tool in dbus-daemon mkfs.fat mcopy /usr/bin/python3; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
/usr/bin/python3 -c 'import dbus, gi' 2>/dev/null || skip "python3-dbus and python3-gi are missing"

work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

# The disk: a whole-disk FAT16 volume with one file, readable by root alone.
mkfs.fat -C -n SERVICEDISK -i 5e1f1ce0 "$work/disk.img" 8192 >/dev/null
printf 'read through the disk service\n' >"$work/hello.txt"
mcopy -i "$work/disk.img" "$work/hello.txt" ::HELLO.TXT
chmod 600 "$work/disk.img"

# A bus that any user of this machine may use.
cat >"$work/bus.conf" <<'CONF'
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
CONF

# Starts a bus; its address in $address.
start_bus() {
  rm -f "$work/address"
  dbus-daemon --config-file="$work/bus.conf" --nofork --print-address=3 3>"$work/address" </dev/null >/dev/null 2>"$work/bus.log" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$work/address" ] && break; sleep 0.05; done
  [ -s "$work/address" ] || { echo "FAIL: the bus did not start" >&2; exit 1; }
  address=$(head -n1 "$work/address")
}

mkdir -p "$work/home"
chmod 700 "$work/home"
as_user=()
if [ "$(id -u)" = 0 ]; then
  command -v setpriv >/dev/null || skip "setpriv is missing"
  chown nobody "$work/home"
  as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  "${as_user[@]}" test -x "$program" || skip "nobody may not run $program"
fi
# The sanitizers' settings of the sanitizer build go through to the test.
sanitizers=()
for name in ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS; do
  if [ -n "${!name:-}" ]; then sanitizers+=("$name=${!name}"); fi
done
run_test() {
  local address=$1
  shift
  "${as_user[@]}" env -i "${sanitizers[@]}" PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/home/config" \
    XDG_RUNTIME_DIR="$work/home" QT_QPA_PLATFORM=offscreen LC_ALL=C.UTF-8 \
    DBUS_SYSTEM_BUS_ADDRESS="$address" VANTREL_FAKE_UDISKS_LOG="$work/calls.log" \
    timeout 60 "$program" "$@"
}

# With the disk service.
start_bus
/usr/bin/python3 "$source/fake_udisks.py" "$address" "$work/disk.img" "$work/calls.log" </dev/null &
fake=$!
pids+=($fake)
for _ in $(seq 200); do
  grep -qx ready "$work/calls.log" 2>/dev/null && break
  kill -0 "$fake" 2>/dev/null || break
  sleep 0.05
done
grep -qx ready "$work/calls.log" || { echo "FAIL: the fake disk service did not start" >&2; exit 1; }
chmod 644 "$work/calls.log"
status=0
run_test "$address" ReadsADiskThroughTheDiskService || status=$?
[ "$status" = 0 ] || exit "$status"

# A bus without it.
start_bus
run_test "$address" SaysHowToGetThePermissionWithoutTheService
