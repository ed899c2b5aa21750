#!/usr/bin/env bash
# Builds the fuzzers with clang and runs each for a bounded time from seeds of valid packs.
# Usage: scripts/fuzz.sh [SECONDS_PER_FUZZER]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
build=build-fuzz
CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARNIX_BUILD_FUZZERS=ON -DTARNIX_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target pack_reader_fuzzer pack_check_fuzzer entry_decoder_fuzzer make_fuzz_seeds
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/src" "$work/packs" "$work/entries"
"$build/fuzz/make_fuzz_seeds" "$work/src" "$work/packs" "$work/entries"
run() {
  local name=$1 seeds=$2
  echo "Fuzzing $name for ${seconds}s"
  mkdir -p "$work/corpus-$name"
  # -rss_limit_mb keeps a fuzzer honest about unbounded allocation.
  "$build/fuzz/$name" "$work/corpus-$name" "$seeds" -max_total_time="$seconds" \
    -rss_limit_mb=512 -max_len=200000 -print_final_stats=1 2>"$work/$name.log" || {
    tail -n 60 "$work/$name.log"
    echo "$name found a problem"
    return 1
  }
  grep -E 'stat::number_of_executed_units|Done' "$work/$name.log" | tail -2
}
run pack_reader_fuzzer "$work/packs"
run pack_check_fuzzer "$work/packs"
run entry_decoder_fuzzer "$work/entries"
