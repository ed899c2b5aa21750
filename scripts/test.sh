#!/usr/bin/env bash
# The whole test suite: the Release build's tests, the same tests built with AddressSanitizer
# and UBSan, the fuzzers for a bounded time, the install, consumer project and Debian package,
# and the Windows build's tests under Wine. Installs what is missing first. Runs every phase,
# and ends with one line "N passed, N failed" over all of them; exits 1 if anything failed.
set -uo pipefail
cd "$(dirname "$0")/.."
log=$(mktemp)
trap 'rm -f "$log"' EXIT
passed=0 failed=0
heading() { printf '\n=== %s\n' "$1"; }
# Runs a phase, shows its output, and adds what it counted (by `counter`) to the totals; a
# phase that ends badly without counting a failure counts as one.
phase() {
  local title=$1 counter=$2; shift 2
  heading "$title"
  "$@" 2>&1 | tee "$log"
  local status=${PIPESTATUS[0]} p f
  read -r p f < <($counter "$log")
  if [ "$status" -ne 0 ] && [ "${f:-0}" -eq 0 ]; then f=1; fi
  passed=$((passed + ${p:-0})) failed=$((failed + ${f:-0}))
}
from_ctest() { sed -nE 's/.* ([0-9]+) tests failed out of ([0-9]+)/\2 \1/p' "$1" | awk '{p += $1 - $2; f += $2} END {print p + 0, f + 0}'; }
from_gtest() {
  local p f
  p=$(sed -nE 's/.*\[  PASSED  \] ([0-9]+) tests?.*/\1/p' "$1" | tail -n 1)
  f=$(sed -nE 's/.*\[  FAILED  \] ([0-9]+) tests?, listed below.*/\1/p' "$1" | tail -n 1)
  grep -q "identical packs" "$1" && p=$(( ${p:-0} + 1 ))
  echo "${p:-0} ${f:-0}"
}
from_summary() { sed -nE 's/^([0-9]+) passed, ([0-9]+) failed$/\1 \2/p' "$1" | tail -n 1; }
from_fuzz() { echo "$(grep -c '^Done' "$1") $(grep -c 'found a problem' "$1")"; }

heading "Installing what the tests need"
scripts/install-deps.sh test || { echo "0 passed, 1 failed"; exit 1; }
phase "Release build and tests" from_ctest sh -c 'scripts/build.sh build -DTARNIX_BUILD_TESTS=ON && ctest --test-dir build --output-on-failure -j"$(nproc)"'
phase "The same tests with AddressSanitizer and UBSan, and threads with ThreadSanitizer" from_ctest scripts/sanitize.sh
phase "Fuzzing, 120 s each" from_fuzz scripts/fuzz.sh 120
phase "Install, consumer project and Debian package" from_summary scripts/package.sh
phase "Windows build under Wine" from_gtest scripts/windows.sh
echo
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
