#!/usr/bin/env bash
# Builds the updater and runs every test.
#   scripts/test.sh            normal build in build/
#   scripts/test.sh --asan     the same under ASan+UBSan in build-asan/
#   scripts/test.sh --tsan     link, worker and dialog tests under TSan in build-tsan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build

mode="${1:-}"
case "$mode" in
  "") dir=build; extra=() ;;
  --asan) dir=build-asan; extra=(-DNORZA_SANITIZE=address -DCMAKE_BUILD_TYPE=Debug) ;;
  --tsan) dir=build-tsan; extra=(-DNORZA_SANITIZE=thread -DCMAKE_BUILD_TYPE=Debug) ;;
  *) echo "usage: $0 [--asan|--tsan]" >&2; exit 2 ;;
esac

cmake -S . -B "$dir" -G Ninja "${extra[@]}" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"

export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
labels=()
[[ "$mode" == --tsan ]] && labels=(-L threads)
ctest --test-dir "$dir" --output-on-failure --timeout 300 -j "$(nproc)" "${labels[@]}"

# The resource package reader takes untrusted files: a short fuzz run under
# ASan+UBSan belongs to every test run (the full check runs it longer).
if [[ -z "$mode" ]]; then
  bash scripts/fuzz.sh --quick
fi
