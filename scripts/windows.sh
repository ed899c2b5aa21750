#!/usr/bin/env bash
# Cross-compiles the Windows binaries and tests with mingw-w64, runs the tests under Wine, and
# checks that the Windows build writes the same packs as the Linux one.
# Needs the Linux Release build in build/ (scripts/build.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)

need=()
for p in g++-mingw-w64-x86-64 wine64 libz-mingw-w64-dev dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi

# libdeflate for Windows, built from Debian's own source package.
deflate=build-windows-deps
if [ ! -f "$deflate/libdeflatestatic.lib" ]; then
  if [ ! -f /etc/apt/sources.list.d/tarnix-deb-src.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/tarnix-deb-src.sources
    apt-get update -qq
  fi
  rm -rf "$deflate" && mkdir -p "$deflate"
  (cd "$deflate" && apt-get source -qq libdeflate >/dev/null 2>&1)
  src=$(find "$deflate" -maxdepth 1 -type d -name 'libdeflate-*' | head -n 1)
  make -s -C "$src" -j"$(nproc)" CC=x86_64-w64-mingw32-gcc libdeflatestatic.lib >/dev/null
  cp "$src/libdeflatestatic.lib" "$src/libdeflate.h" "$deflate/"
fi
# The JSON library and xxHash are used as headers only; the cross build takes them alone, not
# all of /usr/include.
mkdir -p "$deflate/json" && cp -r /usr/include/nlohmann /usr/include/xxhash.h "$deflate/json/"

cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake \
  -DCMAKE_BUILD_TYPE=Release \
  -DLIBDEFLATE_INCLUDE_DIR="$repo/$deflate" -DLIBDEFLATE_LIBRARY="$repo/$deflate/libdeflatestatic.lib" \
  -DNLOHMANN_JSON_INCLUDE_DIR="$repo/$deflate/json" -DXXHASH_INCLUDE_DIR="$repo/$deflate/json" >/dev/null
cmake --build build-windows -j"$(nproc)"

export WINEDEBUG=-all WINEPREFIX="$repo/build-windows/wineprefix"
# One persistent server for all runs: a server that quits after each program can be gone just
# as the next one connects ("recvmsg: Connection reset by peer").
mkdir -p "$WINEPREFIX"
wineserver -k 2>/dev/null || true  # one left by an earlier run would refuse a second
wineserver -p
wineboot -i >/dev/null 2>&1
work=$(mktemp -d)
trap 'wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
echo "Running the Windows tests under Wine"
# Bounded, so a test that hangs under Wine fails this phase instead of the whole CI run. A
# program that crashes under Wine may still end with status 0: only the summary line counts.
timeout 900 wine build-windows/tests/tarnix_tests.exe --gtest_brief=1 2>&1 | tee "$work/tests.log"
if ! grep -q '^\[  PASSED  \]' "$work/tests.log"; then
  echo "The Windows tests did not run to the end"
  exit 1
fi

# The same trees packed by both builds give the same bytes: the sample, and data that takes
# each way of coding a chunk (random bytes are stored, slightly skewed ones Huffman-coded).
mkdir -p "$work/tree"
cp -r examples/assets/. "$work/tree/"
head -c 200000 /dev/urandom > "$work/tree/random.bin"
head -c 200000 /dev/urandom | tr '\360-\377' '\000-\017' > "$work/tree/skewed.bin"
for option in "" -uc; do
  build/src/app/Tarnix "$work/tree" "$work/linux.pak" $option >/dev/null
  timeout 300 wine build-windows/src/app/Tarnix.exe "$(winepath -w "$work/tree")" "$work/windows.pak" $option >/dev/null
  cmp "$work/linux.pak" "$work/windows.pak"
  rm -f "$work"/*.pak
done
echo "Windows and Linux builds write identical packs"

# A link back to a folder that contains it is skipped, not followed until the path is too long
# (a POSIX link here, which Wine lists as a reparse point, as Windows does a junction).
mkdir -p "$work/loop/sub" && echo x > "$work/loop/sub/a.txt" && ln -s .. "$work/loop/sub/up"
timeout 300 wine build-windows/src/app/Tarnix.exe "$(winepath -w "$work/loop")" "$work/loop.pak" > "$work/loop.log"
grep -qF 'Skipping sub\up: a link back to a directory that contains it' "$work/loop.log"
echo "The Windows build skips a link back to a folder that contains it"

# A small tree packed anew over its state record, run after run: a crash at a thread's start or
# end once showed in about one run of a hundred, so a hundred runs are the least check for it.
# Wine itself fails about one start in 17,000 before the program prints anything: its loader
# cannot map the shared user data at its fixed address ("failed to map the shared user data"),
# or its client loses the server ("wine client error"). Such a run, and only such a run (status
# 1, Wine's own error, not a line of ours), is started once more. Wine's loader errors are
# shown to tell it.
mkdir -p "$work/again" && cp -r examples/assets/. "$work/again/"
tree=$(winepath -w "$work/again") pack=$(winepath -w "$work/again.pak")
for i in $(seq 100); do
  echo "$i" >> "$work/again/count.txt"
  for start in 1 2; do
    ok=1
    out=$(WINEDEBUG=-all,err+virtual timeout 60 wine build-windows/src/app/Tarnix.exe "$tree" "$pack" 2>&1) || ok=0
    wine_failed=0
    [[ $out == *"failed to map the shared user data"* || $out == *"wine client error"* ]] &&
      [[ $out != *Tarnix* ]] && wine_failed=1
    [[ $ok == 0 && $start == 1 && $wine_failed == 1 ]] || break
  done
  if [[ $ok == 0 ]] || [[ $out == *Unhandled* ]] || [[ $out != *Wrote* ]]; then
    echo "Run $i of the repeated packing failed:"; echo "$out" | tail -n 5
    exit 1
  fi
done
echo "The Windows build packed a tree anew 100 times over its state record"
