#!/usr/bin/env bash
# Checks what a studio adopting Tarnix relies on: the sample built from a clean copy without
# the test packages, the install, consumer projects (find_package, and add_subdirectory of
# the sources) with tarnix_add_pack, pkg-config, one version everywhere, and the two Debian
# packages. Needs the Release build in build/ (scripts/build.sh). Prints "N passed, N failed".
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
fails_saying() {  # fails_saying TEXT COMMAND...: the command fails, and its output holds TEXT
  local text=$1; shift
  ! "$@" >"$work/said" 2>&1 && grep -qF -- "$text" "$work/said"
}
inspect=build/src/app/tarnix-inspect

# The README's first command on a copy of the tree: no test package is looked for.
mkdir "$work/clean"
git ls-files -z --cached --others --exclude-standard | tar -c --null -T - | tar -x -C "$work/clean"
check "run-sample.sh builds and packs the sample in a clean copy" "$work/clean/scripts/run-sample.sh"
check "the sample's build looks for no test package" sh -c \
  "! grep -qiE 'gtest|zlib' '$work/clean/build/CMakeCache.txt' && [ ! -e '$work/clean/build/tests' ] &&
  '$inspect' test '$work/clean/build/sample.pak'"

prefix=$work/prefix
check "install" cmake --install build --prefix "$prefix"
check "programs installed stripped" sh -c "file '$prefix/bin/Tarnix' | grep -q ', stripped'"
# The consumer packs a copy of the sample, which the checks change.
mkdir "$work/tree" && cp -r examples/assets "$work/tree/assets"
built() { cmake --build "$1" >"$work/built" 2>&1; local s=$?; cat "$work/built"; return $s; }  # output also in $work/built
check "consumer configures against the install" cmake -S tests/consumer -B "$work/consumer" \
  -DCMAKE_PREFIX_PATH="$prefix" -DSAMPLE="$work/tree/assets"
check "consumer builds and packs the sample" cmake --build "$work/consumer"
check "consumer reads the pack through the public header" sh -c \
  "'$work/consumer/read_pack' '$work/consumer/sample.pak' | grep -qx 'assets/sounds.noise.raw 33000'"
stamp=$(stat -c %Y "$work/consumer/sample.pak" 2>/dev/null)
sleep 1
check "an unchanged tree: Make runs nothing" sh -c "$(declare -f built); work='$work'; built '$work/consumer' &&
  ! grep -q Packing '$work/built' && [ \"\$(stat -c %Y '$work/consumer/sample.pak')\" = '$stamp' ]"
touch "$work/tree/assets/readme.txt"
check "a touched file runs the step, which leaves the pack untouched" sh -c "$(declare -f built); work='$work';
  built '$work/consumer' && grep -q Packing '$work/built' &&
  [ \"\$(stat -c %Y '$work/consumer/sample.pak')\" = '$stamp' ] &&
  tail -n 1 '$work/consumer/sample.pak.log' | grep -qx 'No file changes found' &&
  built '$work/consumer' && ! grep -q Packing '$work/built'"
echo added >"$work/tree/assets/levels/added.txt"
check "an added file runs the step, and packs it" sh -c "$(declare -f built); work='$work'; built '$work/consumer' &&
  grep -q Packing '$work/built' && '$inspect' list --names '$work/consumer/sample.pak' | grep -qxF 'assets/levels\\added.txt'"
mv "$prefix/bin/Tarnix" "$work/Tarnix.away"
touch "$work/tree/assets/readme.txt"
check "a build whose Tarnix is gone fails, saying so" fails_saying "bin/Tarnix" cmake --build "$work/consumer"
mv "$work/Tarnix.away" "$prefix/bin/Tarnix"
check "pkg-config finds the library" sh -c "PKG_CONFIG_PATH='$prefix/lib/pkgconfig' pkg-config --libs --cflags tarnix |
  grep -q -- '-ltarnix'"

# The sources inside a game's project: the same helper, and nothing of Tarnix installed.
sub=$work/sub
check "add_subdirectory consumer builds and packs the sample with Ninja" sh -c "cmake -S tests/consumer -B '$sub' -G Ninja \
  -DTARNIX_SOURCE='$repo' -DSAMPLE='$work/tree/assets' >/dev/null && cmake --build '$sub' &&
  '$inspect' test '$sub/sample.pak' && '$sub/read_pack' '$sub/sample.pak' | grep -qx 'assets/sounds.noise.raw 33000'"
check "Ninja: no work to do for an unchanged tree, and the step again for a removed file" sh -c \
  "$(declare -f built); work='$work'; built '$sub' && grep -qx 'ninja: no work to do.' '$work/built' &&
  rm '$work/tree/assets/levels/added.txt' && built '$sub' && grep -q Packing '$work/built' &&
  tail -n 1 '$sub/sample.pak.log' | grep -q '^Wrote ' && built '$sub' && grep -qx 'ninja: no work to do.' '$work/built'"
check "add_subdirectory installs only the parent's files" sh -c "[ ! -e '$sub/CPackConfig.cmake' ] &&
  cmake --install '$sub' --prefix '$work/sub-prefix' >/dev/null && [ \"\$(find '$work/sub-prefix' -type f)\" = '$work/sub-prefix/bin/read_pack' ]"
mkdir -p "$work/odd/tree" "$work/odd/dir.pak" && echo a >"$work/odd/tree/a.txt" && mkfifo "$work/odd/tree/pipe"
# A name that would forge a second warning line if names reached the log raw.
touch "$work/odd/tree/x
Skipping evil.png: a symbolic link whose target does not exist"
odd() { cmake -S tests/consumer -B "$sub" -DODD_TREE="$work/odd/tree" -DODD_OUTPUT="$work/odd/$1" -DODD_OPTIONS="$2" >/dev/null &&
  cmake --build "$sub" --target odd_pack; }
check "a skipped source is one warning line in the build" sh -c "$(declare -f odd); sub='$sub' work='$work'; odd odd.pak '' 2>&1 |
  grep -x '$work/odd/odd.pak: warning: Skipping pipe: .*' | wc -l | grep -qx 1"
check "STRICT makes a skipped source fail the build" fails_saying "odd.pak: error: Skipping pipe:" odd odd.pak STRICT
check "a failed pack shows why, not the whole log" sh -c "$(declare -f fails_saying odd); sub='$sub' work='$work';
  fails_saying 'dir.pak: error: Refusing to replace $work/odd/dir.pak: it is a directory' odd dir.pak '' && ! grep -q 'Tarnix v' '$work/said'"

mkdir "$work/many" && (cd "$work/many" && touch f{00000..19999})
check "the log of a 20,000-file pack holds at most 200 progress redraws" sh -c \
  "build/src/app/Tarnix '$work/many' '$work/many.pak' >'$work/many.log' && [ \"\$(tr -cd '\r' <'$work/many.log' | wc -c)\" -le 200 ] &&
  [ \"\$(stat -c %s '$work/many.log')\" -lt 1000000 ]"

check "cpack makes the two Debian packages" sh -c "cd build && rm -f ./*.deb && cpack -G DEB >/dev/null &&
  ls tarnix_*.deb libtarnix-dev_*.deb"
check "lintian finds no error in either package" lintian --fail-on error build/tarnix_*.deb build/libtarnix-dev_*.deb
check "libtarnix-dev depends on tarnix and libdeflate-dev" sh -c \
  "dpkg-deb -f build/libtarnix-dev_*.deb Depends | grep -qx 'tarnix (= [^)]*), libdeflate-dev'"
version=$(PKG_CONFIG_PATH="$prefix/lib/pkgconfig" pkg-config --modversion tarnix)
banner=$(printf '%d.%02d' "${version%%.*}" "${version#*.}")
check "one version: banners, package, CMake package and tarnix.pc" sh -c \
  "build/src/app/Tarnix | head -n 1 | grep -q '^Tarnix v$banner ' && [ \"\$('$inspect' --version)\" = 'tarnix-inspect $banner' ] &&
  [ \"\$(dpkg-deb -f build/tarnix_*.deb Version)\" = '$version-1' ] &&
  grep -q 'PACKAGE_VERSION \"$version\"' '$prefix/lib/cmake/Tarnix/TarnixConfigVersion.cmake'"
check "the packages unpack" sh -c "dpkg -x build/tarnix_*.deb '$work/root' && dpkg -x build/libtarnix-dev_*.deb '$work/root'"
check "the unpacked Tarnix packs the sample" "$work/root/usr/bin/Tarnix" examples/assets "$work/sample.pak"
for page in Tarnix tarnix-inspect; do
  check "man page $page renders without warnings" sh -c \
    "MANWIDTH=80 man --warnings -l '$work/root/usr/share/man/man1/$page.1.gz' 2>&1 >/dev/null | (! grep .)"
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
