#!/usr/bin/env bash
# Installs, from Debian's packages, what one kind of work needs: "build" (the programs and the
# library), "test" (everything scripts/test.sh runs, but Wine) or "bench". Safe to run again:
# it only calls apt-get when something is missing.
# Usage: scripts/install-deps.sh [build|test|bench]   (default build)
set -euo pipefail

build=(
  build-essential cmake
  libdeflate-dev        # chunk compression and the entry checksum
  nlohmann-json3-dev    # tarnix-inspect list --json
  libxxhash-dev         # the state record's content hashes
)
test=(
  "${build[@]}"
  libgtest-dev          # unit and end-to-end tests
  zlib1g-dev            # tests decode packs with zlib's own inflate
  util-linux            # setpriv, to run permission tests as another user
  strace                # to see that the pack reaches the disk before it is renamed
  clang libclang-rt-14-dev  # fuzzers and sanitizer builds
  pkg-config dpkg-dev file man-db lintian  # the install, the Debian packages and their checks
  ninja-build           # a consumer built with Ninja, whose packing step runs only on changes
)
bench=("${test[@]}" libbenchmark-dev)
case "${1:-build}" in
  build) packages=("${build[@]}") ;;
  test) packages=("${test[@]}") ;;
  bench) packages=("${bench[@]}") ;;
  *) echo "usage: $0 [build|test|bench]" >&2; exit 2 ;;
esac

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
