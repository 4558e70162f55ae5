#!/usr/bin/env bash
# The Windows build, checked on Linux: cross-compiles the Qt-free parts (the
# link with its Windows backend, norza-link, norza-emu and their unit tests)
# with mingw-w64 (posix threads) in build-mingw-ship/, runs the tests and a
# download through the emulated calculators under wine64, and compiles the
# updater's Windows resources (icon group, version record, manifest) with
# windres. Exit 0 when everything passes.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
dir=build-mingw-ship

need() { command -v "$1" >/dev/null 2>&1 || [[ -x "$1" ]]; }
if ! need x86_64-w64-mingw32-g++-posix || ! need x86_64-w64-mingw32-windres || ! [[ -x /usr/lib/wine/wine64 ]] ||
   ! [[ -f /usr/src/googletest/CMakeLists.txt ]]; then
  bash scripts/deps.sh full
fi
bash scripts/deps.sh build
wine=/usr/lib/wine/wine64
step() { printf '\n== %s\n' "$*"; }

step "cross-compiling the link, the tools and their tests for Windows"
cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_QT=OFF -DNORZA_BUILD_TESTS=ON >/dev/null
tests=(norza-link-tests norza-link-transfer-tests emulator_tests norza-windows-link-tests)
cmake --build "$dir" -j2 --target norza-link norza-emu "${tests[@]}"
for exe in norza-link norza-emu "${tests[@]}"; do
  kind=$(file -b "$dir/bin/$exe.exe")
  echo "$exe.exe: $kind"
  [[ $kind == PE32+\ executable*x86-64* ]] || { echo "windows-check: $exe.exe is not a 64-bit Windows program" >&2; exit 1; }
done

step "running the tests under wine64"
prefix=$(mktemp -d "${TMPDIR:-/tmp}/norza-wine.XXXXXX")
work=$(mktemp -d "${TMPDIR:-/tmp}/norza-wincheck.XXXXXX")
cleanup() {
  WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
  rm -rf "$prefix" "$work"
}
trap cleanup EXIT
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" NORZA_PACE_SCALE=0
"$wine" wineboot -i >/dev/null 2>&1 || true
for test in "${tests[@]}"; do
  start=$(date +%s%N)
  if ! out=$("$wine" "$dir/bin/$test.exe" --gtest_brief=1 2>&1); then
    echo "$out"
    echo "windows-check: $test FAILED under wine" >&2
    exit 1
  fi
  summary=$(grep -E '^\[  PASSED  \]' <<<"$out" || true)
  [[ -n $summary ]] || { echo "$out"; echo "windows-check: $test printed no result" >&2; exit 1; }
  skipped=$(grep -E '^\[  SKIPPED \] [0-9]' <<<"$out" || true)
  printf '%-30s %s (%d ms) %s\n' "$test" "$summary" $((($(date +%s%N) - start) / 1000000)) "$skipped"
done

step "a download through the Windows build of the tools (emulated calculators)"
winpath() { "$wine" winepath -w "$1" 2>/dev/null | tr -d '\r'; }
mkdir -p "$work/calcs"
head -c $((640 * 1024)) /dev/urandom >"$work/NORZA_OS.ROM"
calcs=$(winpath "$work/calcs")
image=$(winpath "$work/NORZA_OS.ROM")
"$wine" "$dir/bin/norza-emu.exe" plug "$calcs" calc-1 >/dev/null
"$wine" "$dir/bin/norza-emu.exe" plug "$calcs" calc-2 --fail-writes 2 >/dev/null
"$wine" "$dir/bin/norza-emu.exe" plug "$calcs" stick --vendor Generic --product "Flash Disk" >/dev/null
listed=$(NORZA_EMULATOR_DIR="$calcs" "$wine" "$dir/bin/norza-link.exe" list | tr -d '\r')
echo "$listed"
[[ $(grep -c 'ven_zk&prod_norza_update' <<<"$listed") -eq 2 ]] || { echo "windows-check: norza-link.exe list did not show both calculators" >&2; exit 1; }
NORZA_EMULATOR_DIR="$calcs" "$wine" "$dir/bin/norza-link.exe" download "$image" 0x100000 >/dev/null
NORZA_EMULATOR_DIR="$calcs" "$wine" "$dir/bin/norza-link.exe" finish >/dev/null
for calc in calc-1 calc-2; do
  "$wine" "$dir/bin/norza-emu.exe" verify "$calcs" "$calc" "$image" 0x100000 | tr -d '\r'
done
[[ ! -e "$work/calcs/stick.journal" ]] || { echo "windows-check: the memory stick was opened" >&2; exit 1; }

step "compiling the updater's Windows resources"
rc=app/updater.rc
if [[ ! -f $rc ]]; then
  echo "windows-check: $rc is missing" >&2
  exit 1
fi
object="$dir/updater_rc.o"
x86_64-w64-mingw32-windres -I app -i "$rc" -O coff -o "$object"
[[ -s $object ]] || { echo "windows-check: windres wrote no object" >&2; exit 1; }
decompiled=$(x86_64-w64-mingw32-windres -i "$object" -O rc)
texts=$(strings -el "$object")
failed=0
expect() {  # description, haystack, pattern
  if grep -qE -- "$3" <<<"$2"; then echo "ok   $1"; else echo "FAIL $1"; failed=1; fi
}
expect "icon group 101" "$decompiled" '^101 14 .*RT_GROUP_ICON'
expect "the group holds three images" "$decompiled" 'Has 3 elements'
expect "three icon images" "$(grep -c 'RT_ICON \*/' <<<"$decompiled")" '^3$'
expect "manifest resource" "$decompiled" 'RT_MANIFEST'
expect "manifest asks for asInvoker" "$(strings "$object")" 'level="asInvoker"'
expect "FILEVERSION 1.20.14181.11" "$decompiled" 'FILEVERSION 1, 20, 14181, 11'
expect "PRODUCTVERSION 1.2.0.0" "$decompiled" 'PRODUCTVERSION 1, 2, 0, 0'
for pair in "FileDescription=Updater Utility" "InternalName=Updater" "OriginalFilename=Updater.exe" \
            "ProductName=Calvora" "FileVersion=1.20.14181.11" "ProductVersion=1.2.0.0"; do
  key=${pair%%=*} value=${pair#*=}
  expect "$key \"$value\"" "$(grep -A1 -x "$key" <<<"$texts")" "^${value//./\\.}\$"
done
ls -l "$object"
[[ $failed -eq 0 ]] || { echo "windows-check: the resources are not as they should be" >&2; exit 1; }
echo
echo "windows-check: PASS"
