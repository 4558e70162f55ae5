#!/usr/bin/env bash
# The heavier checks, after the test command (scripts/test.sh), in order:
# the Debian packages they need, the whole suite under ASan+UBSan, the
# threaded tests under TSan, 200 seeded fault schedules against the real
# updater (build/), 60 seeded schedules of calculator batches against the
# real class station (build/), the resource package fuzzer for a fixed time,
# the Windows cross-build under wine, the Debian package, the updater
# against a real block device, and the updater against a real kernel's USB
# mass storage under QEMU. Each step is timed; the first failing step
# ends the run. A summary with every step's duration comes last.
set -uo pipefail
cd "$(dirname "$0")/.."

steps=(
  "deps|Debian packages for the full check|bash scripts/deps.sh full"
  "asan|whole suite under ASan+UBSan (build-asan)|bash scripts/test.sh --asan"
  "tsan|threaded tests under TSan (build-tsan)|bash scripts/test.sh --tsan"
  "soak|200 seeded fault schedules against the real updater|bash scripts/soak.sh"
  "station-soak|60 seeded schedules of batches against the real station|bash scripts/station-soak.sh"
  "fuzz|resource package fuzzer, fixed time (build-fuzz)|bash scripts/fuzz.sh"
  "windows|Updater.exe, its tests and installer under wine (build-mingw-test, -ship)|bash scripts/windows-check.sh"
  "package|Debian package, installed and run (build-pkg)|bash scripts/package-check.sh"
  "real-device|the updater through a loop device and FUSE (build-e2e)|bash scripts/real-device-e2e.sh"
  "qemu|a real kernel's USB mass storage under QEMU|bash scripts/qemu-usb-e2e.sh"
)

names=() results=() seconds=()
total_start=$(date +%s%N)
summary() {
  local total=$((($(date +%s%N) - total_start) / 1000000))
  echo
  echo "================ full check summary ================"
  for i in "${!names[@]}"; do
    printf '  %-12s %-5s %8.1f s\n' "${names[$i]}" "${results[$i]}" "$(bc_div "${seconds[$i]}")"
  done
  printf '  %-12s %-5s %8.1f s\n' total "$1" "$(bc_div "$total")"
}
bc_div() { printf '%d.%d' $(($1 / 1000)) $((($1 % 1000) / 100)); }

for entry in "${steps[@]}"; do
  IFS='|' read -r name title command <<<"$entry"
  echo
  echo "================ [$name] $title"
  echo "\$ $command"
  start=$(date +%s%N)
  bash -c "$command"
  code=$?
  elapsed=$((($(date +%s%N) - start) / 1000000))
  names+=("$name")
  seconds+=("$elapsed")
  if [[ $code -ne 0 ]]; then
    results+=(FAIL)
    echo "================ [$name] FAILED with exit code $code after $(bc_div "$elapsed") s"
    summary FAIL
    exit 1
  fi
  results+=(ok)
  echo "================ [$name] ok in $(bc_div "$elapsed") s"
done
summary PASS
