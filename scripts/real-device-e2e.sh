#!/usr/bin/env bash
# The updater against real kernel block devices: an emulated
# calculator served by norza-emu-fuse as one file with direct I/O, a loop
# device over it, and a fake sysfs tree (NORZA_SYSFS_ROOT/NORZA_DEV_ROOT)
# presenting that loop device as the USB disk "ZK" "Norza update", beside a
# second loop device over a plain file presented as another vendor's USB disk.
# norza-updater of a build with the test seams (build-e2e/; the packaged one
# reads no NORZA_SYSFS_ROOT) runs a whole update through the Linux backend
# (O_DIRECT | O_SYNC); the calculator answers the command protocol through
# the kernel.
# Checks every image byte for byte, the calculator's protocol sequence, and
# that the other disk is untouched; prints the data phase's throughput.
# Needs root, /dev/fuse and loop devices; skips (exit 0) with a message
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

skip() { echo "real-device-e2e: SKIP: $*"; exit 0; }
[[ $(id -u) -eq 0 ]] || skip "needs root for loop devices and FUSE mounts"
[[ -c /dev/fuse ]] || skip "no /dev/fuse on this machine"
[[ -c /dev/loop-control ]] || skip "no loop devices on this machine (/dev/loop-control)"
command -v losetup >/dev/null || skip "losetup (util-linux) is missing"

pkg-config --exists fuse3 && command -v fusermount3 >/dev/null || bash scripts/deps.sh full >&2
bash scripts/deps.sh build >&2
# The same tree as the QEMU check: the default build (test seams on) with the FUSE server.
cmake -S . -B build-e2e -G Ninja -DNORZA_BUILD_FUSE=ON >/dev/null
cmake --build build-e2e --target norza-updater norza-link norza-emu norza-emu-fuse >/dev/null
bin="$root/build-e2e/bin"
fuse_server="$bin/norza-emu-fuse"
export PATH="$bin:$PATH"

work=$(mktemp -d "${TMPDIR:-/tmp}/norza-real.XXXXXX")
mnt="$work/mnt"
calc_loop="" stick_loop="" fuse_pid=""
teardown() {  # safe to run twice
  [[ -n $calc_loop ]] && { losetup -d "$calc_loop" 2>/dev/null || true; calc_loop=""; }
  [[ -n $stick_loop ]] && { losetup -d "$stick_loop" 2>/dev/null || true; stick_loop=""; }
  if [[ -n $fuse_pid ]]; then
    stop_fuse_server "$mnt" "$fuse_pid"
    fuse_pid=""
  fi
}
cleanup() {
  teardown
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM


# shellcheck source=lib/check.sh
source scripts/lib/check.sh  # the scripts run from the repository root
source scripts/lib/fuse.sh

echo "== the calculator: an emulated disk behind FUSE and a loop device"
calcs="$work/calculators"
norza-emu plug "$calcs" calc >/dev/null
mkdir -p "$mnt"
start_fuse_server "$fuse_server" "$mnt" "$calcs/calc.disk" "$work" ||
  skip "this machine refuses FUSE mounts"
echo "$fuse_ready"
dio=on
if ! calc_loop=$(losetup --find --show --direct-io=on "$mnt/calc.disk" 2>/dev/null); then
  dio=off
  calc_loop=$(losetup --find --show "$mnt/calc.disk") || skip "no free loop device"
fi
echo "calculator: $calc_loop over $mnt/calc.disk (loop direct I/O $dio; the FUSE file is direct_io either way)"

echo "== a memory stick: a loop device over a plain file"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/stick.img"
stick_loop=$(losetup --find --show "$work/stick.img") || skip "no second free loop device"
stick_before=$(sha256sum <"$stick_loop")
echo "memory stick: $stick_loop, sha256 ${stick_before%% *}"

echo "== a sysfs tree presenting both as USB disks"
sys="$work/sys" dev="$work/dev"
mkdir -p "$sys/block" "$dev"
usb_disk() {  # kernel name, port, vendor, model, serial, node
  local name=$1 port=$2 vendor=$3 model=$4 serial=$5 node=$6
  local usb="devices/pci0000:00/0000:00:14.0/usb1/1-$port" host=$((port + 5))
  local scsi="$usb/1-$port:1.0/host$host/target$host:0:0/$host:0:0:0"
  # As the kernel lays it out: block/<name> links to the unit's block/<name>,
  # whose device link points back up to the SCSI unit (a disk: type 0).
  mkdir -p "$sys/$scsi/block/$name/queue"
  echo 1d6b >"$sys/$usb/idVendor"
  echo "$serial" >"$sys/$usb/serial"
  # Padded as the kernel pads SCSI inquiry strings.
  printf '%-8s\n' "$vendor" >"$sys/$scsi/vendor"
  printf '%-16s\n' "$model" >"$sys/$scsi/model"
  printf '%-4s\n' 1.00 >"$sys/$scsi/rev"
  echo 0 >"$sys/$scsi/type"
  echo 512 >"$sys/$scsi/block/$name/queue/logical_block_size"
  ln -s "../../../$host:0:0:0" "$sys/$scsi/block/$name/device"
  ln -s "../$scsi/block/$name" "$sys/block/$name"
  ln -s "$node" "$dev/$name"
}
usb_disk sdx 1 ZK "Norza update" NZ0001 "$calc_loop"
usb_disk sdy 2 Generic "Flash Disk" 4C530001 "$stick_loop"
mkdir -p "$sys/devices/virtual/block/loop7" && ln -s ../devices/virtual/block/loop7 "$sys/block/loop7"
export NORZA_SYSFS_ROOT="$sys" NORZA_DEV_ROOT="$dev"
unset NORZA_EMULATOR_DIR
listed=$(norza-link list)
echo "norza-link list: $listed"
check "only the calculator is listed" test "$(grep -c . <<<"$listed")" -eq 1 -a -n "$(grep 'ven_zk&prod_norza_update' <<<"$listed")"

echo "== a complete update by norza-updater through the block device"
images="$work/firmware"
mkdir -p "$images"
names=(NORZA_APP.DAT NORZA_MASTER.DAT NORZA_OS.ROM)
offsets=(0x500000 0x100000 0)
sizes=($((8 * 1024 * 1024 + 1536)) $((2 * 1024 * 1024)) $((960 * 1024 + 512)))
for i in 0 1 2; do head -c "${sizes[$i]}" /dev/urandom >"$images/${names[$i]}"; done
start=$(date +%s%N)
set +e
QT_QPA_PLATFORM=offscreen NORZA_PACE_SCALE=0.01 timeout 300 "$bin/norza-updater" "$images" 1 \
  >"$work/updater.log" 2>&1
code=$?
set -e
echo "the updater ran $((($(date +%s%N) - start) / 1000000)) ms and exited with $code"
check "exit code 0" test "$code" -eq 0
[[ $code -eq 0 ]] || sed 's/^/  | /' "$work/updater.log"
stick_after=$(sha256sum <"$stick_loop")

# Everything the kernel holds goes to the disk file before it is read.
teardown
for i in 0 1 2; do
  check "${names[$i]} (${sizes[$i]} bytes) byte-exact at ${offsets[$i]}" \
    bash -c 'norza-emu verify "$@" >/dev/null' _ "$calcs" calc "$images/${names[$i]}" "${offsets[$i]}"
done
check "the memory stick is untouched (device checksum)" test "$stick_after" = "$stick_before"
check "the memory stick's file is untouched" test "$(sha256sum <"$work/stick.img")" = "$stick_before"
echo "== the calculator's journal"
if python3 "$root/tests/system/journal_check.py" "$calcs/calc.journal" "$work/timing" 3 | tee "$work/check"; then
  echo "ok   journal"
else
  echo "FAIL journal"
  failed=1
fi

echo
if [[ $failed -ne 0 ]]; then
  echo "real-device-e2e: FAIL"
  exit 1
fi
echo "real-device-e2e: PASS ($(grep '^throughput:' "$work/check"), loop direct I/O $dio)"
