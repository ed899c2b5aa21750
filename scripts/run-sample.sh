#!/usr/bin/env bash
# Installs what building the programs needs (no test packages), builds them and the library
# in Release, and packs the sample tree that ships in examples/ into build/sample.pak.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
scripts/build.sh build -DTARNIX_BUILD_TESTS=OFF
build/src/app/Tarnix examples/assets build/sample.pak -v
