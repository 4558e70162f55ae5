#!/usr/bin/env bash
# The Windows build, checked on Linux: Qt for mingw-w64 (scripts/qt5-mingw.sh:
# the machine's cache, the shared archive, or Debian's source), then two
# cross-builds. build-mingw-test/ has the test seams (NORZA_EMULATOR_DIR,
# NORZA_PACE_SCALE): Updater.exe, the tools and every test program, for
# whatever runs on emulated calculators. build-mingw-ship/ has them off:
# Updater.exe, norza-station.exe, norza-link.exe and the NSIS installer,
# what users get. Under wine64 and Xvfb: the link, worker, dialog, shell and
# e2e tests; a download through norza-link.exe; the installer run silently
# and the installed files; the installed norza-station.exe's --version and
# --history; the shipped programs ignoring the test variables (and the
# installed Updater.exe and norza-station.exe reading the suite's settings,
# the updater's window's icon);
# Explorer's view of the installed file; a whole update at real pacing, the
# registry, single-instance and long-folder cases on emulated calculators
# (build-mingw-test's Updater.exe); the uninstaller. Exit 0 when everything
# passes.
#
#   bash scripts/windows-check.sh [--screenshot]
# --screenshot also saves docs/screenshots/windows-transfer.png (the window
# mid-transfer, drawn by wine).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
test_dir=build-mingw-test  # the test seams on: the tests, and every run on emulated calculators
ship_dir=build-mingw-ship  # the test seams off: the installer and what it installs
host=build-mingw-host
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
version=$(sed -n 's/^project(norza-updater VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
installer=$ship_dir/package/norza-updater-$version-win64.exe
app_tests=(norza-tests-worker norza-tests-dialog norza-tests-shell norza-tests-e2e norza-windows-desktop-tests)
link_tests=(norza-link-tests norza-link-transfer-tests emulator_tests norza-windows-link-tests)
step() { printf '\n== %s (%d s)\n' "$1" $(($(date +%s) - ${NORZA_WINCHECK_START:-$(date +%s)})); }
fail() { echo "windows-check: $*" >&2; exit 1; }
export NORZA_WINCHECK_START=${NORZA_WINCHECK_START:-$(date +%s)}

if [[ ${1:-} != --under-x && ${2:-} != --under-x ]]; then
  need() { command -v "$1" >/dev/null 2>&1 || [[ -x "$1" ]]; }
  if ! need x86_64-w64-mingw32-g++-posix || ! need x86_64-w64-mingw32-windres || ! need "$wine" ||
     ! need makensis || ! need xwininfo || ! [[ -f /usr/src/googletest/CMakeLists.txt ]] ||
     ! [[ -f /usr/share/wine/fonts/tahoma.ttf ]]; then
    bash scripts/deps.sh full
  fi
  bash scripts/deps.sh build
  if [[ " $* " == *" --screenshot "* ]] && ! command -v import >/dev/null; then
    fail "--screenshot needs ImageMagick's import (apt-get install imagemagick)"
  fi

  step "Qt for mingw-w64"
  qt=$(bash scripts/qt5-mingw.sh | tail -n1)

  step "zkres and norza-emu for this machine ($host)"
  cmake -S . -B "$host" -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_TESTS=OFF >/dev/null
  built() {  # build folder, targets...: the last line, or the errors
    if ! cmake --build "$1" -j"$(nproc)" --target "${@:2}" >"$1/build.log" 2>&1; then
      grep -E 'error|FAILED' "$1/build.log" | head -n 40
      fail "the build in $1 failed (log: $1/build.log)"
    fi
    tail -n1 "$1/build.log"
  }
  built "$host" zkres norza-emu

  pe64() {  # program: a 64-bit Windows program, or the check ends
    local kind
    kind=$(file -b "$1")
    [[ $kind == PE32+\ executable*x86-64* ]] || fail "$1 is not a 64-bit Windows program: $kind"
  }
  cross() {  # build folder, CMake options...
    cmake -S . -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
      -DCMAKE_PREFIX_PATH="$qt" -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_QT=ON \
      -DNORZA_HOST_ZKRES="$root/$host/bin/zkres" "${@:2}" >/dev/null
  }

  step "cross-compiling the tests, Updater.exe and the tools with the test seams ($test_dir)"
  cross "$test_dir" -DNORZA_BUILD_TESTS=ON -DNORZA_TEST_SEAMS=ON
  built "$test_dir" norza-updater norza-link norza-emu norza-guard-probe norza-tests-windows-app \
    "${app_tests[@]}" "${link_tests[@]}"
  for exe in Updater norza-link norza-emu norza-guard-probe norza-tests-windows-app "${app_tests[@]}" "${link_tests[@]}"; do
    pe64 "$test_dir/bin/$exe.exe"
  done

  step "cross-compiling the shipped Updater.exe, norza-station.exe and norza-link.exe, no test seams ($ship_dir)"
  # Only what the installer carries (CPack builds nothing else), and
  # norza-link.exe for the check that the shipped link ignores the variables.
  cross "$ship_dir" -DNORZA_BUILD_TESTS=OFF -DNORZA_TEST_SEAMS=OFF -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON
  built "$ship_dir" norza-updater norza-station norza-link
  pe64 "$ship_dir/bin/norza-link.exe"
  # Linked statically: nothing to ship beside them but what every Windows has.
  system_dlls=" advapi32 comdlg32 crypt32 dwmapi gdi32 imm32 kernel32 msvcrt netapi32 ole32 oleaut32 setupapi "
  system_dlls+="shell32 shlwapi user32 userenv uxtheme version winmm winspool ws2_32 wtsapi32 "
  for exe in Updater norza-station; do
    pe64 "$ship_dir/bin/$exe.exe"
    [[ $(file -b "$ship_dir/bin/$exe.exe") == *"(GUI)"* ]] || fail "$exe.exe is not a GUI program"
    imports=$(x86_64-w64-mingw32-objdump -p "$ship_dir/bin/$exe.exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    for dll in $imports; do
      [[ $system_dlls == *" ${dll%.dll} "* ]] || fail "$exe.exe imports $dll, which Windows does not bring"
    done
    echo "$exe.exe: $(stat -c %s "$ship_dir/bin/$exe.exe") bytes (unstripped); imports only $(echo $imports)"
  done

  step "Updater.exe's resources, compiled apart and decompiled"
  object="$ship_dir/updater_rc.o"
  x86_64-w64-mingw32-windres -I app -i app/updater.rc -O coff -o "$object"
  decompiled=$(x86_64-w64-mingw32-windres -i "$object" -O rc)
  texts=$(strings -el "$object")
  failed=0
  expect() {  # description, haystack, pattern
    if grep -qE -- "$3" <<<"$2"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
  }
  expect "icon group 101" "$decompiled" '^101 14 .*RT_GROUP_ICON'
  expect "the group holds three images" "$decompiled" 'Has 3 elements'
  expect "manifest asks for asInvoker" "$(strings "$object")" 'level="asInvoker"'
  expect "FILEVERSION 1.20.14181.11" "$decompiled" 'FILEVERSION 1, 20, 14181, 11'
  expect "PRODUCTVERSION 1.2.0.0" "$decompiled" 'PRODUCTVERSION 1, 2, 0, 0'
  for pair in "FileDescription=Updater Utility" "OriginalFilename=Updater.exe" "ProductName=Calvora"; do
    key=${pair%%=*} value=${pair#*=}
    expect "$key \"$value\"" "$(grep -A1 -x "$key" <<<"$texts")" "^${value//./\\.}\$"
  done
  [[ $failed -eq 0 ]] || fail "the resources are not as they should be"

  step "the installer (CPack NSIS)"
  rm -f "$installer"
  (cd "$ship_dir" && cpack -G NSIS >/dev/null)
  [[ -s $installer ]] || fail "cpack wrote no installer"
  [[ $(file -b "$installer") == PE32+* ]] || fail "the installer is not a 64-bit program: $(file -b "$installer")"
  echo "$installer: $(stat -c %s "$installer") bytes"

  exec env NORZA_WINCHECK_INSIDE_X=1 xvfb-run -a -s "-screen 0 1024x768x24" bash "$0" --under-x "$@"
fi
shot=0
[[ ${1:-} == --screenshot || ${2:-} == --screenshot ]] && shot=1

# From here on inside Xvfb, in a wine prefix of our own.
prefix=$(mktemp -d "${TMPDIR:-/tmp}/norza-wine.XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/norza-wincheck.XXXXXX")
running=()
cleanup() {
  local pid
  for pid in "${running[@]}"; do kill -CONT "$pid" 2>/dev/null || true; kill "$pid" 2>/dev/null || true; done
  WINEPREFIX="$prefix" "$wineserver" -k 2>/dev/null || true
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" NORZA_PACE_SCALE=0
emu=$root/$host/bin/norza-emu
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

step "a fresh wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 || true
# Wine keeps QT_* variables of the Linux side from Windows programs; the
# tests' own default would be the offscreen platform, which the static Qt
# does not carry. The user's environment key reaches every program.
"$wine" reg add 'HKCU\Environment' /v QT_QPA_PLATFORM /d windows /f >/dev/null 2>&1
"$wineserver" -w

passed=0
run_test() {  # program, GoogleTest options...
  local name out summary start skipped
  name=$(basename "$1" .exe)${2:+ ${2#--gtest_filter=}}
  start=$(date +%s%N)
  if ! out=$("$wine" "$1" --gtest_brief=1 "${@:2}" 2>&1); then
    echo "$out" | tr -d '\r' | grep -v '^wine: Read access denied' | tail -n 60
    fail "$name FAILED under wine"
  fi
  summary=$(tr -d '\r' <<<"$out" | grep -E '^\[  PASSED  \]' || true)
  [[ -n $summary ]] || { echo "$out"; fail "$name printed no result"; }
  skipped=$(tr -d '\r' <<<"$out" | grep -E '^\[  SKIPPED \] [0-9]' || true)
  passed=$((passed + $(sed -E 's/.* ([0-9]+) tests?\./\1/' <<<"$summary")))
  printf '%-28s %s (%d ms) %s\n' "$name" "$summary" $((($(date +%s%N) - start) / 1000000)) "$skipped"
}

# Windows being mapped, as X reports them (line-buffered, so each arrives at
# once): start_xev before the program, then mapped_window.
start_xev() {
  coproc XEV { exec stdbuf -oL xev -root -event substructure; }
  xev_pid=$XEV_PID xev_out=${XEV[0]}
  running+=("$xev_pid")
}
# The first window mapped whose title begins with $1: its id in $window and
# its whole title in $title; false when none came within 60 s.
mapped_window() {
  local line deadline=$(($(date +%s) + 60))
  window="" title=""
  while [[ -z $window ]] && (($(date +%s) < deadline)) && read -r -t 60 line <&"$xev_out"; do
    [[ $line =~ ^MapNotify ]] || continue
    read -r -t 10 line <&"$xev_out"
    [[ $line =~ window\ (0x[0-9a-f]+), ]] || continue
    line=$(LC_ALL=C.UTF-8 xprop -id "${BASH_REMATCH[1]}" -notype _NET_WM_NAME 2>/dev/null) || continue
    [[ $line == '_NET_WM_NAME = "'*'"' ]] || continue
    line=${line#*\"}
    line=${line%\"}
    [[ $line == "$1"* ]] && window=${BASH_REMATCH[1]} title=$line
  done
  kill "$xev_pid" 2>/dev/null || true
  wait "$xev_pid" 2>/dev/null || true
  [[ -n $window ]]
}

step "the link's tests under wine64 ($test_dir)"
for test in "${link_tests[@]}"; do run_test "$test_dir/bin/$test.exe"; done

step "the worker, dialog, shell and e2e tests under wine64 (windows platform, Xvfb; $test_dir)"
for test in "${app_tests[@]}"; do run_test "$test_dir/bin/$test.exe"; done

step "a download through norza-link.exe and norza-emu.exe (emulated calculators, $test_dir)"
mkdir -p "$work/tools/calcs"
head -c $((640 * 1024)) /dev/urandom >"$work/tools/NORZA_OS.ROM"
calcs=$(winpath "$work/tools/calcs")
image=$(winpath "$work/tools/NORZA_OS.ROM")
"$wine" "$test_dir/bin/norza-emu.exe" plug "$calcs" calc-1 >/dev/null
"$wine" "$test_dir/bin/norza-emu.exe" plug "$calcs" calc-2 --fail-writes 2 >/dev/null
"$wine" "$test_dir/bin/norza-emu.exe" plug "$calcs" stick --vendor Generic --product "Flash Disk" >/dev/null
listed=$(NORZA_EMULATOR_DIR="$calcs" "$wine" "$test_dir/bin/norza-link.exe" list | tr -d '\r')
[[ $(grep -c 'ven_zk&prod_norza_update' <<<"$listed") -eq 2 ]] || { echo "$listed"; fail "norza-link.exe list did not show both calculators"; }
NORZA_EMULATOR_DIR="$calcs" "$wine" "$test_dir/bin/norza-link.exe" download "$image" 0x100000 >/dev/null
NORZA_EMULATOR_DIR="$calcs" "$wine" "$test_dir/bin/norza-link.exe" finish >/dev/null
for calc in calc-1 calc-2; do
  "$wine" "$test_dir/bin/norza-emu.exe" verify "$calcs" "$calc" "$image" 0x100000 | tr -d '\r'
done
[[ ! -e "$work/tools/calcs/stick.journal" ]] || fail "norza-link.exe opened the memory stick"

step "installing silently (/S)"
"$wine" "$(winpath "$root/$installer")" /S
"$wineserver" -w
program_files="$prefix/drive_c/Program Files/Norza Updater"
start_menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Norza Updater"
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Norza Updater'
. scripts/lib/check.sh
check "Updater.exe and Uninstall.exe installed" test -f "$program_files/Updater.exe" -a -f "$program_files/Uninstall.exe"
check "the Browse pictures in icons/" test -f "$program_files/icons/varFolder_16x16.png" -a -f "$program_files/icons/varFolder_32x32.png"
check "every text package in resource/" \
  test "$(ls "$program_files/resource" | grep -c '\.zkresource$')" -eq "$(ls "$ship_dir/bin/resource" | grep -c '\.zkresource$')"
check "a Start-menu entry for Updater.exe" grep -qa 'Updater.exe' "$start_menu/Norza Updater.lnk"
check "norza-station.exe installed beside Updater.exe" test -f "$program_files/norza-station.exe"
check "a Start-menu entry \"Norza Class Station\" for norza-station.exe" \
  grep -qa 'norza-station.exe' "$start_menu/Norza Class Station.lnk"
registered=$("$wine" reg query "$uninstall_key" 2>/dev/null | tr -d '\r' || true)
check "an uninstall entry: name, version, uninstaller, icon" grep -qE "DisplayName +REG_SZ +Norza Updater" <<<"$registered"
check "  DisplayVersion $version" grep -qE "DisplayVersion +REG_SZ +$version\$" <<<"$registered"
check "  UninstallString" grep -qF 'Norza Updater\Uninstall.exe' <<<"$registered"
check "  DisplayIcon" grep -qE 'DisplayIcon +REG_SZ +.*\\Updater\.exe$' <<<"$registered"
for exe in Updater norza-station; do
  check "the installed $exe.exe is stripped" \
    bash -c "! x86_64-w64-mingw32-objdump -h '$program_files/$exe.exe' | grep -q debug_info"
done
[[ $failed -eq 0 ]] || fail "the installation is incomplete"
installed_exe='C:\Program Files\Norza Updater\Updater.exe'
installed_station='C:\Program Files\Norza Updater\norza-station.exe'
echo "installed Updater.exe: $(stat -c %s "$program_files/Updater.exe") bytes," \
  "norza-station.exe: $(stat -c %s "$program_files/norza-station.exe") bytes"
local_app_data=$("$wine" winepath -u "$("$wine" cmd /c 'echo %LOCALAPPDATA%' | tr -d '\r')" | tr -d '\r')
[[ -d $local_app_data ]] || fail "no %LOCALAPPDATA% folder in the prefix ($local_app_data)"

step "the installed norza-station.exe: --version and --history"
station_out() {  # arguments...: standard output, then the exit code on the last line
  local out code=0
  out=$("$wine" "$installed_station" "$@" 2>/dev/null) || code=$?
  printf '%s\n%s' "$(tr -d '\r' <<<"$out")" "$code"
}
check "norza-station.exe --version prints \"norza-station $version\"" \
  test "$(station_out --version)" = "$(printf 'norza-station %s\n0' "$version")"
# A history of two days in this prefix's %LOCALAPPDATA% (written with CRLF,
# as the station writes it there): --history DAY prints the header and that
# day's lines alone.
mkdir -p "$local_app_data/ZK/norza-station"
header="time,serial,port,images,outcome,code,reason"
set_ids="APPSDISK.DAT=$(printf '%064d' 1) KORVAARM.ROM=$(printf '%064d' 2) MASTER.DAT=$(printf '%064d' 3)"
day_a="2024-02-29T09:15:02Z,NZ-A1,,$set_ids,updated,0,"
day_b="2024-03-01T00:00:01Z,NZ-B1,,$set_ids,gone,119,unplugged before it held every image"
day_a2="2024-02-29T23:59:59Z,NZ-A2,,$set_ids,failed,0,stopped before it was updated"
printf '%s\r\n' "$header" "$day_a" "$day_b" "$day_a2" >"$local_app_data/ZK/norza-station/history.csv"
check "norza-station.exe --history 2024-02-29: the header and that day's two lines" \
  test "$(station_out --history 2024-02-29)" = "$(printf '%s\n' "$header" "$day_a" "$day_a2" 0)"
check "norza-station.exe --history 2024-03-01: the header and that day's line" \
  test "$(station_out --history 2024-03-01)" = "$(printf '%s\n' "$header" "$day_b" 0)"
check "norza-station.exe --history 2024-02-30 (no day): exit 2" test "$(station_out --history 2024-02-30 | tail -n 1)" = 2
rm -r "$local_app_data/ZK/norza-station"
[[ $failed -eq 0 ]] || fail "the installed norza-station.exe does not answer as it should"

step "the shipped programs ignore the test variables; the installed Updater.exe reads the suite's settings"
# The calculators norza-link.exe of $test_dir just listed and wrote: the one
# of $ship_dir lists none of them and does not say it uses them.
shipped_list=$(NORZA_EMULATOR_DIR="$calcs" "$wine" "$ship_dir/bin/norza-link.exe" list 2>&1) && code=0 || code=$?
shipped_list=$(tr -d '\r' <<<"$shipped_list")
check "$ship_dir's norza-link.exe list: exit 0" test "$code" -eq 0
lacks() { ! grep -qF -- "$1" <<<"$2"; }  # text, output
check "  no emulated calculator listed" lacks 'ven_zk&prod_norza_update' "$shipped_list"
check "  no word of emulated calculators" lacks 'emulated calculators' "$shipped_list"
# The installed Updater.exe started without arguments, as the Start menu
# does: language 3 and the work folder from the suite's registry key, the
# image set in its French firmware subfolder, a calculator plugged into
# NORZA_EMULATOR_DIR and no pauses. Its window must carry the French title
# alone, its log's start line name that folder and nothing else, and the
# calculator never be opened.
title_fr=$(sed -n 's/^631\t//p' texts/HelpFr.tsv)
firmware_fr=$(sed -n 's/^657\t//p' texts/HelpFr.tsv)
[[ -n $title_fr && -n $firmware_fr ]] || fail "texts/HelpFr.tsv lacks text 631 or 657"
suite="$work/shipped/Calvora"
mkdir -p "$work/shipped/calcs" "$suite/$firmware_fr"
head -c $((1024 * 1024)) /dev/urandom >"$suite/$firmware_fr/AppsDisk.dat"
head -c $((128 * 1024)) /dev/urandom >"$suite/$firmware_fr/korvaarm.ROM"
head -c $((128 * 1024)) /dev/urandom >"$suite/$firmware_fr/Master.Dat"
"$emu" plug "$work/shipped/calcs" alpha >/dev/null
"$wine" reg add 'HKCU\Software\ZK\Calvora' /v Language /t REG_DWORD /d 3 /f >/dev/null 2>&1
"$wine" reg add 'HKCU\Software\ZK\Calvora' /v WorkFolder /d "$(winpath "$suite")" /f >/dev/null 2>&1
log="$local_app_data/ZK/norza-updater/updater.log"
logged=$(stat -c %s "$log" 2>/dev/null || echo 0)  # earlier runs' lines stay out of it
start_xev
NORZA_EMULATOR_DIR=$(winpath "$work/shipped/calcs") NORZA_PACE_SCALE=0 "$wine" "$installed_exe" &
updater=$!
running+=("$updater")
mapped_window "$title_fr" || fail "the installed Updater.exe mapped no window titled \"$title_fr\""
check "its window is titled \"$title_fr\" and nothing more" test "$title" = "$title_fr"
xprop -id "$window" -f _NET_WM_ICON 32c _NET_WM_ICON >"$work/icon.txt"
python3 scripts/lib/wincheck.py icon "$work/icon.txt" app/images/Updater.ico 16 || failed=1
started=""
for ((i = 0; i < 200 && ${#started} == 0; i++)); do
  started=$(tail -c +$((logged + 1)) "$log" 2>/dev/null | tr -d '\r' | grep ' started: ' || true)
  [[ -n $started ]] || sleep 0.05
done
echo "log: $started"
expected="norza-updater $version started: folder $(winpath "$suite" | tr '\\' /)/$firmware_fr, language 3"
check "its log's start line: that folder, language 3, no emulated calculators" \
  test "${started#* }" = "$expected"
# Unpaced, a build that took the calculator would open it well within this.
for ((i = 0; i < 60; i++)); do
  [[ ! -e "$work/shipped/calcs/alpha.journal" ]] || break
  sleep 0.05
done
check "the emulated calculator is never opened (3 s)" test ! -e "$work/shipped/calcs/alpha.journal"
check "  and the updater still waits for a calculator" kill -0 "$updater"
kill "$updater" 2>/dev/null || true
wait "$updater" 2>/dev/null || true
running=()
# The installed norza-station.exe started the same way: its window carries
# its French title alone (a build with the seams appends " – " and text
# 7822), its log's start line names that folder and nothing else.
station_fr=$(sed -n 's/^7829\t//p' texts/HelpFr.tsv)
logged=$(stat -c %s "$log" 2>/dev/null || echo 0)
start_xev
NORZA_EMULATOR_DIR=$(winpath "$work/shipped/calcs") NORZA_PACE_SCALE=0 "$wine" "$installed_station" &
station=$!
running+=("$station")
mapped_window "$station_fr" || fail "the installed norza-station.exe mapped no window titled \"$station_fr\""
check "the station's window is titled \"$station_fr\" and nothing more" test "$title" = "$station_fr"
started=""
for ((i = 0; i < 200 && ${#started} == 0; i++)); do
  started=$(tail -c +$((logged + 1)) "$log" 2>/dev/null | tr -d '\r' | grep ' norza-station started: ' || true)
  [[ -n $started ]] || sleep 0.05
done
echo "log: $started"
check "its log's start line: that folder, no emulated calculators" \
  test "${started#* }" = "norza-station started: folder $(winpath "$suite" | tr '\\' /)/$firmware_fr"
kill "$station" 2>/dev/null || true
wait "$station" 2>/dev/null || true
running=()
check "the emulated calculator is never opened" test ! -e "$work/shipped/calcs/alpha.journal"
"$wine" reg delete 'HKCU\Software\ZK\Calvora' /f >/dev/null 2>&1
[[ $failed -eq 0 ]] || fail "a shipped program honours the test variables, or the settings went unread"

step "Explorer's view of the installed Updater.exe: version record, icons, resources"
NORZA_UPDATER_EXE=$installed_exe run_test "$test_dir/bin/norza-tests-windows-app.exe" --gtest_filter='Explorer.*'

step "$test_dir's Updater.exe: two emulated calculators and a memory stick, real pacing"
test_exe=$(winpath "$root/$test_dir/bin/Updater.exe")
mkdir -p "$work/run/calcs" "$work/run/fw"
head -c $((8 * 1024 * 1024 + 1536)) /dev/urandom >"$work/run/fw/AppsDisk.dat"
head -c $((960 * 1024 + 512)) /dev/urandom >"$work/run/fw/korvaarm.ROM"
head -c $((2 * 1024 * 1024)) /dev/urandom >"$work/run/fw/Master.Dat"
"$emu" plug "$work/run/calcs" stick --vendor Generic --product "Flash Disk" >/dev/null
start_xev
start=$(date +%s%N)
NORZA_EMULATOR_DIR=$(winpath "$work/run/calcs") NORZA_EXIT_ON_FAILURE=1 NORZA_PACE_SCALE=1 \
  timeout 300 "$wine" "$test_exe" "$(winpath "$work/run/fw")" 1 &
updater=$!
running+=("$updater")
# No calculator yet, so the window waits; it says it is on emulated ones.
mapped_window "Firmware update" || fail "no window titled \"Firmware update\" was mapped"
[[ $title == "Firmware update – emulated calculators" ]] || fail "the window is titled \"$title\""
echo "ok   the waiting window is titled \"$title\""
"$emu" plug "$work/run/calcs" alpha >/dev/null
"$emu" plug "$work/run/calcs" beta --fail-writes 3 >/dev/null
code=0
wait "$updater" || code=$?
running=()
echo "Updater.exe exited with $code after $((($(date +%s%N) - start) / 1000000)) ms"
[[ $code -eq 0 ]] || fail "$test_dir's Updater.exe exited with $code"
for calc in alpha beta; do
  "$emu" verify "$work/run/calcs" "$calc" "$work/run/fw/AppsDisk.dat" 0x500000 >/dev/null || fail "$calc: AppsDisk.dat"
  "$emu" verify "$work/run/calcs" "$calc" "$work/run/fw/korvaarm.ROM" 0 >/dev/null || fail "$calc: korvaarm.ROM"
  "$emu" verify "$work/run/calcs" "$calc" "$work/run/fw/Master.Dat" 0x100000 >/dev/null || fail "$calc: Master.Dat"
  echo "ok   $calc holds all three images"
  python3 scripts/lib/wincheck.py journal "$work/run/calcs/$calc.journal" 3 || fail "$calc's journal"
done
[[ ! -e "$work/run/calcs/stick.journal" ]] || fail "the memory stick was opened"
echo "ok   the memory stick was never opened"

step "registry settings, the single-instance key, a long non-ASCII folder ($test_dir's Updater.exe)"
run_test "$test_dir/bin/norza-tests-windows-app.exe" --gtest_filter='-Explorer.*'

if [[ $shot -eq 1 ]]; then
  step "screenshot: the window mid-transfer, drawn by wine ($test_dir's Updater.exe)"
  # Without a window manager wine draws the title bar itself.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  "$wineserver" -w
  fw="$prefix/drive_c/Calvora/Firmware"  # shown as C:\Calvora\Firmware
  mkdir -p "$work/shot/calcs" "$fw"
  head -c $((256 * 1024 * 1024)) /dev/urandom >"$fw/APPSDISK.DAT"
  head -c $((960 * 1024)) /dev/urandom >"$fw/KORVAARM.ROM"
  head -c $((600 * 1024)) /dev/urandom >"$fw/MASTER.DAT"
  "$emu" plug "$work/shot/calcs" calc --size 300M >/dev/null
  start_xev
  NORZA_EMULATOR_DIR=$(winpath "$work/shot/calcs") NORZA_PACE_SCALE=0.2 \
    "$wine" "$test_exe" 'C:\Calvora\Firmware' 1 &
  updater=$!
  running+=("$updater")
  mapped_window "Firmware update" || fail "no window titled \"Firmware update\" was mapped"
  for ((i = 0; i < 3000; i++)); do
    grep -q '"parameter":3[0-9]}' "$work/shot/calcs/calc.journal" 2>/dev/null && break
    sleep 0.01
  done
  kill -STOP "$updater"  # freeze the window at about a third of the image
  sleep 0.5
  import -window "$window" docs/screenshots/windows-transfer.png
  kill -CONT "$updater"
  wait "$updater" || true
  running=()
  echo "saved docs/screenshots/windows-transfer.png"
fi

step "uninstalling silently (Uninstall.exe /S)"
"$wine" "C:\\Program Files\\Norza Updater\\Uninstall.exe" /S
"$wineserver" -w
check "the program folder is gone" test ! -e "$program_files"
check "the Start-menu entry is gone" test ! -e "$start_menu"
check "the uninstall entry is gone" bash -c "! WINEPREFIX='$prefix' '$wine' reg query '$uninstall_key' >/dev/null 2>&1"
[[ $failed -eq 0 ]] || fail "the uninstaller left something behind"

echo
echo "windows-check: PASS ($passed test cases under wine, $(($(date +%s) - NORZA_WINCHECK_START)) s)"
