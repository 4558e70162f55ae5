#!/usr/bin/env bash
# Seeded random batches of calculators against the real class station and
# emulated calculators (tests/soak/station_soak.py, docs/soak.md).
#   scripts/station-soak.sh [--runs N] [--seed S] [--jobs J] [--build DIR] [--scale X]
#                           [--batch-timeout SECONDS] [--stop-timeout SECONDS] [--keep]
# Defaults: 60 schedules from seed 1, nproc jobs, build/, pacing scale 0.01.
# Exit 1 when the station crashed, hung, wrote where or when it must not,
# recorded a round wrongly or left one unrecorded.
set -euo pipefail
cd "$(dirname "$0")/.."

build=build
args=()
while (($#)); do
  case "$1" in
    --build) build="${2:?--build needs a folder}"; shift 2 ;;
    --runs|--seed|--jobs|--scale|--batch-timeout|--stop-timeout) args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    --keep) args+=("$1"); shift ;;
    -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "station-soak.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done

# The project's own build folder is configured and brought up to date; any
# other folder given is built as it is configured (or used as it is).
if [[ "$build" == build ]]; then
  bash scripts/deps.sh build
  cmake -S . -B build -G Ninja >/dev/null
fi
if [[ -f "$build/CMakeCache.txt" ]]; then
  cmake --build "$build" --parallel "$(nproc)" --target norza-station norza-emu >/dev/null
fi
exec python3 tests/soak/station_soak.py --build "$build" "${args[@]}"
