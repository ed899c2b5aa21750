#!/usr/bin/env bash
# Installs what is missing, then runs the whole test suite: the Release build's tests, the same
# tests built with AddressSanitizer and UBSan, and each fuzzer for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
scripts/sanitize.sh
scripts/fuzz.sh 60
