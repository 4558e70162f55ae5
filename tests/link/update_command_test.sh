#!/usr/bin/env bash
# norza-link update against emulated calculators, judged by their disks and
# journals: the exit codes, who is named, who is told the update is over.
#   update_command_test.sh NORZA_LINK NORZA_EMU GUARD_PROBE
set -uo pipefail
link=$1 emu=$2 probe=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home TMPDIR=$work/tmp XDG_RUNTIME_DIR=$work/run XDG_STATE_HOME=$work/state
mkdir -p "$HOME" "$TMPDIR" "$XDG_RUNTIME_DIR" "$work/fw"
chmod 700 "$XDG_RUNTIME_DIR"
export NORZA_EMULATOR_DIR=$work/calcs NORZA_PACE_SCALE=0
failed=0
expect() {  # what, wanted, got
  if [[ $2 == "$3" ]]; then echo "ok   $1"; else echo "FAIL $1: wanted '$2', got '$3'"; failed=1; fi
}
finished() { "$emu" journal "$NORZA_EMULATOR_DIR" "$1" | grep -c 'finish received: yes'; }
holds_all() {
  for f in APPSDISK.DAT:0x500000 KORVAARM.ROM:0 MASTER.DAT:0x100000; do
    "$emu" verify "$NORZA_EMULATOR_DIR" "$1" "$work/fw/${f%%:*}" "${f##*:}" >/dev/null || { echo no; return; }
  done
  echo yes
}

"$link" update "$work/fw" --wait 0 >/dev/null 2>&1
expect "no image set: 3" 3 $?
head -c 70000 /dev/urandom >"$work/fw/APPSDISK.DAT"
head -c 50000 /dev/urandom >"$work/fw/KORVAARM.ROM"
head -c 90000 /dev/urandom >"$work/fw/MASTER.DAT"
"$link" update "$work/fw" --wait 0 >/dev/null 2>&1
expect "no calculator within --wait: 4" 4 $?
"$link" update >/dev/null 2>&1
expect "no FOLDER: 2" 2 $?

# One calculator that always fails holds back nobody, is named, never told.
"$emu" plug "$NORZA_EMULATOR_DIR" good --size 8M >/dev/null
"$emu" plug "$NORZA_EMULATOR_DIR" bad --size 8M --fail-writes 1000 >/dev/null
"$link" update "$work/fw" --json >"$work/out.json" 2>"$work/err"
expect "one calculator failed: 1" 1 $?
expect "good holds every image" yes "$(holds_all good)"
expect "good was told" 1 "$(finished good)"
expect "bad was not told" 0 "$(finished bad)"
expect "only bad is named" "bad" "$(sed -n 's/^norza-link: not completed: \([^:]*\):.*/\1/p' "$work/err" | tr '\n' ' ' | sed 's/ $//')"
expect "JSON ends with exit 1" '{"event":"end","result":"failed","exit":1}' "$(tail -n1 "$work/out.json")"
expect "the log's last calculator lines" 2 "$(grep -c '  calculator ' "$XDG_STATE_HOME/norza-updater/updater.log")"

# One that vanishes in the middle is named with its own failure, not only
# as missing.
"$emu" unplug "$NORZA_EMULATOR_DIR" bad >/dev/null
"$emu" plug "$NORZA_EMULATOR_DIR" gone --size 8M --vanish-after-writes 2 >/dev/null
"$link" update "$work/fw" --json >"$work/gone.json" 2>/dev/null
expect "one vanished: 1" 1 $?
expect "it is missing with its write failure" 1 "$(grep -c '"serial":"gone".*"outcome":"missing".*"code":112' "$work/gone.json")"
rm -f "$NORZA_EMULATOR_DIR"/gone.*

# While another updater of this user runs, the command gives way.
coproc holder { "$probe" CALVUD; }
read -r state <&"${holder[0]}"
expect "the probe holds the guard" held "$state"
"$link" update "$work/fw" --wait 0 >/dev/null 2>"$work/err"
expect "busy: 5" 5 $?
expect "it says who holds the calculators" 1 "$(grep -c 'another updater of this user is running' "$work/err")"
exec {holder[1]}>&-
wait "$holder_PID" 2>/dev/null

# Interrupted in the first image: exit 130, nobody lacking an image is told.
"$emu" plug "$NORZA_EMULATOR_DIR" fresh --size 8M >/dev/null
NORZA_PACE_SCALE=1 "$link" update "$work/fw" --json >"$work/int.json" 2>/dev/null &
pid=$!
for _ in $(seq 200); do grep -q '"progress"' "$work/int.json" 2>/dev/null && break; sleep 0.05; done
kill -INT "$pid"
wait "$pid"
expect "interrupted: 130" 130 $?
expect "fresh was not told" 0 "$(finished fresh)"
expect "fresh is reported interrupted" 1 "$(grep -c '"serial":"fresh".*"outcome":"interrupted"' "$work/int.json")"
exit $failed
