#!/usr/bin/env bash
# Builds the resource package fuzz target with clang in build-fuzz/ and runs
# it for a fixed time over the committed seed corpus (fuzz/corpus), which it
# only reads, and a 256 KiB package with one very long string written by
# fuzz/long_string_seed.py (too large to commit): new inputs go to a
# temporary folder that is removed afterwards.
#   scripts/fuzz.sh           60 seconds
#   scripts/fuzz.sh --quick   10 seconds
# An input that takes more than a second counts as a failure like a crash:
# it is left in build-fuzz/ (timeout-*, crash-*) and fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
case "${1:-}" in
  "") ;;
  --quick) seconds=10 ;;
  *) echo "usage: $0 [--quick]" >&2; exit 2 ;;
esac

bash scripts/deps.sh fuzz

# Only the fuzz target's own project: the rest of the tree need not build with clang.
cmake -S fuzz -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz --target norza-fuzz-package -j2

# The largest input, and the size of the generated package.
max_len=262144

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/new" "$work/seeds"
python3 fuzz/long_string_seed.py "$work/seeds/long-string.zkresource" "$max_len"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# Slow inputs (the generated package takes about 0.2 s) are mutated less
# often, or they would take most of the run's time.
build-fuzz/bin/norza-fuzz-package -max_total_time="$seconds" -timeout=1 -rss_limit_mb=2048 \
  -max_len="$max_len" -entropic_scale_per_exec_time=1 -print_final_stats=1 \
  -artifact_prefix=build-fuzz/ "$work/new" fuzz/corpus "$work/seeds"
