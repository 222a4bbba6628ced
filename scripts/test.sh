#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite for each preset
# given (default: "default"). Ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default)
jobs=$(nproc)
for preset in "${presets[@]}"; do
  echo "== preset: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
