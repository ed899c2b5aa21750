#!/usr/bin/env bash
# Installs what is missing, then runs the whole test suite: the Release build's tests, the same
# tests built with AddressSanitizer and UBSan, each fuzzer for a bounded time, and the Windows
# build's tests under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
scripts/sanitize.sh
scripts/fuzz.sh 60
scripts/windows.sh
