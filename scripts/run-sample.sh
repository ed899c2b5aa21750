#!/usr/bin/env bash
# Installs what building needs, builds Release, and packs the sample tree that ships in
# examples/ into build/sample.pak.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
scripts/build.sh
build/src/app/Tarnix examples/assets build/sample.pak -v
