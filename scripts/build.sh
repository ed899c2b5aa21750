#!/usr/bin/env bash
# Configures and builds Release into build/ (or the folder given as $1), with any further
# arguments handed to CMake (such as -DTARNIX_BUILD_TESTS=OFF).
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build}
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release "${@:2}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
