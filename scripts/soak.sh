#!/usr/bin/env bash
# Seeded random fault schedules against the real updater and emulated
# calculators (tests/soak/soak.py, docs/soak.md).
#   scripts/soak.sh [--runs N] [--seed S] [--jobs J] [--build DIR] [--scale X] [--timeout SECONDS]
# Defaults: 200 runs from seed 1, nproc jobs, build/, pacing scale 0.01.
# Exit 1 when any run crashed, hung, wrote where it must not, claimed a
# success the disks do not show or left out the finishing command.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
args=()
while (($#)); do
  case "$1" in
    --build) build="${2:?--build needs a folder}"; shift 2 ;;
    --runs|--seed|--jobs|--scale|--timeout) args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    -h|--help) sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "soak.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# The project's own build folder is configured and brought up to date; any
# other folder given is built as it is configured (or used as it is).
if [[ "$build" == build ]]; then
  bash scripts/deps.sh build
  cmake -S . -B build -G Ninja >/dev/null
fi
if [[ -f "$build/CMakeCache.txt" ]]; then
  cmake --build "$build" --parallel "$(nproc)" --target norza-updater norza-emu >/dev/null
fi
exec python3 tests/soak/soak.py --build "$build" "${args[@]}"
