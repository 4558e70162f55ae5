#!/usr/bin/env bash
# The real norza-station against emulated calculators: both are written and
# told, the history holds a line for each, and while it runs a second
# station, norza-link update and the updater give way naming it.
#   station_test.sh NORZA_STATION NORZA_EMU NORZA_LINK NORZA_UPDATER
set -uo pipefail
station=$1 emu=$2 link=$3 updater=$4
work=$(mktemp -d)
pid=""
trap '[[ -n $pid ]] && kill -KILL "$pid" 2>/dev/null; rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/run XDG_STATE_HOME=$work/state
mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" "$work/fw"
chmod 700 "$XDG_RUNTIME_DIR"
export NORZA_EMULATOR_DIR=$work/calcs NORZA_PACE_SCALE=0 QT_QPA_PLATFORM=offscreen
history=$XDG_STATE_HOME/norza-station/history.csv
failed=0
expect() {  # what, wanted, got
  if [[ $2 == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1: wanted '$2', got '$3'"; failed=1; fi
}
holds_and_told() {
  for f in APPSDISK.DAT:0x500000 KORVAARM.ROM:0 MASTER.DAT:0x100000; do
    "$emu" verify "$NORZA_EMULATOR_DIR" "$1" "$work/fw/${f%%:*}" "${f##*:}" >/dev/null || { echo no; return; }
  done
  "$emu" journal "$NORZA_EMULATOR_DIR" "$1" | grep -q 'finish received: yes' && echo yes || echo untold
}
lines() { grep -c "$1" "$history" 2>/dev/null; }

head -c 70000 /dev/urandom >"$work/fw/APPSDISK.DAT"
head -c 50000 /dev/urandom >"$work/fw/KORVAARM.ROM"
head -c 90000 /dev/urandom >"$work/fw/MASTER.DAT"
"$emu" plug "$NORZA_EMULATOR_DIR" beta --size 8M --port 1-2 >/dev/null
"$emu" plug "$NORZA_EMULATOR_DIR" alpha --size 8M --port 1-1 >/dev/null

"$station" "$work/fw" 2>"$work/station.err" &
pid=$!
for _ in $(seq 600); do [[ $(lines ',updated,') == 2 ]] && break; sleep 0.05; done
expect "both rounds ended updated" 2 "$(lines ',updated,0,$')"
expect "alpha holds every image and was told" yes "$(holds_and_told alpha)"
expect "beta holds every image and was told" yes "$(holds_and_told beta)"
sha=$(sha256sum "$work/fw/KORVAARM.ROM" | cut -d' ' -f1)
expect "a line names its port and each image's SHA-256" 1 "$(grep -c "^[0-9T:-]*Z,alpha,1-1,.*KORVAARM.ROM=$sha " "$history")"

"$station" "$work/fw" >/dev/null 2>"$work/err"
expect "a second station: 5" 5 $?
expect "it names the station" 1 "$(grep -c 'norza-station: another updater of this user is running (Norza Class Station' "$work/err")"
"$link" update "$work/fw" --wait 0 >/dev/null 2>"$work/err"
expect "the command: 5" 5 $?
expect "it names the station" 1 "$(grep -c 'running (Norza Class Station (norza-station))' "$work/err")"
"$updater" "$work/fw" 1 >/dev/null 2>"$work/err"
expect "the window gives way: 0" 0 $?
expect "it names the station" 1 "$(grep -c 'running (Norza Class Station (norza-station))' "$work/err")"
expect "the log says so too" 1 "$(grep -c 'norza-station: another updater' "$XDG_STATE_HOME/norza-updater/updater.log")"

kill -TERM "$pid"
wait "$pid"
expect "closed by SIGTERM: 0" 0 $?
pid=""
expect "no round was left open" 0 "$(lines 'stopped before')"

expect "--history: the header and today's lines" 3 "$("$station" --history | wc -l)"
expect "--history of another day: the header" 1 "$("$station" --history 2000-01-01 | wc -l)"
"$station" --history 2000-13-01 >/dev/null 2>&1
expect "--history of no day: 2" 2 $?
exit $failed
