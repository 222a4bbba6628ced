#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the programs need, if any is missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config libglib2.0-dev libsndfile1-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-dev
  jackd2 libjack-jackd2-dev stress-ng
  gcovr ccache
  libplist-dev
  jq
  libgtk-3-dev xvfb xauth
  libasound2-dev alsa-utils sox
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "Run as root to install: ${missing[*]}" >&2; exit 1; }
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to raise the real-time limits of the audio group: answer no, unasked.
echo "jackd2 jackd/tweak_rt_limits boolean false" | "${sudo_cmd[@]}" debconf-set-selections
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
