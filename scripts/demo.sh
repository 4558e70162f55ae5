#!/usr/bin/env bash
# The whole updater, for real: builds it, makes a sample firmware image set,
# plugs in two emulated calculators, runs norza-updater on them (on your
# display when there is one, headless otherwise), shows each calculator's
# progress as it happens, then checks every byte on both disks.
#   bash scripts/demo.sh          real pacing (about 20 s: a 5 s countdown, then three images)
#   bash scripts/demo.sh --fast   the same with every pause scaled down
# Exit 0 only when the updater said "Done" (exit code 0) and both
# calculators hold all three images byte for byte.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

scale=1
case "${1:-}" in
  "") ;;
  --fast) scale=0.05 ;;
  *) echo "usage: $0 [--fast]" >&2; exit 2 ;;
esac

bash scripts/deps.sh demo
echo "== building (build/)"
cmake -S . -B build -G Ninja >/dev/null
cmake --build build --parallel "$(nproc)" --target norza-updater norza-emu >/dev/null
bin="$root/build/bin"

work="$(mktemp -d "${TMPDIR:-/tmp}/norza-demo.XXXXXX")"
updater_pid=""
cleanup() {
  [[ -n "$updater_pid" ]] && kill "$updater_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# A legacy image set with random bytes. The OS image at 0 must end below the
# master image at 0x100000, which must end below the application at 0x500000.
fw="$work/firmware"
calcs="$work/calculators"
mkdir -p "$fw" "$calcs"
names=(APPSDISK.DAT KORVAARM.ROM MASTER.DAT)
offsets=(0x500000 0 0x100000)
sizes=($((1024 * 1024)) $((960 * 1024)) $((600 * 1024)))
echo "== sample image set in $fw"
for i in 0 1 2; do
  head -c "${sizes[$i]}" /dev/urandom >"$fw/${names[$i]}"
  printf '   %-13s %8d bytes -> calculator offset %s\n' "${names[$i]}" "${sizes[$i]}" "${offsets[$i]}"
done

echo "== two emulated calculators in $calcs"
for calc in calc-1 calc-2; do "$bin/norza-emu" plug "$calcs" "$calc" | sed 's/^/   /'; done

export NORZA_EMULATOR_DIR="$calcs" NORZA_PACE_SCALE="$scale"
if [[ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]]; then
  echo "== starting norza-updater on your display (pacing x$scale)"
else
  echo "== starting norza-updater headless (no display; pacing x$scale)"
  export QT_QPA_PLATFORM=offscreen
fi
"$bin/norza-updater" "$fw" 1 2>"$work/updater.log" &
updater_pid=$!

# Follow what each calculator reports: a line per image and progress step.
declare -A seen images bucket
report() {
  local calc=$1 journal="$calcs/$1.journal" lines total percent
  [[ -f "$journal" ]] || return 0
  total=$(wc -l <"$journal")
  lines=${seen[$calc]:-0}
  ((total > lines)) || return 0
  while IFS= read -r line; do
    case "$line" in
      *'"CMD_PROGRESS"'*)
        percent=$(sed -n 's/.*"parameter":\([0-9]*\).*/\1/p' <<<"$line")
        if [[ "$percent" == 0 ]]; then
          images[$calc]=$((${images[$calc]:-0} + 1))
          bucket[$calc]=-1
        fi
        # A line at 0, every quarter, and 100.
        if ((percent / 25 > ${bucket[$calc]:--1})); then
          bucket[$calc]=$((percent / 25))
          printf '   %s  image %d of 3 (%s)  %3d%%\n' "$calc" "${images[$calc]}" \
            "${names[${images[$calc]} - 1]}" "$percent"
        fi
        ;;
      *'"CMD_FINISH"'*) printf '   %s  told the update is over (CMD_FINISH)\n' "$calc" ;;
      *'"fault"'*) printf '   %s  fault: %s\n' "$calc" "$line" ;;
    esac
  done < <(sed -n "$((lines + 1)),${total}p" "$journal")
  seen[$calc]=$total
}

echo "== progress (the window counts down 5 s first; press Start to go at once)"
deadline=$((SECONDS + 180))
while kill -0 "$updater_pid" 2>/dev/null; do
  report calc-1
  report calc-2
  if ((SECONDS > deadline)); then
    echo "FAILED: the updater did not finish within 180 s" >&2
    exit 1
  fi
  sleep 0.2
done
status=0
wait "$updater_pid" || status=$?
updater_pid=""
report calc-1
report calc-2
if ((status != 0)); then
  echo "FAILED: norza-updater exited with code $status" >&2
  cat "$work/updater.log" >&2
  exit 1
fi
echo "== norza-updater said Done and exited with code 0"

echo "== checking every byte on both calculators"
bad=0
for calc in calc-1 calc-2; do
  for i in 0 1 2; do
    if "$bin/norza-emu" verify "$calcs" "$calc" "$fw/${names[$i]}" "${offsets[$i]}" >/dev/null; then
      printf '   %s  %-13s at %-8s OK\n' "$calc" "${names[$i]}" "${offsets[$i]}"
    else
      printf '   %s  %-13s at %-8s MISMATCH\n' "$calc" "${names[$i]}" "${offsets[$i]}"
      bad=1
    fi
  done
done
if ((bad)); then
  echo "FAILED: at least one image is not on a calculator as it should be." >&2
  exit 1
fi
echo "SUCCESS: both emulated calculators hold all three firmware images, byte for byte."
