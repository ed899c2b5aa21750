#!/usr/bin/env bash
# Installs what is missing, builds, and packs the sample tree that ships in examples/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
build/src/app/Tarnix examples/assets build/sample.pak -v
