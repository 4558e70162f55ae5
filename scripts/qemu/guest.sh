#!/bin/bash
# Runs inside the QEMU guest of scripts/qemu-usb-e2e.sh, chrooted into the
# host's root (read-only) with the guest's own /proc, /sys, /dev, /run and
# /tmp. SHARE is the writable results folder; SHARE/guest.conf says what to
# run. Everything it checks is written to SHARE/guest.log as ok/FAIL lines;
# the exit code is 1 when a check failed.
set -uo pipefail
share=$1
# shellcheck source=/dev/null
source "$share/guest.conf"  # BIN RULE CAPTURE NOTE USER_ID IMAGES_A NAMES_A OFFSETS_A IMAGES_B
exec >"$share/guest.log" 2>&1
failed=0
check() {
  local what=$1
  shift
  if "$@"; then echo "ok   $what"; else echo "FAIL $what"; failed=1; fi
}
as_user() { setpriv --reuid="$USER_ID" --regid="$USER_ID" --clear-groups "$@"; }
trim() { sed 's/[[:space:]]*$//' "$1" 2>/dev/null; }
echo "guest: Linux $(uname -r), $(nproc) CPU, $(awk '/MemTotal/ {print $2 " kB"}' /proc/meminfo)"

# USB enumeration under TCG takes a few seconds after the modules load.
calc="" stick=""
for _ in $(seq 1 600); do
  for entry in /sys/block/sd*; do
    [[ -e $entry/device/vendor ]] || continue
    case "$(trim "$entry/device/vendor")" in
      ZK) calc=${entry##*/} ;;
      Generic) stick=${entry##*/} ;;
    esac
  done
  [[ -n $calc && -n $stick && -b /dev/$calc && -b /dev/$stick ]] && break
  sleep 0.1
done
echo "calculator: ${calc:-none}, memory stick: ${stick:-none}"
if [[ -z $calc || -z $stick ]]; then
  echo "FAIL the two USB disks did not appear"
  ls -l /sys/block
  exit 1
fi

names=("$calc" "$stick")
[[ -e /sys/block/loop0 ]] && names+=(loop0)
check "sysfs captured (${names[*]})" python3 "$CAPTURE" /sys "$share/sysfs.txt" "$NOTE" "${names[@]}"

echo "== norza-link list, as root"
listed=$("$BIN/norza-link" list)
echo "$listed" | sed 's/^/  | /'
expected='\\?\usbstor#disk&ven_zk&prod_norza_update&rev_1.00#nz0001&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}'
check "exactly the calculator is listed, on /dev/$calc" test "$listed" = "$expected"$'\t'"/dev/$calc"

echo "== norza-link download and finish, as root"
read -r -a names_a <<<"$NAMES_A"
read -r -a offsets_a <<<"$OFFSETS_A"
for i in "${!names_a[@]}"; do
  start=$(date +%s%N)
  "$BIN/norza-link" download "$IMAGES_A/${names_a[$i]}" "${offsets_a[$i]}" >"$share/download-$i.log"
  code=$?
  echo "  download ${names_a[$i]} -> ${offsets_a[$i]}: code $code," \
    "$((($(date +%s%N) - start) / 1000000)) ms, last $(tail -n 1 "$share/download-$i.log")"
  check "norza-link download ${names_a[$i]} exits 0" test "$code" -eq 0
done
"$BIN/norza-link" finish
check "norza-link finish exits 0" test "$?" -eq 0

echo "== udevd with the project's rule; uid $USER_ID holds the seat"
check "uid $USER_ID cannot write the calculator before udev" bash -c "! setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups test -w /dev/$calc"
mkdir -p /run/udev/rules.d /run/systemd/seats
cp "$RULE" /run/udev/rules.d/
# logind's record of the seat's active user, which the uaccess builtin reads.
printf 'ACTIVE=c1\nACTIVE_UID=%s\n' "$USER_ID" >/run/systemd/seats/seat0
# udevd refuses to act inside a chroot unless told.
export SYSTEMD_IGNORE_CHROOT=1
/lib/systemd/systemd-udevd --daemon --resolve-names=never
udevadm trigger --action=add --subsystem-match=block
udevadm settle --timeout=120
props() { udevadm info --query=property --name="/dev/$1"; }
props "$calc" | grep -E '^(ID_BUS|ID_VENDOR|ID_MODEL|ID_SERIAL_SHORT|ID_NORZA_CALCULATOR|TAGS|CURRENT_TAGS)=' | sed 's/^/  calculator | /'
props "$stick" | grep -E '^(ID_BUS|ID_VENDOR|ID_MODEL|ID_NORZA_CALCULATOR|TAGS)=' | sed 's/^/  stick      | /'
check "the rule marks the calculator" bash -c "udevadm info --query=property --name=/dev/$calc | grep -qx 'ID_NORZA_CALCULATOR=1'"
check "the rule leaves the memory stick alone" bash -c "! udevadm info --query=property --name=/dev/$stick | grep -q '^ID_NORZA_CALCULATOR='"
check "uid $USER_ID may write the calculator (uaccess ACL)" as_user test -r "/dev/$calc" -a -w "/dev/$calc"
check "uid $USER_ID may not open the memory stick" bash -c "! setpriv --reuid=$USER_ID --regid=$USER_ID --clear-groups test -r /dev/$stick"

echo "== norza-updater (offscreen, real pacing) as uid $USER_ID"
home=/tmp/home-$USER_ID
mkdir -p "$home/runtime" && chown -R "$USER_ID:$USER_ID" "$home" && chmod 700 "$home/runtime"
listed_user=$(as_user "$BIN/norza-link" list)
check "uid $USER_ID lists the calculator" test "$listed_user" = "$expected"$'\t'"/dev/$calc"
start=$(date +%s%N)
as_user env HOME="$home" XDG_RUNTIME_DIR="$home/runtime" QT_QPA_PLATFORM=offscreen \
  timeout 900 "$BIN/norza-updater" "$IMAGES_B" 1 >"$share/updater.log" 2>&1
code=$?
echo "  the updater ran $((($(date +%s%N) - start) / 1000000)) ms and exited with $code"
check "norza-updater exits 0" test "$code" -eq 0
[[ $code -eq 0 ]] || sed 's/^/  | /' "$share/updater.log"

udevadm control --exit
exit "$failed"
