#!/usr/bin/env bash
# Screenshots of the real updater window under Xvfb in its main phases:
# waiting, countdown, transfer, done, and no updates; and two failures with
# their explanations (no access to the calculator's disk, a write that keeps
# failing) in English and German. Saved as docs/screenshots/*.png.
#   bash scripts/screenshots.sh [BUILD_DIR]      (default: build)
# Needs xvfb-run and ImageMagick's import (Debian: xvfb, imagemagick).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build}"
bin="$root/$build/bin"
out="$root/docs/screenshots"

if [[ -z "${NORZA_SCREENSHOTS_INSIDE_X:-}" ]]; then
  for tool in xvfb-run import; do
    command -v "$tool" >/dev/null || { echo "screenshots: $tool is missing (apt-get install xvfb imagemagick)" >&2; exit 2; }
  done
  cmake -S . -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --parallel "$(nproc)" --target norza-updater norza-emu >/dev/null
  mkdir -p "$out"
  exec env NORZA_SCREENSHOTS_INSIDE_X=1 xvfb-run -a -s "-screen 0 1024x600x24" bash "$0" "$build"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/norza-shots.XXXXXX")"
pid=""
cleanup() {
  [[ -n "$pid" ]] && kill -CONT "$pid" 2>/dev/null && kill "$pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export NORZA_EMULATOR_DIR="$work/calcs" TMPDIR="$work" HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config"
mkdir -p "$work/fw" "$work/empty" "$work/calcs" "$work/home"
# A large application image so the transfer lasts long enough to be seen.
head -c $((256 * 1024 * 1024)) /dev/urandom >"$work/fw/APPSDISK.DAT"
head -c $((960 * 1024)) /dev/urandom >"$work/fw/KORVAARM.ROM"
head -c $((600 * 1024)) /dev/urandom >"$work/fw/MASTER.DAT"

shot() {  # name [window title, for another language]
  import -window "${2:-Firmware update}" "$out/$1.png"
  echo "screenshots: $out/$1.png"
}
# Waits until the calculator's journal matches a pattern (20 s at most).
await() {  # pattern
  local i
  for ((i = 0; i < 2000; i++)); do
    grep -q -- "$1" "$work/calcs/calc.journal" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "screenshots: timed out waiting for $1" >&2
  exit 1
}

"$bin/norza-updater" "$work/fw" 1 &
pid=$!
sleep 1.8  # a few waiting ticks
shot waiting
"$bin/norza-emu" plug "$work/calcs" calc --size 300M >/dev/null
sleep 3  # found, then the countdown is running
shot countdown
await '"parameter":3[0-9]}'
kill -STOP "$pid"  # freeze the window mid-transfer
sleep 0.3
shot transfer
kill -CONT "$pid"
await CMD_FINISH
sleep 0.5
shot done
wait "$pid" || true
pid=""

"$bin/norza-updater" "$work/empty" 1 &
pid=$!
sleep 1.5
shot no-updates
kill "$pid"
wait "$pid" 2>/dev/null || true
pid=""

# Failures, fast-paced: the explanation under the final status text. The
# updater's log tells when the update has ended.
export XDG_STATE_HOME="$work/state"
failure() {  # name language tag faults...
  local name=$1 language=$2 title
  # The window's title is text 631 of the language's table.
  title=$(awk -F'\t' '$1 == "631" { print $2 }' "$root/texts/Help$3.tsv")
  shift 3
  rm -rf "$work/calcs" "$XDG_STATE_HOME"
  mkdir -p "$work/calcs"
  "$bin/norza-emu" plug "$work/calcs" calc --size 8M "$@" >/dev/null
  head -c $((256 * 1024)) /dev/urandom >"$work/fw/APPSDISK.DAT"
  NORZA_PACE_SCALE=0.02 "$bin/norza-updater" "$work/fw" "$language" &
  pid=$!
  local i
  for ((i = 0; i < 3000; i++)); do
    grep -q "update failed" "$XDG_STATE_HOME/norza-updater/updater.log" 2>/dev/null && break
    sleep 0.01
  done
  sleep 0.5
  shot "$name" "$title"
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}
failure failure-no-access 1 En --deny-opens 100
failure failure-no-access-de 4 De --deny-opens 100
failure failure-write 1 En --fail-writes 1000
failure failure-write-de 4 De --fail-writes 1000
