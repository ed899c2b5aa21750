#!/usr/bin/env bash
# Checks what a studio adopting Tarnix relies on: the install, a consumer project built
# against it (find_package and tarnix_add_pack), pkg-config, and the Debian package.
# Needs the Release build in build/ (scripts/build.sh). Prints "N passed, N failed" last.
set -uo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
check() {  # check DESCRIPTION COMMAND...
  local what=$1; shift
  if "$@" >"$work/out" 2>&1; then passed=$((passed + 1)); else failed=$((failed + 1)); echo "FAILED: $what"; tail -n 20 "$work/out"; fi
}
prefix=$work/prefix
check "install" cmake --install build --prefix "$prefix"
check "programs installed stripped" sh -c "file '$prefix/bin/Tarnix' | grep -q ', stripped'"
check "consumer configures against the install" cmake -S tests/consumer -B "$work/consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DSAMPLE="$repo/examples/assets"
check "consumer builds and packs the sample" cmake --build "$work/consumer"
check "consumer reads the pack through the public header" sh -c \
  "'$work/consumer/read_pack' '$work/consumer/sample.pak' | grep -qx 'assets/sounds.noise.raw 33000'"
stamp=$(stat -c %Y "$work/consumer/sample.pak" 2>/dev/null)
sleep 1
check "a second build leaves the pack untouched" sh -c "cmake --build '$work/consumer' &&
  [ \"\$(stat -c %Y '$work/consumer/sample.pak')\" = '$stamp' ] &&
  tail -n 1 '$work/consumer/sample.pak.log' | grep -qx 'No file changes found'"
check "pkg-config finds the library" sh -c "PKG_CONFIG_PATH='$prefix/lib/pkgconfig' pkg-config --libs --cflags tarnix |
  grep -q -- '-ltarnix'"
check "cpack makes a Debian package" sh -c "cd build && cpack -G DEB >/dev/null"
deb=$(ls build/tarnix_*.deb 2>/dev/null | head -n 1)
check "the package unpacks" dpkg -x "$deb" "$work/root"
check "the unpacked Tarnix packs the sample" "$work/root/usr/bin/Tarnix" examples/assets "$work/sample.pak"
for page in Tarnix tarnix-inspect; do
  check "man page $page renders without warnings" sh -c \
    "MANWIDTH=80 man --warnings -l '$work/root/usr/share/man/man1/$page.1' 2>&1 >/dev/null | (! grep .)"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
