#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a private simulated kernel driver with
# the default interface, lists it, sends audio round through its loopback at three frame sizes
# (the WAV files stay in out/), and runs the benchmarks and the I/O timing harness briefly.
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
echo "== building (build/default)"
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"

bin=build/default
out=out
folder=$(mktemp -d)
export TARSEL_KEXT_SOCKET="$folder/kext.sock"
# The devices keep a settings file in HOME; a private one leaves the user's alone.
export HOME="$folder"
"$bin/kext/tarsel-kextd" --plug tarsel &
daemon=$!
trap 'kill $daemon 2>/dev/null; wait $daemon 2>/dev/null; rm -rf "$folder"' EXIT
for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done

echo "== the simulated kernel driver"
"$bin/kext/tarsel-kextctl" list
echo "== the interface through the device layer"
"$bin/tools/tarsel-devices"

status=0
for frames in default 64 1024; do
  echo "== audio round trip, frame size $frames (WAV files in $out/$frames/)"
  args=(--out "$out/$frames")
  [ "$frames" = default ] || args+=(--frames "$frames")
  "$bin/tools/tarsel-roundtrip" "${args[@]}" || status=1
done

for b in "$bin"/bench/*/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
echo "== the I/O path's timing (io_timing, 2 s a run; the full run is 60 s)"
"$bin/bench/device/io_timing" --seconds 2 || status=1

[ $status -eq 0 ] && echo "== done" || echo "== done, with failures (see above)"
exit $status
