#!/usr/bin/env bash
# Installs what is missing, builds, and runs the main job: a private simulated kernel driver
# with the default interface, the device layer listing it through the device manager, and the
# benchmarks. (Audio through the interface comes with the audio path.)
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

bin=build/default
folder=$(mktemp -d)
export TARSEL_KEXT_SOCKET="$folder/kext.sock"
"$bin/kext/tarsel-kextd" --plug tarsel &
daemon=$!
trap 'kill $daemon 2>/dev/null; wait $daemon 2>/dev/null; rm -rf "$folder"' EXIT
for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done

echo "== the simulated kernel driver"
"$bin/kext/tarsel-kextctl" list
echo "== the interface through the device layer"
"$bin/tools/tarsel-devices"
for b in "$bin"/bench/*/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
