#!/usr/bin/env bash
# Writes a sample firmware image set to two emulated calculators through
# norza-link, the way the updater does, and checks every byte with norza-emu.
#   scripts/demo-link.sh [BUILD_DIR]     (default: $BUILD_DIR, else build)
# The binaries are taken from BUILD_DIR/bin. NORZA_PACE_SCALE (e.g. 0.1)
# shortens the link's fixed pauses. Exit 0 when both calculators hold all
# three images, 1 otherwise, 2 when the binaries are missing.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-${BUILD_DIR:-$root/build}}"
bin="$build/bin"
emu="$bin/norza-emu"
link="$bin/norza-link"
for tool in "$emu" "$link"; do
  if [[ ! -x "$tool" ]]; then
    echo "demo-link: $tool not found; build it first: cmake --build $build --target $(basename "$tool")" >&2
    exit 2
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/norza-demo.XXXXXX")"
trap 'rm -rf "$work"' EXIT
images="$work/images"
calcs="$work/calculators"
mkdir -p "$images"

# The prefixed image set, in transfer order, with random bytes (whole sectors).
# The OS at 0 must stay below the master at 0x100000, which must stay below
# the application at 0x500000.
names=(NORZA_APP.DAT NORZA_MASTER.DAT NORZA_OS.ROM)
offsets=(0x500000 0x100000 0)
sizes=($((1024 * 1024)) $((600 * 1024)) $((960 * 1024)))
for i in 0 1 2; do
  head -c "${sizes[$i]}" /dev/urandom >"$images/${names[$i]}"
done
echo "image set in $images:"
for i in 0 1 2; do
  printf '  %-18s %8d bytes -> offset %s\n' "${names[$i]}" "${sizes[$i]}" "${offsets[$i]}"
done

# Two calculators (the second fails its first three writes, which the link
# retries) and a memory stick that must be left alone.
"$emu" plug "$calcs" calc-1 >/dev/null
"$emu" plug "$calcs" calc-2 --fail-writes 3 >/dev/null
"$emu" plug "$calcs" usb-stick --vendor Generic --product "Flash Disk" >/dev/null
export NORZA_EMULATOR_DIR="$calcs"
echo "calculators attached:"
"$link" list | sed 's/^/  /'

failed=0
for i in 0 1 2; do
  start=$(date +%s%N)
  if "$link" download "$images/${names[$i]}" "${offsets[$i]}" >/dev/null; then
    printf 'download %-18s ok (%d ms)\n' "${names[$i]}" $((($(date +%s%N) - start) / 1000000))
  else
    echo "download ${names[$i]} FAILED with link code $?"
    failed=1
  fi
done
if "$link" finish >/dev/null; then
  echo "finish ok"
else
  echo "finish FAILED with link code $?"
  failed=1
fi

echo "checking the disks:"
for calc in calc-1 calc-2; do
  for i in 0 1 2; do
    if result=$("$emu" verify "$calcs" "$calc" "$images/${names[$i]}" "${offsets[$i]}" 2>&1); then
      echo "  $result"
    else
      echo "  $result"
      failed=1
    fi
  done
done
if [[ -e "$calcs/usb-stick.journal" ]]; then
  echo "  the memory stick was opened: FAILED"
  failed=1
else
  echo "  the memory stick was never opened"
fi

echo
for calc in calc-1 calc-2; do
  summary=$("$emu" journal "$calcs" "$calc") || failed=1
  echo "$summary" | grep -v '^    at '
  grep -q 'finish received: yes' <<<"$summary" || failed=1
done

echo
if [[ $failed -eq 0 ]]; then
  echo "VERDICT: PASS - both calculators hold all three images and got CMD_FINISH"
  exit 0
fi
echo "VERDICT: FAIL"
exit 1
