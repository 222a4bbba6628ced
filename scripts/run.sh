#!/usr/bin/env bash
# The main job: installs what is missing, builds, starts a private simulated kernel driver with
# the default interface, and goes through the plug-in as any application would (the programs'
# HAL loads build/default/TARSEL.plugin): lists the devices, sends audio round through the
# loopback at three frame sizes, plays a WAV file while recording one (the WAV files stay in
# out/), and runs the benchmarks and the I/O timing harness briefly.
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
# The HAL of the programs finds the plug-in bundle here.
export TARSEL_HAL_PLUGIN_DIR="$bin"
"$bin/kext/tarsel-kextd" --plug tarsel &
daemon=$!
trap 'kill $daemon 2>/dev/null; wait $daemon 2>/dev/null; rm -rf "$folder"' EXIT
for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done

echo "== the simulated kernel driver"
"$bin/kext/tarsel-kextctl" list
echo "== the devices through the HAL and the plug-in"
"$bin/tools/tarsel-hal"

status=0
for frames in default 64 1024; do
  echo "== audio round trip, frame size $frames (WAV files in $out/$frames/)"
  args=(--out "$out/$frames")
  [ "$frames" = default ] || args+=(--frames "$frames")
  "$bin/tools/tarsel-roundtrip" "${args[@]}" || status=1
done

echo "== tarsel-play plays out/default/played.wav while tarsel-rec records the input to $out/recorded.wav"
"$bin/tools/tarsel-rec" "$out/recorded.wav" --seconds 5 &
recorder=$!
sleep 0.5
"$bin/tools/tarsel-play" "$out/default/played.wav" || status=1
wait $recorder || status=1

for b in "$bin"/bench/*/*_bench; do
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2
done
echo "== the I/O path's timing (io_timing, 2 s a run; the full run is 60 s)"
"$bin/bench/device/io_timing" --seconds 2 || status=1

[ $status -eq 0 ] && echo "== done" || echo "== done, with failures (see above)"
exit $status
