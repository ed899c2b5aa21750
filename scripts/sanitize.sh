#!/usr/bin/env bash
# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs the tests;
# then runs the tests where threads meet (one reader shared, the compression pipeline) under
# ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build-sanitize
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNIX_SANITIZE=ON >/dev/null
cmake --build "$build" -j"$(nproc)"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNIX_SANITIZE_THREADS=ON >/dev/null
cmake --build build-tsan -j"$(nproc)" --target tarnix_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan --output-on-failure -R 'Threads|ThreadCount|WriteEntryData|ChangeDetection'
