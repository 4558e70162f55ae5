#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench/) and runs them.
#   scripts/bench.sh [link|resources|app]...   default: all three
# The loop-device comparisons with dd need root; they skip themselves elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build

cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DNORZA_BUILD_BENCH=ON >/dev/null
suites=("$@")
((${#suites[@]})) || suites=(link resources app)
targets=()
for suite in "${suites[@]}"; do targets+=("norza-bench-$suite"); done
cmake --build build-bench --parallel "$(nproc)" --target "${targets[@]}" norza_texts

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export XDG_RUNTIME_DIR="${XDG_RUNTIME_DIR:-$(mktemp -d)}"
for target in "${targets[@]}"; do
  echo "================ $target"
  # The offscreen platform warns once per window it cannot resize; noise here.
  "build-bench/bin/$target" 2> >(grep -v "propagateSizeHints" >&2)
done
