#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job. Until the audio path is in place,
# the main job is the benchmark suite.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
for b in build/default/bench/*/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
