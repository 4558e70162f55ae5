#!/usr/bin/env bash
# Screenshots of the real class station (norza-station) under Xvfb at
# 1024x600 with emulated calculators on USB ports, saved in docs/screenshots/:
#   station-empty.png     the empty board, before any calculator
#   station-batch.png     a batch of 12 mid-transfer: five done, one given up
#                         after its six attempts, six being written
#   station-tally.png     the tally after a second batch of 16 (a full board)
#   bash scripts/station-screenshots.sh [BUILD_DIR]      (default: build)
# Needs xvfb-run, xwininfo, ImageMagick's import and python3 (Debian: xvfb,
# x11-utils, imagemagick, python3; `scripts/deps.sh shots` installs them).
# Every wait is on something observed: the calculators' journals, the
# station's history file, and what the board shows (scripts/lib/boardlook.py
# counts the slots of each colour in a capture of the window).
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build="${1:-build}"
bin="$root/$build/bin"
out="$root/docs/screenshots"

if [[ -z "${NORZA_STATION_SHOTS_INSIDE_X:-}" ]]; then
  for tool in xvfb-run xwininfo import python3; do
    command -v "$tool" >/dev/null || {
      echo "station-screenshots: $tool is missing (scripts/deps.sh shots)" >&2
      exit 2
    }
  done
  cmake -S . -B "$build" -G Ninja >/dev/null
  cmake --build "$build" --parallel "$(nproc)" --target norza-station norza-emu >/dev/null
  mkdir -p "$out"
  exec env NORZA_STATION_SHOTS_INSIDE_X=1 xvfb-run -a -s "-screen 0 1024x600x24" \
    bash "$0" "$build"
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/norza-station-shots.XXXXXX")"
pid=""
stop_station() {
  [[ -n "$pid" ]] || return 0
  kill -CONT "$pid" 2>/dev/null || true
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
}
trap 'stop_station; rm -rf "$work"' EXIT

# A private user: settings, history, log, runtime folder and temporary files.
private() {  # folder
  rm -rf "$1"
  mkdir -p "$1/calcs" "$1/home/.config" "$1/state" "$1/run" "$1/tmp"
  chmod 700 "$1/run"
  export NORZA_EMULATOR_DIR="$1/calcs" HOME="$1/home" XDG_CONFIG_HOME="$1/home/.config" \
    XDG_STATE_HOME="$1/state" XDG_RUNTIME_DIR="$1/run" TMPDIR="$1/tmp"
  calcs="$1/calcs"
  history="$1/state/norza-station/history.csv"
}

# The image set. The application image is large enough that writing it
# lasts a few seconds (as in screenshots.sh); the emulated disks are
# sparse files in $work, removed as they are unplugged.
mkdir -p "$work/fw"
app_size=$((256 * 1024 * 1024))
head -c "$app_size" /dev/urandom >"$work/fw/APPSDISK.DAT"
head -c $((960 * 1024)) /dev/urandom >"$work/fw/KORVAARM.ROM"
head -c $((600 * 1024)) /dev/urandom >"$work/fw/MASTER.DAT"
# Pauses of the station (polls, the rest after a failure) at a tenth.
export NORZA_PACE_SCALE=0.1

window=""
capture="$work/capture.ppm"

# Waits (bounded, 60 s) until COMMAND succeeds; says what it waited for.
await() {  # what command...
  local what=$1 deadline=$((SECONDS + 60))
  shift
  while ((SECONDS < deadline)); do
    "$@" && return 0
    sleep 0.02
  done
  echo "station-screenshots: timed out waiting for $what" >&2
  [[ -f "$work/station.out" ]] && sed 's/^/  station: /' "$work/station.out" >&2
  exit 1
}
# The station's main window, known by its class (its title depends on the
# language; import's own search by title misses a title beyond Latin-1 and
# then waits for a click).
window_shown() {
  window=$(xwininfo -root -tree 2>/dev/null | awk '/\("norza-station" / { print $1; exit }')
  [[ -n "$window" ]]
}
# What the board shows now ("empty=16 waiting=0 ..."), from a capture.
board() {
  import -window "$window" -depth 8 "ppm:$capture" 2>/dev/null && python3 "$root/scripts/lib/boardlook.py" "$capture"
}
board_is() {  # looks, e.g. "writing=6 done=5 failed=1", each compared exactly
  local now look
  now=" $(board) " || return 1
  for look in "$@"; do [[ "$now" == *" $look "* ]] || return 1; done
}
shot() {  # name
  import -window "$window" "$out/$1.png"
  echo "station-screenshots: $out/$1.png"
}
# A calculator's serial: the batch's letter and the port's digits.
serial() {  # port
  local port=$1
  echo "NZ-$letter${port//[-.]/}"
}
plug() {  # port [norza-emu options]
  local port=$1
  shift
  "$bin/norza-emu" plug "$calcs" "$(serial "$port")" --size 300M --port "$port" "$@" >/dev/null
}
unplug_all() {
  local disk
  for disk in "$calcs"/*.disk; do rm -f "$disk"; done
}
lines() {  # outcome: the history's lines with it
  [[ -f "$history" ]] || { echo 0; return; }
  grep -c ",$1," "$history" || true
}
has_lines() { [[ $(lines "$1") -ge $2 ]]; }
# The offset of a calculator's last data write, from its journal's end:
# {"event":"write","offset":N,"length":L}, field 4 when split at : , }
last_write() {  # journal
  tail -n 20 "$1" 2>/dev/null | awk -F'[:,}]' '$2 == "\"write\"" { at = $4 } END { print at + 0 }'
}
# Each journal shows the application image (at 0x500000) being written,
# past a tenth of it and short of its end.
in_app_image() {  # journals...
  local journal at low=$((0x500000 + app_size / 10)) high=$((0x500000 + app_size - (1 << 20)))
  for journal in "$@"; do
    at=$(last_write "$journal")
    ((at > low && at < high)) || return 1
  done
}
late_journals=()
late_in_app_image() { in_app_image "${late_journals[@]}"; }

# The batch: ports 1-1.1 ... 1-4.3, one calculator (1-2.2) whose writes keep
# failing. It comes first, alone, and uses up its six attempts; then five
# are plugged in and written; then six more, frozen while being written.
batch() {  # shot name
  local name=$1 i
  plug 1-2.2 --fail-writes 60
  await "the failing calculator given up" has_lines failed 1
  for port in 1-1.1 1-1.2 1-1.3 1-2.1 1-2.3; do plug "$port"; done
  await "five calculators updated" has_lines updated 5
  late_journals=()
  for port in 1-3.1 1-3.2 1-3.3 1-4.1 1-4.2 1-4.3; do
    plug "$port"
    late_journals+=("$calcs/$(serial "$port").journal")
  done
  # Frozen (SIGSTOP) while all six are inside the application image; the
  # window keeps what it last drew. A board that has not caught up yet is
  # let run on (bounded: 20 tries).
  for ((i = 0; i < 20; i++)); do
    await "six calculators inside the application image" late_in_app_image
    kill -STOP "$pid"
    late_in_app_image && board_is writing=6 done=5 failed=1 empty=4 && break
    kill -CONT "$pid"
  done
  ((i < 20)) || { echo "station-screenshots: the board never showed the batch: $(board)" >&2; exit 1; }
  shot "$name"
  kill -CONT "$pid"
}

start_station() {
  "$bin/norza-station" "$work/fw" >"$work/station.out" 2>&1 &
  pid=$!
  await "the station's window" window_shown
}

# The empty board, the batch, then the tally after two batches.
private "$work/en"
letter=A
start_station
await "the empty board" board_is empty=16
shot station-empty
batch station-batch
await "the batch updated" has_lines updated 11
unplug_all
await "the board emptied" board_is empty=16
letter=B
for hub in 1 2 3 4; do
  for port in 1 2 3 4; do plug "1-$hub.$port"; done
done
await "the second batch updated" has_lines updated 27
await "the board caught up" board_is done=16
shot station-tally
stop_station

