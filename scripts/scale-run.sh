#!/usr/bin/env bash
# Streams many clients at once through the simulated driver and prints, for each setting, the
# glitched buffers of every client, their CPU and the simulated driver's (in % of one core):
#   - 8 client processes on one Marlow Rack 32 (32 inputs, 16 outputs), each copying its
#     inputs to its outputs;
#   - 4 Tarsel Two interfaces (2 in / 2 out), one client process each.
#   scripts/scale-run.sh [-s SECONDS] [-f FRAMES] [-c CLIENTS] [-n INTERFACES]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=60
frames=128
clients=8
interfaces=4
while getopts "s:f:c:n:h" opt; do
  case $opt in
    s) seconds=$OPTARG ;;
    f) frames=$OPTARG ;;
    c) clients=$OPTARG ;;
    n) interfaces=$OPTARG ;;
    *) sed -n '2,7p' "$0"; exit 2 ;;
  esac
done

scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target stack_client tarsel-kextd >/dev/null
bin=build/default
rate=48000

folder=$(mktemp -d)
daemon=""
cleanup() {
  [ -n "$daemon" ] && { kill "$daemon" 2>/dev/null || true; wait "$daemon" 2>/dev/null || true; }
  rm -rf "$folder"
}
trap cleanup EXIT

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# setting-name, then the daemon's --plug arguments; CLIENT_INTERFACES lists each client's index.
run_setting() {
  local name=$1; shift
  export TARSEL_KEXT_SOCKET="$folder/kext.sock" HOME="$folder"
  "$bin/kext/tarsel-kextd" "$@" &
  daemon=$!
  for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done
  local pids=() n=0
  for i in $CLIENT_INTERFACES; do
    "$bin/bench/device/stack_client" --frames "$frames" --rate "$rate" --seconds "$seconds" \
      --server-pid "$daemon" --interface "$i" >"$folder/client$n.txt" 2>&1 &
    pids+=($!)
    n=$((n + 1))
  done
  local failed=0
  for p in "${pids[@]}"; do wait "$p" || failed=$((failed + 1)); done
  kill "$daemon"; wait "$daemon" 2>/dev/null || true
  daemon=""
  rm -f "$TARSEL_KEXT_SOCKET"

  local glitched=0 cpu=0 server=0 p99=0 line
  for c in $(seq 0 $((n - 1))); do
    line=$(cat "$folder/client$c.txt")
    if [ -z "$(field glitched "$line")" ]; then
      echo "$name: client $c did not run: $line"
      continue
    fi
    glitched=$((glitched + $(field glitched "$line")))
    cpu=$(awk -v a="$cpu" -v b="$(field client_cpu "$line")" 'BEGIN { print a + b }')
    server=$(awk -v a="$server" -v b="$(field server_cpu "$line")" 'BEGIN { print (b > a) ? b : a }')
    p99=$(awk -v a="$p99" -v b="$(field late_p99 "$line")" 'BEGIN { print (b > a) ? b : a }')
  done
  printf '%-34s %8s %9s %14s %11s %16s\n' "$name" "$n" "$glitched" "$cpu" "$server" "$p99"
  [ "$failed" -eq 0 ]
}

echo "48 kHz, $frames frames, ${seconds} s, $(nproc) cores; CPU in % of one core (clients summed)"
printf '%-34s %8s %9s %14s %11s %16s\n' setting clients glitched "client CPU" "driver CPU" "worst p99 (us)"
CLIENT_INTERFACES=$(for _ in $(seq "$clients"); do echo 0; done) \
  run_setting "$clients clients, one 32-channel interface" --plug marlow-rack-32-hs
plugs=()
for _ in $(seq "$interfaces"); do plugs+=(--plug tarsel-two-hs); done
CLIENT_INTERFACES=$(seq 0 $((interfaces - 1))) run_setting "$interfaces interfaces, one client each" "${plugs[@]}"
