#!/usr/bin/env bash
# Builds the resource package fuzz target with clang in build-fuzz/ and runs
# it for a fixed time over the committed seed corpus (fuzz/corpus), which it
# only reads: new inputs go to a temporary folder that is removed afterwards.
#   scripts/fuzz.sh           60 seconds
#   scripts/fuzz.sh --quick   10 seconds
# A crash leaves its input in build-fuzz/ (crash-*) and fails the script.
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

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
build-fuzz/bin/norza-fuzz-package -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=65536 -print_final_stats=1 -artifact_prefix=build-fuzz/ "$work" fuzz/corpus
