#!/usr/bin/env bash
# Builds the fuzzers (over packs, and over the chunk encoder) with clang and runs each for a
# bounded time from the corpus kept in fuzz/corpus. Inputs that reach new code are added to it
# when TARNIX_KEEP_CORPUS=1.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNIX_BUILD_FUZZERS=ON -DTARNIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pack_fuzzer chunk_fuzzer
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
run() {
  local name=$1 kind=$2
  echo "Fuzzing $name for ${seconds}s"
  mkdir -p "$work/corpus-$kind"
  # -rss_limit_mb keeps a fuzzer honest about unbounded allocation.
  if ! "$build/fuzz/$name" "$work/corpus-$kind" "fuzz/corpus/$kind" \
      -max_total_time="$seconds" -rss_limit_mb=512 -max_len=200000 2>"$work/$name.log"; then
    tail -n 60 "$work/$name.log"
    echo "$name found a problem"
    return 1
  fi
  grep -E 'stat::number_of_executed_units|Done' "$work/$name.log" | tail -1 || true
  if [ "${TARNIX_KEEP_CORPUS:-0}" = 1 ]; then
    "$build/fuzz/$name" -merge=1 "fuzz/corpus/$kind" "$work/corpus-$kind" 2>/dev/null
  fi
}
run pack_fuzzer pack
run chunk_fuzzer chunk
