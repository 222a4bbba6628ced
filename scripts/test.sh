#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the whole test suite for each preset
# given (default: "default"). Ends with CTest's summary.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(default)
jobs=$(nproc)
# A compiler cache, where there is one, makes a rebuild of an unchanged tree cheap.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  # Paths inside the clone count relative to it, so another clone anywhere hits the same
  # entries; the paths of the system's headers stay as they are.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
for preset in "${presets[@]}"; do
  echo "== preset: $preset"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
