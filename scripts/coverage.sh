#!/usr/bin/env bash
# Builds the coverage preset, runs the whole test suite and prints line and branch coverage of
# the suite's own code (foundation/, device/, halplugin/). The programs the tests start are
# built instrumented too, so what they run counts. Exits with CTest's status.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
build=build/coverage
jobs=$(nproc)
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
  # Paths inside the clone count relative to it, so another clone anywhere hits the same
  # entries; the paths of the system's headers stay as they are.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
fi
cmake --preset coverage >/dev/null
cmake --build --preset coverage -j "$jobs"
find "$build" -name '*.gcda' -delete
status=0
ctest --preset coverage -j "$jobs" || status=$?
# Throw branches are the compiler's exception edges, not decisions in the code.
gcovr --root . --object-directory "$build" \
  --filter "$PWD/(foundation|device|halplugin)/" \
  --exclude-throw-branches --exclude-unreachable-branches \
  --exclude-directories '.*/CMakeFiles/[0-9][0-9.]*' \
  -j "$jobs" --txt "$build/coverage.txt" --print-summary
echo "per-file report: $build/coverage.txt"
exit "$status"
