#!/usr/bin/env bash
# The updater against a real Linux kernel's USB mass-storage stack, under QEMU
# (TCG, no KVM needed). The guest runs Debian's kernel (linux-image-amd64,
# unpacked from its .deb) with an xHCI controller and two USB disks: the
# calculator ("ZK" "Norza update", serial NZ0001), whose bytes are an emulated
# calculator served by norza-emu-fuse, and a memory stick over a plain file.
# A busybox initramfs mounts the host's root read-only over virtio-9p and
# runs scripts/qemu/guest.sh chrooted into it: norza-link list, download and
# finish as root, udevd with packaging/70-norza-calculator.rules giving the
# seat's user (uid 65534) the calculator, and the real norza-updater run by
# that user (offscreen, real pacing). Afterwards the host checks every image
# byte on the calculator's disk file, the calculator's journal (the commands
# at sector 170 arrived as commands) and that the stick is untouched.
#
#   scripts/qemu-usb-e2e.sh            the check; PASS/FAIL verdict
#   scripts/qemu-usb-e2e.sh --capture  the same, and rewrites the sysfs fixture
#                                      tests/link/fixtures/qemu-usb-storage.sysfs
#
# Needs root and /dev/fuse; installs its Debian packages (scripts/deps.sh
# qemu) and keeps the kernel's .deb in $NORZA_QEMU_CACHE (default
# /var/cache/norza-qemu). Skips (exit 0) with a message where it cannot run.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
fixture=tests/link/fixtures/qemu-usb-storage.sysfs

capture=0
case "${1:-}" in
  "") ;;
  --capture) capture=1 ;;
  -h|--help) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
  *) echo "usage: $0 [--capture]" >&2; exit 2 ;;
esac

skip() { echo "qemu-usb-e2e: SKIP: $*"; exit 0; }
[[ $(id -u) -eq 0 ]] || skip "needs root (FUSE mount, Debian packages)"
[[ -c /dev/fuse ]] || skip "no /dev/fuse on this machine"
bash scripts/deps.sh qemu || skip "the Debian packages for QEMU could not be installed"
command -v qemu-system-x86_64 >/dev/null || skip "qemu-system-x86_64 is missing"
# QEMU itself must start here (TCG: no KVM is needed).
if ! probe=$(echo quit | timeout 60 qemu-system-x86_64 -machine none -accel tcg -nodefaults \
    -no-user-config -display none -monitor stdio 2>&1); then
  skip "QEMU cannot start on this machine: $(tail -n 1 <<<"$probe")"
fi
[[ -x /bin/busybox ]] || skip "no busybox (busybox-static)"

total_start=$(date +%s%N)
ms_since() { echo $((($(date +%s%N) - $1) / 1000000)); }

echo "== the kernel: Debian's linux-image-amd64"
cache=${NORZA_QEMU_CACHE:-/var/cache/norza-qemu}
mkdir -p "$cache"
# The ABI package linux-image-amd64 points to now: old ones leave the archive.
kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
if [[ -z $kpkg ]]; then
  apt-get update -qq || true
  kpkg=$(apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
fi
[[ -n $kpkg ]] || skip "linux-image-amd64 is not in the package lists"
kversion=${kpkg#linux-image-}
modules=(virtio_pci 9pnet_virtio 9p xhci-pci usb-storage:delay_use=0 sd_mod loop:max_loop=1)
kdir="$cache/$kversion"
stamp="${modules[*]}"
if [[ ! -f $kdir/modules.cpio || $(cat "$kdir/stamp" 2>/dev/null) != "$stamp" ]]; then
  start=$(date +%s%N)
  deb=$(ls "$cache/${kpkg}_"*.deb 2>/dev/null | tail -n 1 || true)
  if [[ -z $deb ]]; then
    # apt fetches as _apt: give it a folder of its own.
    download="$cache/download"
    rm -rf "$download" && mkdir -p "$download"
    id _apt >/dev/null 2>&1 && chown _apt "$download"
    (cd "$download" && apt-get download -q "$kpkg" >/dev/null) ||
      { apt-get update -qq && (cd "$download" && apt-get download -q "$kpkg" >/dev/null); } ||
      skip "cannot download $kpkg"
    # Only the current kernel is kept.
    find "$cache" -maxdepth 1 -name 'linux-image-*.deb' -delete
    find "$cache" -mindepth 1 -maxdepth 1 -type d ! -name download -exec rm -rf {} +
    mv "$download"/*.deb "$cache/"
    rm -rf "$download"
    deb=$(ls "$cache/${kpkg}_"*.deb | tail -n 1)
  fi
  unpacked=$(mktemp -d "$cache/unpack.XXXXXX")
  dpkg-deb -x "$deb" "$unpacked"
  # The package carries no modules.dep (its postinst runs depmod).
  depmod -b "$unpacked" "$kversion"
  mkdir -p "$kdir"
  cp "$unpacked/boot/vmlinuz-$kversion" "$kdir/vmlinuz"
  python3 scripts/qemu/initramfs.py modules "$kdir/modules.cpio" \
    "$unpacked/lib/modules/$kversion" "${modules[@]}"
  rm -rf "$unpacked"
  echo "$stamp" >"$kdir/stamp"
  echo "prepared $kpkg in $(ms_since "$start") ms"
fi
kdeb=$(basename "$(ls "$cache/${kpkg}_"*.deb 2>/dev/null | tail -n 1)")
echo "kernel: $kpkg (${kdeb:-deb removed}), cached in $kdir"

echo "== build (build-e2e)"
start=$(date +%s%N)
cmake -S . -B build-e2e -G Ninja -DNORZA_BUILD_FUSE=ON >/dev/null
cmake --build build-e2e --target norza-updater norza-link norza-emu norza-emu-fuse >/dev/null
bin="$root/build-e2e/bin"
echo "built in $(ms_since "$start") ms"

work=$(mktemp -d "${TMPDIR:-/tmp}/norza-qemu.XXXXXX")
chmod 755 "$work"  # the guest's user reads the images below it
mnt="$work/mnt" share="$work/share"
fuse_pid="" qemu_pidfile="$work/qemu.pid"
teardown() {  # safe to run twice
  if [[ -s $qemu_pidfile ]]; then
    local pid
    pid=$(cat "$qemu_pidfile")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$qemu_pidfile"
  fi
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
source scripts/lib/check.sh
source scripts/lib/fuse.sh

echo "== the calculator: an emulated disk served by norza-emu-fuse"
calcs="$work/calculators"
"$bin/norza-emu" plug "$calcs" calc >/dev/null
mkdir -p "$mnt"
start_fuse_server "$bin/norza-emu-fuse" "$mnt" "$calcs/calc.disk" "$work" ||
  skip "this machine refuses FUSE mounts"
echo "$fuse_ready"

echo "== the memory stick: a plain file"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/stick.img"
stick_before=$(sha256sum <"$work/stick.img")
echo "sha256 ${stick_before%% *}"

echo "== two image sets"
# Set A through norza-link, away from set B's regions so both can be checked
# at the end; sizes that are no whole sectors take the link's partial-sector
# path. Set B, for the updater, puts the OS image over the command window.
mkdir -p "$share/images-a" "$share/firmware"
names_a=(A1.BIN A2.BIN A3.BIN)
offsets_a=(0x200000 0x300000 0x600000)
sizes_a=($((200 * 1024 + 512)) $((64 * 1024 + 300)) $((300 * 1024)))
names_b=(NORZA_APP.DAT NORZA_MASTER.DAT NORZA_OS.ROM)
offsets_b=(0x500000 0x100000 0)
sizes_b=($((256 * 1024 + 1536)) $((128 * 1024)) $((96 * 1024 + 700)))
for i in 0 1 2; do
  head -c "${sizes_a[$i]}" /dev/urandom >"$share/images-a/${names_a[$i]}"
  head -c "${sizes_b[$i]}" /dev/urandom >"$share/firmware/${names_b[$i]}"
  printf '  %-18s %7d bytes -> %-8s   %-8s %7d bytes -> %s\n' "${names_b[$i]}" "${sizes_b[$i]}" \
    "${offsets_b[$i]}" "${names_a[$i]}" "${sizes_a[$i]}" "${offsets_a[$i]}"
done
chmod -R a+rX "$share"

qemu_version=$(qemu-system-x86_64 --version | head -n 1)
cat >"$share/guest.conf" <<EOF
BIN='$bin'
RULE='$root/packaging/70-norza-calculator.rules'
CAPTURE='$root/scripts/qemu/capture_sysfs.py'
NOTE='Debian $kpkg (${kdeb:-}) under ${qemu_version}:
qemu-xhci; usb-bot serial=NZ0001 + scsi-hd vendor=ZK product="Norza update" ver=1.00 (the calculator);
usb-bot serial=4C530001 + scsi-hd vendor=Generic product="Flash Disk" ver=8.07 removable=on (a memory stick); loop.
Regenerate with: scripts/qemu-usb-e2e.sh --capture'
USER_ID=65534
IMAGES_A='$share/images-a'
NAMES_A='${names_a[*]}'
OFFSETS_A='${offsets_a[*]}'
IMAGES_B='$share/firmware'
EOF
cat >"$work/norza.conf" <<EOF
SHARE='$share'
REPO='$root'
SCRIPT='$root/scripts/qemu/guest.sh'
EOF
python3 scripts/qemu/initramfs.py base "$work/base.cpio" /bin/busybox scripts/qemu/init.sh \
  "$work/norza.conf"
cat "$kdir/modules.cpio" "$work/base.cpio" >"$work/initrd"

echo "== the guest (QEMU TCG, 1 CPU, 512 MiB)"
qemu=(qemu-system-x86_64 -accel tcg,tb-size=256 -cpu max -smp 1 -m 512
  -nodefaults -no-user-config -display none -no-reboot
  -serial "file:$work/console.log" -pidfile "$qemu_pidfile"
  -kernel "$kdir/vmlinuz" -initrd "$work/initrd"
  -append "console=ttyS0 loglevel=4 panic=-1 rdinit=/init"
  -fsdev "local,id=hostroot,path=/,security_model=none,readonly=on,multidevs=remap"
  -device virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot
  -fsdev "local,id=results,path=$share,security_model=none,multidevs=remap"
  -device virtio-9p-pci,fsdev=results,mount_tag=results
  -device qemu-xhci,id=xhci
  # Not cache=none: QEMU's O_DIRECT path turns each 512-byte command into a
  # 4 KiB read-modify-write, and the calculator never sees a command.
  -drive "if=none,id=calc,file=$mnt/calc.disk,format=raw,cache=writeback,file.locking=off"
  -device usb-bot,id=bot0,bus=xhci.0,serial=NZ0001
  -device "scsi-hd,bus=bot0.0,drive=calc,vendor=ZK,product=Norza update,ver=1.00"
  -drive "if=none,id=stick,file=$work/stick.img,format=raw,cache=writeback,file.locking=off"
  -device usb-bot,id=bot1,bus=xhci.0,serial=4C530001
  -device "scsi-hd,bus=bot1.0,drive=stick,vendor=Generic,product=Flash Disk,ver=8.07,removable=on"
  # The checkout on its own share: under /tmp or /run it would be hidden by
  # the guest's own tmpfs there. Last, so the controller keeps its PCI slot
  # (the captured sysfs names it).
  -fsdev "local,id=repo,path=$root,security_model=none,readonly=on,multidevs=remap"
  -device virtio-9p-pci,fsdev=repo,mount_tag=repo)
start=$(date +%s%N)
set +e
/usr/bin/time -o "$work/qemu.time" -f '%e %U %S %M' timeout 1800 "${qemu[@]}" &
wait $!
qemu_code=$?
set -e
qemu_ms=$(ms_since "$start")
rm -f "$qemu_pidfile"
read -r q_wall q_user q_sys q_rss <"$work/qemu.time" 2>/dev/null || q_wall=? q_user=? q_sys=? q_rss=0
echo "QEMU exited with $qemu_code after $qemu_ms ms (CPU user ${q_user} s, system ${q_sys} s, max RSS $((q_rss / 1024)) MiB)"
sed 's/^/  guest | /' "$share/guest.log" 2>/dev/null || echo "  (no guest log)"
guest_rc=$(cat "$share/guest.rc" 2>/dev/null || echo none)
check "QEMU exits 0" test "$qemu_code" -eq 0
check "the guest's checks pass (guest exit code $guest_rc)" test "$guest_rc" = 0
if [[ $guest_rc != 0 ]]; then
  echo "  last kernel messages:"
  tail -n 30 "$work/console.log" | sed 's/^/  console | /'
fi

# The mount ends here, so every byte is in the disk file before it is read.
teardown
echo "== the calculator's disk file and journal, the stick's file"
for i in 0 1 2; do
  check "${names_a[$i]} (norza-link) byte-exact at ${offsets_a[$i]}" \
    bash -c '"$0" verify "$@" >/dev/null' "$bin/norza-emu" "$calcs" calc \
    "$share/images-a/${names_a[$i]}" "${offsets_a[$i]}"
  check "${names_b[$i]} (norza-updater) byte-exact at ${offsets_b[$i]}" \
    bash -c '"$0" verify "$@" >/dev/null' "$bin/norza-emu" "$calcs" calc \
    "$share/firmware/${names_b[$i]}" "${offsets_b[$i]}"
done
check "the memory stick is untouched" test "$(sha256sum <"$work/stick.img")" = "$stick_before"

# The journal in two parts: norza-link's run ends with its CMD_FINISH, the
# updater's follows. Each must be the whole protocol, commands seen as such.
if python3 - "$calcs/calc.journal" "$work/timing" "$work" <<'EOF'
import json, sys
journal, timing, out = sys.argv[1:]
lines = open(journal).read().splitlines(keepends=True)
timed = open(timing).read().splitlines(keepends=True)
finish = [n for n, l in enumerate(lines) if json.loads(l).get("name") == "CMD_FINISH"]
if len(finish) != 2 or len(timed) != len(lines):
    print(f"  journal: {len(finish)} CMD_FINISH, {len(lines)} events, {len(timed)} timed")
    sys.exit(1)
for part, (a, b) in (("a", (0, finish[0] + 1)), ("b", (finish[0] + 1, len(lines)))):
    open(f"{out}/{part}.journal", "w").writelines(lines[a:b])
    open(f"{out}/{part}.timing", "w").writelines(timed[a:b])
EOF
then
  echo "-- norza-link's part"
  check "journal: norza-link's protocol sequence" \
    bash -c 'set -o pipefail; python3 tests/system/journal_check.py "$0/a.journal" "$0/a.timing" 3 | tee "$0/a.check"' "$work"
  echo "-- the updater's part"
  check "journal: the updater's protocol sequence" \
    bash -c 'set -o pipefail; python3 tests/system/journal_check.py "$0/b.journal" "$0/b.timing" 3 | tee "$0/b.check"' "$work"
else
  check "journal: two runs, each ending with CMD_FINISH" false
fi
"$bin/norza-emu" journal "$calcs" calc | sed 's/^/  journal | /'

echo "== sysfs of the guest"
if [[ -s $share/sysfs.txt ]]; then
  if [[ $capture -eq 1 ]]; then
    mkdir -p "$(dirname "$fixture")"
    cp "$share/sysfs.txt" "$fixture"
    echo "wrote $fixture ($(grep -vc '^#' "$fixture") entries)"
  elif [[ -f $fixture ]] && ! diff -q <(grep -v '^#' "$fixture") <(grep -v '^#' "$share/sysfs.txt") >/dev/null; then
    echo "note: this kernel's sysfs differs from $fixture (refresh it with --capture):"
    diff -u <(grep -v '^#' "$fixture") <(grep -v '^#' "$share/sysfs.txt") | sed -n '3,23p'
  else
    echo "the same as $fixture"
  fi
else
  check "sysfs captured" false
fi

echo
total_ms=$(ms_since "$total_start")
if [[ $failed -ne 0 ]]; then
  echo "qemu-usb-e2e: FAIL"
  exit 1
fi
echo "qemu-usb-e2e: PASS (guest ${qemu_ms} ms, QEMU CPU $q_user+$q_sys s, max RSS $((q_rss / 1024)) MiB;" \
  "$(grep '^throughput:' "$work/b.check" | sed 's/.*(\(.*\))/updater data phase \1/'); total $total_ms ms)"
