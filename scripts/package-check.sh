#!/usr/bin/env bash
# Builds the Debian package (Release, in build-pkg/, with Debian's hardening
# flags and the file times of the last commit), checks its contents, lintian,
# the desktop entries, metainfo and window classes, installs it with dpkg,
# runs the installed /usr/bin/norza-updater and /usr/bin/norza-station
# headless to see that they and norza-link read none of the test seams (the
# package is built without them; whole updates are the tests' and
# real-device-e2e.sh's), the station's --version and --history, then removes
# and purges it and checks that nothing is left behind. Needs root.
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

for tool in dpkg-shlibdeps dpkg-buildflags lintian appstreamcli desktop-file-validate strace pkg-config \
            xvfb-run xwininfo; do
  command -v "$tool" >/dev/null || { bash scripts/deps.sh full >&2; break; }
done
pkg-config --exists fuse3 || bash scripts/deps.sh full >&2
bash scripts/deps.sh build >&2

# Reproducible: every file time in the package (and the date in the manual
# pages, rcc's resource times) is that of the last commit; outside git, the
# changelog's date.
if epoch=$(git -C "$root" log -1 --format=%ct 2>/dev/null) && [[ -n $epoch ]]; then :; else
  epoch=$(dpkg-parsechangelog -l packaging/changelog -S Timestamp)
fi
export SOURCE_DATE_EPOCH=$epoch
# Debian's hardening flags (all of them: bindnow too). CMake takes no
# CPPFLAGS, so they go in front of CXXFLAGS; given on every configure, so a
# build folder made without them is brought in line.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
# norza-emu-fuse is built here too (never packaged): real-device-e2e.sh uses it.
# The shipped programs read none of the test seams (NORZA_EMULATOR_DIR ...).
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_TESTS=OFF \
  -DNORZA_TEST_SEAMS=OFF -DNORZA_BUILD_FUSE=ON -DCMAKE_CXX_FLAGS="$CPPFLAGS $CXXFLAGS" -DCMAKE_C_FLAGS="$CPPFLAGS $CFLAGS" \
  -DCMAKE_EXE_LINKER_FLAGS="$LDFLAGS" -DCMAKE_SHARED_LINKER_FLAGS="$LDFLAGS" \
  -DCMAKE_MODULE_LINKER_FLAGS="$LDFLAGS" >/dev/null
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
for path in /usr/lib/norza-updater/norza-updater /usr/lib/norza-updater/norza-station \
            /usr/lib/norza-updater/icons/varFolder_16x16.png \
            /usr/lib/norza-updater/icons/varFolder_32x32.png /usr/lib/norza-updater/resource/HelpEn.zkresource \
            /usr/bin/norza-link /usr/bin/norza-emu /usr/bin/zkres \
            /usr/lib/udev/rules.d/70-norza-calculator.rules \
            /usr/share/applications/com.zk.NorzaUpdater.desktop \
            /usr/share/applications/com.zk.NorzaStation.desktop \
            /usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml \
            /usr/share/icons/hicolor/16x16/apps/norza-updater.png \
            /usr/share/icons/hicolor/48x48/apps/norza-updater.png \
            /usr/share/icons/hicolor/64x64/apps/norza-updater.png \
            /usr/share/icons/hicolor/256x256/apps/norza-updater.png \
            /usr/share/icons/hicolor/scalable/apps/norza-updater.svg \
            /usr/share/doc/norza-updater/copyright /usr/share/doc/norza-updater/changelog.gz \
            /usr/share/man/man1/norza-updater.1.gz /usr/share/man/man1/norza-station.1.gz \
            /usr/share/man/man1/norza-link.1.gz \
            /usr/share/man/man1/norza-emu.1.gz /usr/share/man/man1/zkres.1.gz \
            /usr/share/lintian/overrides/norza-updater; do
  check "holds $path" grep -qx "$path" <<<"$contents"
done
check "/usr/bin/norza-updater is a link to ../lib/norza-updater/norza-updater" \
  grep -qx '/usr/bin/norza-updater -> ../lib/norza-updater/norza-updater' <<<"$contents"
check "/usr/bin/norza-station is a link to ../lib/norza-updater/norza-station" \
  grep -qx '/usr/bin/norza-station -> ../lib/norza-updater/norza-station' <<<"$contents"
check "depends on Qt (found by dpkg-shlibdeps)" grep -q 'libqt5widgets5' <<<"$(dpkg-deb -f "$deb" Depends)"
check "the FUSE test server is not shipped" bash -c "! grep -q norza-emu-fuse <<<\"\$1\"" _ "$contents"
check "recommends a font with Chinese and Japanese glyphs" \
  grep -Eq '(^|[ |,])fonts-(wqy-microhei|wqy-zenhei|noto-cjk)( |,|$)' <<<"$(dpkg-deb -f "$deb" Recommends)"

work=$(mktemp -d "${TMPDIR:-/tmp}/norza-pkg.XXXXXX")
installed=0
cleanup() {
  if [[ $installed -eq 1 ]]; then dpkg -P norza-updater >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

echo "== lintian (every tag fails the check unless overridden, with its reason, in"
echo "   packaging/norza-updater.lintian-overrides)"
# Every level is shown; overridden tags too (O:, after their reason, N:). A
# stale override is itself a tag (unused-override). lintian's own verdict
# would count the shown overrides as failures, so the lines are judged here.
lintian_code=0
lintian --pedantic --display-info --display-experimental --show-overrides --tag-display-limit 0 \
  --fail-on none "$deb" >"$work/lintian.out" 2>&1 || lintian_code=$?
grep -v '^running with root privileges' "$work/lintian.out" | sed 's/^/  | /'
check "lintian ran" test "$lintian_code" -eq 0
check "lintian: no tag left unjudged (E, W, I, P or X)" bash -c '! grep -q "^[EWIPX]: " "$1"' _ "$work/lintian.out"

echo "== reproducible: times and compression"
# Every member of the .deb, of both its tar files and of the gzip files inside
# bears SOURCE_DATE_EPOCH (gzip: no time at all).
check "every file time is SOURCE_DATE_EPOCH ($SOURCE_DATE_EPOCH)" python3 - "$deb" "$SOURCE_DATE_EPOCH" <<'PY'
import gzip, io, lzma, sys, tarfile
deb, epoch = sys.argv[1], int(sys.argv[2])
data = open(deb, "rb").read()
assert data[:8] == b"!<arch>\n"
bad, pos = [], 8
while pos < len(data):
    header = data[pos:pos + 60]
    name, mtime, size = header[:16].decode().strip(), int(header[16:28]), int(header[48:58])
    body = data[pos + 60:pos + 60 + size]
    pos += 60 + size + (size & 1)
    if mtime != epoch:
        bad.append(f"{name}: {mtime}")
    if ".tar" not in name:
        continue
    raw = gzip.decompress(body) if name.endswith(".gz") else lzma.decompress(body) if name.endswith(".xz") else body
    with tarfile.open(fileobj=io.BytesIO(raw)) as tar:
        for member in tar:
            if member.mtime != epoch:
                bad.append(f"{name}:{member.name}: {member.mtime}")
            if member.isfile() and member.name.endswith(".gz"):
                inner = tar.extractfile(member).read(10)
                if int.from_bytes(inner[4:8], "little") != 0:
                    bad.append(f"{name}:{member.name}: gzip time stamp")
for line in bad:
    print("  " + line)
sys.exit(1 if bad else 0)
PY

echo "== the shipped desktop files and documents"
dpkg-deb -x "$deb" "$work/tree"
doc="$work/tree/usr/share/doc/norza-updater"
check "the changelog's last entry is this version ($(dpkg-deb -f "$deb" Version))" bash -c '
  zcat "$1/changelog.gz" >"$3/changelog" &&
  test "$(dpkg-parsechangelog -l "$3/changelog" -S Version)" = "$2"' _ "$doc" "$(dpkg-deb -f "$deb" Version)" "$work"
check "desktop entry valid (desktop-file-validate)" \
  desktop-file-validate "$work/tree/usr/share/applications/com.zk.NorzaUpdater.desktop"
check "the station's desktop entry valid (desktop-file-validate)" \
  desktop-file-validate "$work/tree/usr/share/applications/com.zk.NorzaStation.desktop"
check "AppStream metainfo valid (appstreamcli validate --no-net)" \
  appstreamcli validate --no-net --no-color "$work/tree/usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml"
check "icons are PNGs of their size" bash -c '
  for s in 16 48 64 256; do
    file -b "$1/usr/share/icons/hicolor/${s}x$s/apps/norza-updater.png" | grep -q "PNG image data, $s x $s" || exit 1
  done' _ "$work/tree"
check "the scalable icon is an SVG of 256 x 256" python3 -c '
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
sys.exit(0 if root.tag == "{http://www.w3.org/2000/svg}svg" and root.get("viewBox") == "0 0 256 256" else 1)
' "$work/tree/usr/share/icons/hicolor/scalable/apps/norza-updater.svg"
check "desktop entries and metainfo in every language of the updater" python3 - \
  "$work/tree/usr/share/applications/com.zk.NorzaUpdater.desktop" \
  "$work/tree/usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml" \
  "$work/tree/usr/share/applications/com.zk.NorzaStation.desktop" <<'PY'
import sys, xml.etree.ElementTree as ET
languages = ["de", "fr", "es", "nl", "pt", "ja", "zh_CN", "ru"]
missing = []
for entry in (sys.argv[1], sys.argv[3]):
    keys = {line.split("=", 1)[0] for line in open(entry, encoding="utf-8") if "=" in line}
    missing += [f"{entry.rsplit('/', 1)[1]}: {key}[{lang}]" for key in ("Name", "GenericName", "Comment", "Keywords")
                for lang in languages if f"{key}[{lang}]" not in keys]
root = ET.parse(sys.argv[2]).getroot()
lang_attr = "{http://www.w3.org/XML/1998/namespace}lang"
for tag in ("name", "summary"):
    have = {e.get(lang_attr) for e in root.findall(tag)}
    missing += [f"<{tag} xml:lang={lang}>" for lang in languages if lang not in have]
print("  missing: " + " ".join(missing) if missing else "", end="")
sys.exit(1 if missing else 0)
PY
rules="$work/tree/usr/lib/udev/rules.d/70-norza-calculator.rules"
if command -v udevadm >/dev/null && udevadm verify --help >/dev/null 2>&1; then
  check "udev rule (udevadm verify)" udevadm verify "$rules"
fi
check "udev rule: syntax and matches (rule evaluator)" bash -c 'python3 "$1" "$2" "$3" >/dev/null' _ \
  "$root/tests/system/udev_rule_test.py" "$rules" "$root/tests/system/calculator_identities.tsv"

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
check "norza-station on the PATH resolves to /usr/lib/norza-updater/norza-station" \
  test "$(readlink -f "$(command -v norza-station)")" = /usr/lib/norza-updater/norza-station

echo "== the installed station: --version and --history"
version=$(dpkg-deb -f "$deb" Version)
check "norza-station --version prints \"norza-station $version\"" \
  test "$(norza-station --version 2>&1)" = "norza-station $version"
# A history of two days, interleaved: --history DAY prints the header and
# that day's lines alone, in their order; without a day, today's (UTC).
history_home="$work/history-home"
mkdir -p "$history_home/state/norza-station"
history() {  # arguments...: stdout, then the exit code on the last line
  local out code=0
  out=$(HOME="$history_home" XDG_STATE_HOME="$history_home/state" norza-station --history "$@" 2>/dev/null) ||
    code=$?
  printf '%s\n%s' "$out" "$code"
}
header="time,serial,port,images,outcome,code,reason"
set_ids="APPSDISK.DAT=$(printf '%064d' 1) KORVAARM.ROM=$(printf '%064d' 2) MASTER.DAT=$(printf '%064d' 3)"
for _ in 1 2; do  # once more if the UTC day turned meanwhile
  today=$(date -u +%F)
  day_a="2024-02-29T09:15:02Z,NZ-A1,1-1.2,$set_ids,updated,0,"
  day_b="${today}T00:00:01Z,NZ-B1,1-1.3,$set_ids,gone,119,unplugged before it held every image"
  day_a2="2024-02-29T23:59:59Z,NZ-A2,,$set_ids,failed,0,stopped before it was updated"
  day_b2="${today}T08:00:00Z,NZ-B2,1-1.4,$set_ids,updated,0,"
  printf '%s\n' "$header" "$day_a" "$day_b" "$day_a2" "$day_b2" >"$history_home/state/norza-station/history.csv"
  shown_today=$(history)
  [[ $(date -u +%F) == "$today" ]] && break
done
check "--history 2024-02-29: the header and that day's two lines" \
  test "$(history 2024-02-29)" = "$(printf '%s\n' "$header" "$day_a" "$day_a2" 0)"
check "--history: the header and today's two lines" \
  test "$shown_today" = "$(printf '%s\n' "$header" "$day_b" "$day_b2" 0)"
check "--history 2024-02-30 (no day): exit 2" test "$(history 2024-02-30 | tail -n 1)" = 2
no_history=$(HOME="$work/no-history" XDG_STATE_HOME="$work/no-history/state" norza-station --history 2>&1) &&
  code=0 || code=$?
check "no history yet: exit 0 and the path on stderr" \
  test "$code:$no_history" = "0:norza-station: no history yet at $work/no-history/state/norza-station/history.csv"

echo "== the windows belong to their desktop entries"
# Docks match a window to its desktop entry by WM_CLASS and StartupWMClass.
# Each program started as the menu starts it (no arguments), under Xvfb, in
# English; the window class must be the one its desktop entry names. The
# station's title, with NORZA_EMULATOR_DIR set, must not say it is on
# emulated calculators.
mkdir -p "$work/x-home" "$work/x-calcs"
HOME="$work/x-home" XDG_CONFIG_HOME="$work/x-home/config" XDG_STATE_HOME="$work/x-home/state" LC_ALL=C.UTF-8 \
  NORZA_EMULATOR_DIR="$work/x-calcs" timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  for program in norza-updater norza-station; do
    /usr/bin/$program 2>/dev/null &
    pid=$!
    for _ in $(seq 100); do
      windows=$(xwininfo -root -tree | grep -o "\(\"[^\"]*\"\|(has no name)\): (\"[^\"]*\" \"[^\"]*\")" | sort -u)
      [[ -n $windows ]] && break
      sleep 0.1
    done
    kill "$pid"; wait "$pid" 2>/dev/null
    echo "$windows" >"$1/windows.$program"
  done' _ "$work" 2>/dev/null || true
for entry in norza-updater:com.zk.NorzaUpdater norza-station:com.zk.NorzaStation; do
  program=${entry%%:*}
  wm_class=$(sed -n 's/^StartupWMClass=//p' "/usr/share/applications/${entry#*:}.desktop")
  classes=$(grep -o '([^()]*)$' "$work/windows.$program" 2>/dev/null | sort -u || true)
  echo "$program: WM_CLASS (instance, class): $(tr '\n' ' ' <<<"$classes"); StartupWMClass: $wm_class"
  check "  its window's WM_CLASS instance is StartupWMClass ($wm_class)" \
    bash -c '[[ $(wc -l <<<"$1") -eq 1 ]] && grep -q "^(\"$2\" " <<<"$1"' _ "$classes" "$wm_class"
done
title=$(sed -n 's/^"\(.*\)": ("norza-station" .*/\1/p' "$work/windows.norza-station" 2>/dev/null | head -n 1)
check "the station's window is titled \"Norza Class Station\" and nothing more (was \"$title\")" \
  test "$title" = "Norza Class Station"

echo "== the installed programs read none of the test seams"
# A variable left in an environment must not point the shipped updater at
# anything but the machine's own disks: with emulated calculators named in
# NORZA_EMULATOR_DIR, norza-link lists none of them and the updater's log
# does not start on them.
images="$work/firmware"
calcs="$work/calculators"
mkdir -p "$images"
names=(appsdisk.dat KORVAARM.ROM Master.dat)  # the legacy set, in a FAT disk's letter case
sizes=($((2 * 1024 * 1024)) $((960 * 1024)) $((1024 * 1024)))
for i in 0 1 2; do head -c "${sizes[$i]}" /dev/urandom >"$images/${names[$i]}"; done
norza-emu plug "$calcs" calc-1 >/dev/null
listed=$(NORZA_EMULATOR_DIR="$calcs" norza-link list 2>&1)
check "norza-link lists no emulated calculator" test -z "$(grep -i 'emulated\|calc-1' <<<"$listed")"
state="$work/state"
mkdir -p "$state"
# strace shows where the app looked for its folders (through the /usr/bin link).
QT_QPA_PLATFORM=offscreen XDG_STATE_HOME="$state" NORZA_EMULATOR_DIR="$calcs" \
  timeout 60 strace -f -qq -e trace=openat -o "$work/opened" /usr/bin/norza-updater "$images" 3 \
  >"$work/updater.log" 2>&1 &
updater=$!
log="$state/norza-updater/updater.log"
for _ in $(seq 300); do grep -q 'image set in' "$log" 2>/dev/null && break; sleep 0.1; done
kill "$updater" 2>/dev/null; wait "$updater" 2>/dev/null || true
echo "the log begins: $(head -n 1 "$log" 2>/dev/null)"
check "the updater's log has its start line and the image set" grep -q 'image set in' "$log"
check "it does not start on emulated calculators" bash -c '! grep -q "emulated calculators" "$1"' _ "$log"
check "no emulated calculator was opened" test ! -s "$calcs/calc-1.journal"
if grep -q 'openat' "$work/opened" 2>/dev/null; then
  check "texts read from /usr/lib/norza-updater/resource/ (French)" \
    grep -q '"/usr/lib/norza-updater/resource/HelpFr.zkresource", O_RDONLY.* = [0-9]' "$work/opened"
  check "folder icons read from /usr/lib/norza-updater/icons/" \
    grep -q '"/usr/lib/norza-updater/icons/varFolder_16x16.png", O_RDONLY.* = [0-9]' "$work/opened"
else
  echo "skip where the app looks for its folders: strace cannot trace here"
fi

# The station started as the menu starts it, with the suite's settings
# (French, a work folder whose French firmware folder holds the image set)
# and the calculator in NORZA_EMULATOR_DIR: its log's start line names that
# folder and no emulated calculators, and it reads its texts from
# /usr/lib/norza-updater/resource/, beside its real path.
firmware_fr=$(sed -n 's/^657\t//p' "$root/texts/HelpFr.tsv")
suite="$work/suite"
mkdir -p "$suite/$firmware_fr" "$work/station-config/ZK"
cp "$images"/* "$suite/$firmware_fr/"
printf '[General]\nLanguage=3\nWorkFolder=%s\n' "$suite" >"$work/station-config/ZK/Calvora.conf"
station_state="$work/station-state"
QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME="$work/station-config" XDG_STATE_HOME="$station_state" \
  NORZA_EMULATOR_DIR="$calcs" timeout 60 strace -f -qq -e trace=openat -o "$work/station-opened" \
  /usr/bin/norza-station >"$work/station.out" 2>&1 &
station=$!
station_log="$station_state/norza-updater/updater.log"
for _ in $(seq 300); do grep -q 'norza-station started: ' "$station_log" 2>/dev/null && break; sleep 0.1; done
kill "$station" 2>/dev/null; wait "$station" 2>/dev/null || true
started=$(grep -o 'norza-station started: .*' "$station_log" 2>/dev/null || true)
echo "the station's log: $started"
check "the station's start line: the French firmware folder of the work folder, no emulated calculators" \
  test "$started" = "norza-station started: folder $suite/$firmware_fr"
if grep -q 'openat' "$work/station-opened" 2>/dev/null; then
  check "the station's texts read from /usr/lib/norza-updater/resource/ (French)" \
    grep -q '"/usr/lib/norza-updater/resource/HelpFr.zkresource", O_RDONLY.* = [0-9]' "$work/station-opened"
fi

echo "== removing"
dpkg -r norza-updater >/dev/null
check "/usr/lib/norza-updater is gone after dpkg -r" test ! -e /usr/lib/norza-updater
check "/usr/bin/norza-updater is gone after dpkg -r" test ! -e /usr/bin/norza-updater -a ! -L /usr/bin/norza-updater
check "/usr/bin/norza-station is gone after dpkg -r" test ! -e /usr/bin/norza-station -a ! -L /usr/bin/norza-station
check "the udev rule is gone after dpkg -r" test ! -e /usr/lib/udev/rules.d/70-norza-calculator.rules
dpkg -P norza-updater >/dev/null
installed=0
check "nothing of it left for dpkg after purge" bash -c '! dpkg-query -W -f="\${Status}" norza-updater 2>/dev/null | grep -q "ok installed\|config-files"'
check "no file of it left" bash -c '! ls /usr/lib/norza-updater /usr/bin/norza-link /usr/bin/norza-emu /usr/bin/zkres /usr/share/applications/com.zk.NorzaUpdater.desktop /usr/share/applications/com.zk.NorzaStation.desktop /usr/share/metainfo/com.zk.NorzaUpdater.metainfo.xml /usr/share/icons/hicolor/*/apps/norza-updater.* /usr/share/doc/norza-updater /usr/share/man/man1/norza-*.1.gz /usr/share/man/man1/zkres.1.gz /usr/share/lintian/overrides/norza-updater >/dev/null 2>&1'

echo
if [[ $failed -ne 0 ]]; then
  echo "package-check: FAIL"
  exit 1
fi
echo "package-check: PASS ($deb, $size bytes)"
