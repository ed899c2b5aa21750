#!/usr/bin/env bash
# Sets of volumes at size: an unchanged run against find(1) listing the same stamps, a full pack
# of an 8 GiB tree in 1 GiB volumes against one pack of 1.9 GiB of the same data, a one-file
# change in the set, and runs killed at random moments. Needs about 25 GB of disk under /tmp.
#
# Usage: bench/sets.sh [RUNS] [GIB]   (median of RUNS rounds, default 5; tree size, default 8)
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-5}
gib=${2:-8}
neverball=/usr/share/games/neverball
dpkg-query -W -f='${Status}' neverball-data 2>/dev/null | grep -q "install ok installed" ||
  { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq neverball-data >/dev/null; }
scripts/install-deps.sh build >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
tarnix=$PWD/build-bench/src/app/Tarnix
inspect=$PWD/build-bench/src/app/tarnix-inspect
work=$(mktemp -d /tmp/tarnix-sets.XXXXXX)
trap 'rm -rf "$work"' EXIT

ns() { local s e; s=${EPOCHREALTIME/./}; eval "$1" >/dev/null 2>&1; e=${EPOCHREALTIME/./}; echo $(( (e - s) * 1000 )); }
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]}'; }
# The median of paired ratios: an unchanged run, then find over the same tree, in each round.
versus_find() {  # versus_find TREE COMMAND...
  local tree=$1 r=() u f; shift
  for ((i = 0; i < runs; i++)); do
    u=$(ns "$*"); f=$(ns "find $tree -type f -printf '%s %T@ %C@ %i\n'")
    r+=("$(echo "$u / $f" | bc -l)")
  done
  median "${r[@]}"
}

# The tree: 4 MiB files in folders of 64, half random bytes, half text (compresses about 4:1).
tree=$work/tree
files=$((gib * 256))
for ((i = 0; i < files; i++)); do
  d=$tree/d$((i / 64)); mkdir -p "$d"
  if ((i % 2)); then head -c 4194304 /dev/urandom >"$d/f$i.bin"
  else head -c 3145728 /dev/urandom | base64 -w 76 | tr 'A-Z' 'a-z' >"$d/f$i.txt"
       truncate -s 4194304 "$d/f$i.txt"; fi
done
cat $(find "$tree" -type f) >/dev/null

"$tarnix" "$neverball" "$work/nb.pak" >/dev/null
"$tarnix" "$neverball" "$work/nb.pak" >/dev/null  # the record of a run that read nothing
nb=$(versus_find "$neverball" "$tarnix" "$neverball" "$work/nb.pak")

# One pack of 1.9 GiB of the same data: its files' first 486 of 4 MiB.
mkdir -p "$work/part"
find "$tree" -type f | sort | head -n 486 | while read -r f; do ln -s "$f" "$work/part/$(basename "$f")"; done
t_one=$(ns "$tarnix $work/part $work/one.pak")
bytes_one=$(find -L "$work/part" -type f -printf '%s\n' | awk '{s+=$1} END {printf "%.0f", s}')
rm -f "$work/one.pak"
mkdir -p "$work/s"
t_set=$(ns "$tarnix $tree $work/s/game.set --volume-size 1G")
bytes_set=$(find "$tree" -type f -printf '%s\n' | awk '{s+=$1} END {printf "%.0f", s}')
volumes=$(ls "$work/s" | grep -c '\.pak$')
"$tarnix" "$tree" "$work/s/game.set" --volume-size 1G >/dev/null
set_vs_find=$(versus_find "$tree" "$tarnix" "$tree" "$work/s/game.set" --volume-size 1G)

# One file changed: which volumes were rewritten, and how long it took.
stat -c '%n %Y %s' "$work"/s/*.pak | sort >"$work/before"
echo changed >>"$tree/d$((files / 128))/f$((files / 128 * 64 + 2)).txt"  # in the middle
t_one_change=$(ns "$tarnix $tree $work/s/game.set --volume-size 1G")
stat -c '%n %Y %s' "$work"/s/*.pak | sort >"$work/after"
rewritten=$(comm -13 "$work/before" "$work/after" | wc -l)
kept=$(comm -12 "$work/before" "$work/after" | wc -l)

# Killed at random moments of a run that rewrites every volume: the set is whole after each,
# and the next run leaves only the volumes the set names.
killed_ok=0
for ((round = 0; round < 30; round++)); do
  for d in "$tree"/d*; do echo "$round" >>"$d/$(ls "$d" | head -n 1)"; done  # every volume
  "$tarnix" "$tree" "$work/s/game.set" --volume-size 1G >/dev/null 2>&1 &
  pid=$!
  sleep "$(echo "scale=2; $RANDOM % 800 / 100" | bc)"
  kill -9 "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  whole=0; "$inspect" test "$work/s/game.set" >/dev/null 2>&1 && whole=1
  "$tarnix" "$tree" "$work/s/game.set" --volume-size 1G >/dev/null
  named=$(python3 -c 'import json,sys; print(len(json.load(open(sys.argv[1]))["volumes"]))' "$work/s/game.set")
  on_disk=$(ls "$work/s" | grep -c '\.pak$')
  [ "$whole" = 1 ] && [ "$named" = "$on_disk" ] && "$inspect" test "$work/s/game.set" >/dev/null &&
    killed_ok=$((killed_ok + 1))
done

r() { echo "$1" | bc -l | awk '{printf "%.2f", $1}'; }
echo "unchanged run ÷ find, warm, neverball:       $(r "$nb")   (at most 1.2; paired median of $runs)"
echo "unchanged run ÷ find, warm, ${gib} GiB set of ${volumes} volumes: $(r "$set_vs_find")   (at most 1.2)"
echo "full pack, MB/s: set $(r "$bytes_set / $t_set * 1000")  one 1.9 GiB pack $(r "$bytes_one / $t_one * 1000")   (within 5 %)"
echo "one-file change: $rewritten volume(s) rewritten, $kept untouched, $(r "$t_one_change / 1000000000") s = $(r "$t_one_change / $t_set") × the full pack   (one; at most 0.1)"
echo "killed at random moments: $killed_ok of 30 rounds left a whole set and a correct next run"
