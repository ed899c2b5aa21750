#!/usr/bin/env bash
# The library's figures: find in a 20,000-entry pack, a random 4 KiB readRange inside a 100 MB
# compressed entry, and two threads against one reading whole entries of one shared reader.
# Usage: bench/library.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" --target tarnix_library_bench >/dev/null
out=$(build-bench/bench/tarnix_library_bench --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null)
echo "$out" | tail -n +4
median() { echo "$out" | awk -v name="$1" '$1 == name"_median" { print $2, $3 }'; }
speed() { echo "$out" | awk -v name="$1" '$1 == name"_median" { for (i = 1; i <= NF; i++) if ($i ~ /bytes_per_second=/) { sub("bytes_per_second=", "", $i); print $i } }'; }
mib() { awk -v s="$1" 'BEGIN { n = s + 0; if (s ~ /G/) n *= 1024; if (s ~ /k/) n /= 1024; print n }'; }
echo
echo "find, 20,000 entries:        $(median BM_Find)   (at most 0.5 us)"
echo "4 KiB readRange, 100 MB:     $(median BM_ReadRange4KiB)   (at most 0.15 ms; at most 2 chunk decodes)"
one=$(mib "$(speed BM_ReadWhole/real_time/threads:1)") two=$(mib "$(speed BM_ReadWhole/real_time/threads:2)")
echo "2 threads ÷ 1 thread:        $(awk -v a="$two" -v b="$one" 'BEGIN { printf "%.2f", a / b }')   (at least 1.80; $one and $two MiB/s)"
