#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs one of them.
#   scripts/fuzz.sh [target] [seconds]     (default: xml_parse_fuzzer, 600 s)
set -euo pipefail
cd "$(dirname "$0")/.."
"scripts/deps.sh"
target=${1:-xml_parse_fuzzer}
seconds=${2:-600}
corpus=fuzz/corpus/${target%%_*}
work=fuzz-out/$target
mkdir -p "$work"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target "$target" -j "$(nproc)"
"build/fuzz/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 "$work" "$corpus"
