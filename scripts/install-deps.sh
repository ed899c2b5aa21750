#!/usr/bin/env bash
# Installs what building and testing Tarnix needs, from Debian's packages. Safe to run again:
# it only calls apt-get when something is missing.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libdeflate-dev        # chunk compression and the entry checksum
  libgtest-dev          # unit and end-to-end tests
  zlib1g-dev            # tests decode packs with zlib's own inflate
  util-linux            # setpriv, to run permission tests as another user
  clang libclang-rt-14-dev  # fuzzers and sanitizer builds
  libbenchmark-dev      # micro-benchmarks
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}"
fi
