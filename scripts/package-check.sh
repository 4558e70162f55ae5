#!/usr/bin/env bash
# Builds the Debian package (Release, in build-pkg/), checks its contents,
# installs it with dpkg, runs the installed /usr/bin/norza-updater headless
# through a complete update of two emulated calculators, then removes and
# purges it and checks that nothing is left behind. Needs root.
#   scripts/package-check.sh               the whole check
#   scripts/package-check.sh --build-only  build the package, print its path
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=build-pkg
mode=${1:-}
case "$mode" in
  ""|--build-only) ;;
  *) echo "usage: $0 [--build-only]" >&2; exit 2 ;;
esac
say() { [[ $mode == --build-only ]] && echo "$*" >&2 || echo "$*"; }

for tool in dpkg-shlibdeps appstreamcli desktop-file-validate strace pkg-config; do
  command -v "$tool" >/dev/null || { bash scripts/deps.sh full >&2; break; }
done
pkg-config --exists fuse3 || bash scripts/deps.sh full >&2
bash scripts/deps.sh build >&2

# norza-emu-fuse is built here too (never packaged): real-device-e2e.sh uses it.
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_TESTS=OFF \
  -DNORZA_BUILD_FUSE=ON >/dev/null
cmake --build "$dir" -j2 >&2
rm -f "$dir"/package/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/package/norza-updater_*.deb)
if [[ $mode == --build-only ]]; then
  echo "$root/$deb"
  exit 0
fi
if [[ $(id -u) -ne 0 ]]; then
  echo "package-check: needs root to install the package" >&2
  exit 1
fi

# shellcheck source=lib/check.sh
source scripts/lib/check.sh  # the scripts run from the repository root

echo "== the package: $deb"
size=$(stat -c %s "$deb")
installed_kib=$(dpkg-deb -f "$deb" Installed-Size)
echo "size: $size bytes ($((size / 1024)) KiB), installed: $installed_kib KiB"
dpkg-deb -f "$deb" Package Version Maintainer Depends | sed 's/^/  /'
contents=$(dpkg-deb -c "$deb" | awk '{ print $6 ($7 ? " " $7 " " $8 : "") }' | sed 's|^\./|/|')
for path in /usr/lib/norza-updater/norza-updater /usr/lib/norza-updater/icons/varFolder_16x16.png \
            /usr/lib/norza-updater/icons/varFolder_32x32.png /usr/lib/norza-updater/resource/HelpEn.zkresource \
            /usr/bin/norza-link /usr/bin/norza-emu /usr/bin/zkres \
            /usr/lib/udev/rules.d/70-norza-calculator.rules \
            /usr/share/applications/com.zk.NorzaUpdater.desktop \
            /usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml \
            /usr/share/icons/hicolor/16x16/apps/norza-updater.png \
            /usr/share/icons/hicolor/64x64/apps/norza-updater.png \
            /usr/share/icons/hicolor/256x256/apps/norza-updater.png; do
  check "holds $path" grep -qx "$path" <<<"$contents"
done
check "/usr/bin/norza-updater is a link to ../lib/norza-updater/norza-updater" \
  grep -qx '/usr/bin/norza-updater -> ../lib/norza-updater/norza-updater' <<<"$contents"
check "depends on Qt (found by dpkg-shlibdeps)" grep -q 'libqt5widgets5' <<<"$(dpkg-deb -f "$deb" Depends)"
check "the FUSE test server is not shipped" bash -c "! grep -q norza-emu-fuse <<<\"\$1\"" _ "$contents"

work=$(mktemp -d "${TMPDIR:-/tmp}/norza-pkg.XXXXXX")
installed=0
cleanup() {
  if [[ $installed -eq 1 ]]; then dpkg -P norza-updater >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== the shipped desktop files"
dpkg-deb -x "$deb" "$work/tree"
check "desktop entry valid (desktop-file-validate)" \
  desktop-file-validate "$work/tree/usr/share/applications/com.zk.NorzaUpdater.desktop"
check "AppStream metainfo valid (appstreamcli validate --no-net)" \
  appstreamcli validate --no-net --no-color "$work/tree/usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml"
check "icons are PNGs of their size" bash -c '
  for s in 16 64 256; do
    file -b "$1/usr/share/icons/hicolor/${s}x$s/apps/norza-updater.png" | grep -q "PNG image data, $s x $s" || exit 1
  done' _ "$work/tree"
rules="$work/tree/usr/lib/udev/rules.d/70-norza-calculator.rules"
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
  check "udev rule (udevadm verify)" udevadm verify "$rules"
fi
check "udev rule: syntax and matches (rule evaluator)" bash -c 'python3 "$1" "$2" >/dev/null' _ \
  "$root/tests/system/udev_rule_test.py" "$rules"

echo "== installing"
if dpkg-query -W -f='${Status}' norza-updater 2>/dev/null | grep -q installed; then
  echo "norza-updater is installed already: purging it first"
  dpkg -P norza-updater >/dev/null
fi
if ! dpkg -i "$deb" >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -f -y -qq >/dev/null
fi
installed=1
check "dpkg reports it installed" bash -c "dpkg-query -W -f='\${Status}' norza-updater | grep -q 'install ok installed'"
check "norza-updater on the PATH is /usr/bin/norza-updater" test "$(command -v norza-updater)" = /usr/bin/norza-updater
check "it resolves to /usr/lib/norza-updater/norza-updater" \
  test "$(readlink -f /usr/bin/norza-updater)" = /usr/lib/norza-updater/norza-updater

echo "== a complete update by the installed updater (two emulated calculators)"
images="$work/firmware"
calcs="$work/calculators"
mkdir -p "$images"
# The legacy set, in the letter case a FAT disk might show.
names=(appsdisk.dat KORVAARM.ROM Master.dat)
offsets=(0x500000 0 0x100000)
sizes=($((2 * 1024 * 1024)) $((960 * 1024)) $((1024 * 1024)))
for i in 0 1 2; do head -c "${sizes[$i]}" /dev/urandom >"$images/${names[$i]}"; done
norza-emu plug "$calcs" calc-1 >/dev/null
norza-emu plug "$calcs" calc-2 --fail-writes 3 >/dev/null
norza-emu plug "$calcs" usb-stick --vendor Generic --product "Flash Disk" >/dev/null
start=$(date +%s%N)
set +e
# strace shows where the app looked for its folders (through the /usr/bin link).
QT_QPA_PLATFORM=offscreen NORZA_PACE_SCALE=0.01 NORZA_EMULATOR_DIR="$calcs" \
  timeout 300 strace -f -qq -e trace=openat -o "$work/opened" /usr/bin/norza-updater "$images" 3 \
  >"$work/updater.log" 2>&1
code=$?
set -e
echo "the updater ran $((($(date +%s%N) - start) / 1000000)) ms and exited with $code"
check "exit code 0" test "$code" -eq 0
[[ $code -eq 0 ]] || sed 's/^/  | /' "$work/updater.log"
for calc in calc-1 calc-2; do
  for i in 0 1 2; do
    check "$calc holds ${names[$i]} at ${offsets[$i]} (norza-emu verify)" \
      bash -c 'norza-emu verify "$@" >/dev/null' _ "$calcs" "$calc" "$images/${names[$i]}" "${offsets[$i]}"
  done
  check "$calc got CMD_FINISH" bash -c 'norza-emu journal "$1" "$2" | grep -q "finish received: yes"' _ "$calcs" "$calc"
done
check "the memory stick was never opened" test ! -e "$calcs/usb-stick.journal"
if grep -q 'openat' "$work/opened" 2>/dev/null; then
  check "texts read from /usr/lib/norza-updater/resource/ (French)" \
    grep -q '"/usr/lib/norza-updater/resource/HelpFr.zkresource", O_RDONLY.* = [0-9]' "$work/opened"
  check "folder icons read from /usr/lib/norza-updater/icons/" \
    grep -q '"/usr/lib/norza-updater/icons/varFolder_16x16.png", O_RDONLY.* = [0-9]' "$work/opened"
else
  echo "skip where the app looks for its folders: strace cannot trace here"
fi

echo "== removing"
dpkg -r norza-updater >/dev/null
check "/usr/lib/norza-updater is gone after dpkg -r" test ! -e /usr/lib/norza-updater
check "/usr/bin/norza-updater is gone after dpkg -r" test ! -e /usr/bin/norza-updater -a ! -L /usr/bin/norza-updater
check "the udev rule is gone after dpkg -r" test ! -e /usr/lib/udev/rules.d/70-norza-calculator.rules
dpkg -P norza-updater >/dev/null
installed=0
check "nothing of it left for dpkg after purge" bash -c '! dpkg-query -W -f="\${Status}" norza-updater 2>/dev/null | grep -q "ok installed\|config-files"'
check "no file of it left" bash -c '! ls /usr/lib/norza-updater /usr/bin/norza-link /usr/bin/norza-emu /usr/bin/zkres /usr/share/applications/com.zk.NorzaUpdater.desktop /usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml /usr/share/icons/hicolor/*/apps/norza-updater.png >/dev/null 2>&1'

echo
if [[ $failed -ne 0 ]]; then
  echo "package-check: FAIL"
  exit 1
fi
echo "package-check: PASS ($deb, $size bytes)"
