#!/usr/bin/env bash
# Runs JACK2 (dummy driver, a client copying 2 inputs to 2 outputs), this stack (the
# simulated interface in loopback, one client streaming 2 in / 2 out) and JACK2's ALSA backend
# on the ALSA device tarsel (the same client, through TARSEL.plugin) at each frame size, at
# 48 kHz, for S seconds each, on a quiet machine and with a CPU hog on every core, and prints
# one table: glitched buffers, CPU of the client and of the server / simulated driver, and
# timing (JACK: |callback interval - period|; ours: the IOProc's start less the moment the
# buffer's last frame was in the ring).
#   scripts/compare-jack.sh [-s SECONDS] [-f "64 256"] [-q]   (-q: quiet runs only)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=20
sizes="64 256"
loads="quiet hog"
while getopts "s:f:qh" opt; do
  case $opt in
    s) seconds=$OPTARG ;;
    f) sizes=$OPTARG ;;
    q) loads="quiet" ;;
    *) sed -n '2,9p' "$0"; exit 2 ;;
  esac
done

scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target jack_copy stack_client tarsel-kextd halplugin \
  asound_module_pcm_tarsel >/dev/null
bin=build/default
rate=48000
model=tarsel-two-hs # 2 in / 2 out, high speed

folder=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$folder"
}
trap cleanup EXIT
stop() { kill "$1" 2>/dev/null || true; wait "$1" 2>/dev/null || true; }

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

run_jack() { # frames -> one line of jack_copy's figures
  local frames=$1 server line=""
  export JACK_NO_AUDIO_RESERVATION=1 JACK_DEFAULT_SERVER="compare$$"
  jackd -n "$JACK_DEFAULT_SERVER" -R -d dummy -r "$rate" -p "$frames" >"$folder/jackd.log" 2>&1 &
  server=$!
  pids+=("$server")
  for _ in $(seq 50); do
    line=$("$bin/bench/jack/jack_copy" "$seconds" "$server" 2>/dev/null) && break
    line=""
    sleep 0.1
  done
  stop "$server"
  echo "$line"
}

run_ours() { # frames -> one line of stack_client's figures
  local frames=$1 daemon line=""
  export TARSEL_KEXT_SOCKET="$folder/kext.sock" HOME="$folder"
  "$bin/kext/tarsel-kextd" --plug "$model" &
  daemon=$!
  pids+=("$daemon")
  for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done
  line=$("$bin/bench/device/stack_client" --frames "$frames" --rate "$rate" --seconds "$seconds" \
           --server-pid "$daemon" 2>/dev/null) || line=""
  stop "$daemon"
  rm -f "$TARSEL_KEXT_SOCKET"
  echo "$line"
}

run_jack_tarsel() { # frames -> one line of jack_copy's figures, JACK2 on pcm.tarsel
  local frames=$1 daemon server line=""
  export TARSEL_KEXT_SOCKET="$folder/kext.sock" HOME="$folder" TARSEL_HAL_PLUGIN_DIR="$PWD/$bin"
  echo "<$PWD/$bin/tools/alsa/tarsel.conf>" >"$folder/.asoundrc"
  "$bin/kext/tarsel-kextd" --plug "$model" &
  daemon=$!
  pids+=("$daemon")
  for _ in $(seq 50); do [ -S "$TARSEL_KEXT_SOCKET" ] && break; sleep 0.1; done
  export JACK_NO_AUDIO_RESERVATION=1 JACK_DEFAULT_SERVER="comparetarsel$$"
  jackd -n "$JACK_DEFAULT_SERVER" -R -d alsa -d tarsel -r "$rate" -p "$frames" >"$folder/jackd-tarsel.log" 2>&1 &
  server=$!
  pids+=("$server")
  # The HAL loads the plug-in as the server opens the device: give it a few seconds.
  for _ in $(seq 100); do
    line=$("$bin/bench/jack/jack_copy" "$seconds" "$server" 2>/dev/null) && break
    line=""
    sleep 0.1
  done
  stop "$server"
  stop "$daemon"
  rm -f "$TARSEL_KEXT_SOCKET"
  echo "$line"
}

cores=$(nproc)
rows=()
for load in $loads; do
  hog=""
  if [ "$load" = hog ]; then
    stress-ng --cpu "$cores" --quiet &
    hog=$!
    pids+=("$hog")
    sleep 1
  fi
  for frames in $sizes; do
    j=$(run_jack "$frames")
    o=$(run_ours "$frames")
    t=$(run_jack_tarsel "$frames")
    if [ -n "$j" ]; then
      rows+=("$(printf '%-6s %6s  %-6s %9s %11s %11s   %s' "$load" "$frames" JACK2 "$(field xruns "$j")" \
        "$(field client_cpu "$j")" "$(field server_cpu "$j")" \
        "period dev $(field dev_p50 "$j") / $(field dev_p99 "$j") / $(field dev_max "$j")")")
    else
      rows+=("$(printf '%-6s %6s  %-6s %s' "$load" "$frames" JACK2 "did not run (see jackd's log)")")
    fi
    if [ -n "$o" ]; then
      rows+=("$(printf '%-6s %6s  %-6s %9s %11s %11s   %s' "$load" "$frames" ours "$(field glitched "$o")" \
        "$(field client_cpu "$o")" "$(field server_cpu "$o")" \
        "lateness $(field late_p50 "$o") / $(field late_p99 "$o") / $(field late_max "$o")  (underruns $(field underruns "$o"), overloads $(field overloads "$o"))")")
    else
      rows+=("$(printf '%-6s %6s  %-6s %s' "$load" "$frames" ours "did not run")")
    fi
    if [ -n "$t" ]; then
      rows+=("$(printf '%-6s %6s  %-6s %9s %11s %11s   %s' "$load" "$frames" tarsel "$(field xruns "$t")" \
        "$(field client_cpu "$t")" "$(field server_cpu "$t")" \
        "period dev $(field dev_p50 "$t") / $(field dev_p99 "$t") / $(field dev_max "$t")")")
    else
      rows+=("$(printf '%-6s %6s  %-6s %s' "$load" "$frames" tarsel "did not run (see jackd's log)")")
    fi
  done
  [ -n "$hog" ] && stop "$hog"
done

echo "48 kHz, ${seconds} s a run, $cores cores (hog: stress-ng --cpu $cores); CPU in % of one core"
echo "(tarsel: JACK2's ALSA backend on the ALSA device tarsel; its server CPU is jackd's, the HAL included)"
echo "load   frames  stack   glitched  client CPU  server CPU   timing p50 / p99 / max (us)"
printf '%s\n' "${rows[@]}"
