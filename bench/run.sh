#!/usr/bin/env bash
# Measures Tarnix against its peers and against the compression limit, and checks the
# performance targets. Installs the corpora and the peers if they are missing, builds Release.
#
# Usage: bench/run.sh [RUNS]
#   RUNS  timed rounds, medians reported (default 15: on a shared machine one round's ratio of a
#         0.15 s re-pack to a 0.65 s full pack ranges from 0.19 to 0.32, and the median of five
#         rounds ranged from 0.229 to 0.266 over eight runs)
#   TARNIX_BASELINE=path/to/Tarnix times an earlier build beside this one, on neverball.
# Corpora: /usr/share/games/neverball (neverball-data) and /usr/share/games/hedgewars
# (hedgewars-data), whose files are mostly compressed already.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$(pwd)
runs=${1:-15}
neverball=/usr/share/games/neverball
hedgewars=/usr/share/games/hedgewars

need=()
for p in neverball-data hedgewars-data pigz zip p7zip-full zstd time bc vmtouch; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ ${#need[@]} -gt 0 ]; then
  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
fi
scripts/install-deps.sh bench
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DTARNIX_BUILD_BENCH=ON -DTARNIX_BUILD_TESTS=OFF >/dev/null
cmake --build build-bench -j"$(nproc)" >/dev/null
tarnix=$repo/build-bench/src/app/Tarnix
limit=$repo/build-bench/bench/tarnix_limit

work=$(mktemp -d /tmp/tarnix-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
bytes_of() { find -L "$1" -type f -printf '%s\n' 2>/dev/null | awk '{s+=$1} END {print s}'; }
# A copy of neverball in which one byte of its largest file changes before each re-pack.
cp -r "$neverball" "$work/nb"
largest=$(find "$work/nb" -type f -printf '%s %p\n' | sort -n | tail -n 1 | cut -d' ' -f2-)
"$tarnix" "$work/nb" "$work/re.pak" >/dev/null
flip_byte() {  # a new value each time, so that every re-pack has a change to make
  local v
  v=$(od -An -tu1 -j1000 -N1 "$largest" | tr -d ' ')
  printf "$(printf '\\%03o' $(( (v + 1) % 256 )))" | dd of="$largest" bs=1 seek=1000 conv=notrunc status=none
}
cat /dev/null $(find "$neverball" "$hedgewars" -type f) >/dev/null 2>&1 || true  # warm the cache
# On a virtual machine the first write to a page of memory the host has not backed waits for
# the host (a 50 MB write into the page cache then takes 0.1 s instead of 0.01 s). Touching
# 8 GiB first backs memory that was never used; memory freed later is taken back by a host
# that reclaims free pages, which is why every command below writes a file of its own.
dd if=/dev/zero of=/dev/shm/tarnix-bench-warm bs=1M count=8192 status=none || true
rm -f /dev/shm/tarnix-bench-warm

# Every command writes a file of its own, which its preparation removes, so that it writes into
# memory its own last run freed rather than into a smaller file's.
# Commands are timed in rounds, each round running every command once, so that a slow spell
# of a shared machine falls on all of them alike rather than on one. Reported: the median wall
# time, the largest peak RSS and the output size; paired ratios are medians of each round's
# ratio.
names=() outputs=() prepares=() commands=()
add() { names+=("$1"); outputs+=("$2"); prepares+=("$3"); commands+=("$4"); }
declare -A mem size times
pak=$work/out.pak
add "Tarnix"               "$pak" "rm -f $pak" "$tarnix $neverball $pak"
add "Tarnix re-pack"       "$work/re.pak" "flip_byte" "$tarnix $work/nb $work/re.pak"
add "Tarnix -v"            "$pak" "rm -f $pak" "$tarnix $neverball $pak -v"
add "Tarnix -uc"           "$work/uc.pak" "rm -f $work/uc.pak" "$tarnix $neverball $work/uc.pak -uc"
add "Tarnix 1 core"        "$pak" "rm -f $pak" "taskset -c 0 $tarnix $neverball $pak"
add "Tarnix unchanged"     ""     "[ -e $work/same.pak ] || $tarnix $neverball $work/same.pak >/dev/null" "$tarnix $neverball $work/same.pak"
add "tar -czf"             "$work/o.tgz" "rm -f $work/o.tgz" "tar -czf $work/o.tgz $neverball"
add "tar | pigz -6 -p 2"   "$work/o2.tgz" "rm -f $work/o2.tgz" "tar -cf - $neverball | pigz -6 -p 2 > $work/o2.tgz"
add "zip -r"               "$work/o.zip" "rm -f $work/o.zip" "zip -qr $work/o.zip $neverball"
add "7z a -tzip -mmt=2"    "$work/o2.zip" "rm -f $work/o2.zip" "7z a -tzip -mmt=2 $work/o2.zip $neverball"
add "tar --zstd -cf"       "$work/o.tzst" "rm -f $work/o.tzst" "tar --zstd -cf $work/o.tzst $neverball"
add "tar -cf"              "$work/o.tar" "rm -f $work/o.tar" "tar -cf $work/o.tar $neverball"
add "cat"                  ""     ":"          "find $neverball -type f -print0 | xargs -0 cat > /dev/null"
add "limit"                ""     ":"          "$limit $neverball > $work/limit.out"
baseline=${TARNIX_BASELINE:-}
[ -z "$baseline" ] || add "baseline" "$work/b.pak" "rm -f $work/b.pak" "$baseline $neverball $work/b.pak"
add "hw Tarnix"            "$work/hw.pak" "rm -f $work/hw.pak" "$tarnix $hedgewars $work/hw.pak"
add "hw tar | pigz"        "$work/hw.tgz" "rm -f $work/hw.tgz" "tar -cf - $hedgewars | pigz -6 -p 2 > $work/hw.tgz"
add "hw limit"             ""     ":"          "$limit $hedgewars > $work/limit.out"
for ((round = 0; round <= runs; round++)); do  # round 0 only warms up
  for i in "${!names[@]}"; do
    name=${names[$i]}
    eval "${prepares[$i]}"
    start=$(date +%s%N)
    /usr/bin/time -f %M -o "$work/rss" bash -c "exec ${commands[$i]}" >/dev/null 2>&1
    end=$(date +%s%N)
    [ "$round" -gt 0 ] || continue
    if [[ "$name" == *limit ]]; then  # the limit program times its compression alone
      t=$(sed -E 's/.*: ([0-9.]+) s,.*/\1/' "$work/limit.out")
    else
      t=$(echo "($end - $start) / 1000000000" | bc -l)
    fi
    times[$name]="${times[$name]:-} $t"
    m=$(tail -n 1 "$work/rss"); [ "$m" -gt "${mem[$name]:-0}" ] && mem[$name]=$m
    out=${outputs[$i]}
    size[$name]=$( [ -n "$out" ] && [ -e "$out" ] && stat -c %s "$out" || echo 0)
  done
done
median() { printf '%s\n' "$@" | sort -g | awk '{a[NR]=$1} END {printf "%.3f", a[int((NR+1)/2)]}'; }
declare -A wall
for name in "${names[@]}"; do wall[$name]=$(median ${times[$name]}); done
# The median of the rounds' ratios, for two commands timed in the same rounds.
paired() {
  local -a a=(${times[$1]}) b=(${times[$2]}) r=()
  for i in "${!a[@]}"; do r+=("$(echo "${a[$i]} / ${b[$i]}" | bc -l)"); done
  median "${r[@]}"
}

input=$(bytes_of $neverball)
echo
echo "Corpus: $neverball, $(find $neverball -type f | wc -l) files, $input bytes; $(nproc) cores; median of $runs rounds"
printf '%-22s %9s %9s %12s %10s %12s\n' "command" "wall s" "MB/s" "output" "peak KiB" "÷ Tarnix"
for name in "Tarnix" "Tarnix re-pack" "Tarnix -v" "Tarnix -uc" "Tarnix 1 core" "Tarnix unchanged" "tar -czf" \
            "tar | pigz -6 -p 2" "zip -r" "7z a -tzip -mmt=2" "tar --zstd -cf" "tar -cf" "cat"; do
  w=${wall[$name]}
  printf '%-22s %9s %9.1f %12s %10s %12.2f\n' "$name" "$w" "$(echo "$input / $w / 1000000" | bc -l)" \
    "${size[$name]}" "${mem[$name]}" "$(echo "$w / ${wall[Tarnix]}" | bc -l)"
done
printf '%-22s %9s %9.1f\n' "limit (level 6, RAM)" "${wall[limit]}" "$(echo "$input / ${wall[limit]} / 1000000" | bc -l)"
hw_input=$(bytes_of $hedgewars)
echo
echo "Corpus: $hedgewars, $(find $hedgewars -type f | wc -l) files, $hw_input bytes"
for name in "hw Tarnix" "hw tar | pigz" "hw limit"; do
  printf '%-22s %9s %9.1f %12s\n' "${name#hw }" "${wall[$name]}" "$(echo "$hw_input / ${wall[$name]} / 1000000" | bc -l)" "${size[$name]}"
done

# Memory: one 1 GiB file, compressible and random, with and without -v.
mkdir -p "$work/big"
peak() { /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null; tail -n 1 "$work/rss"; }
# yes ends on SIGPIPE, which pipefail would take for a failure.
{ yes "a compressible line of text for the memory test" | head -c 1073741824 > "$work/big/file"; } || true
mem_text=$(peak "$tarnix" "$work/big" "$work/big.pak")
mem_text_v=$(peak "$tarnix" "$work/big" "$work/big2.pak" -v)
head -c 1073741824 /dev/urandom > "$work/big/file"
mem_rand=$(peak "$tarnix" "$work/big" "$work/big.pak")
mem_rand_v=$(peak "$tarnix" "$work/big" "$work/big2.pak" -v)
rm -rf "$work/big" "$work"/big*.pak

# Scale: per-file cost of 50,000 small files against 1,000.
make_tree() {
  local dir=$1 count=$2
  mkdir -p "$dir"
  for ((d = 0; d < count / 100; d++)); do
    mkdir -p "$dir/d$d"
    for ((f = 0; f < 100; f++)); do echo "file $d $f of the scale test" > "$dir/d$d/f$f.txt"; done
  done
}
make_tree "$work/s1k" 1000
make_tree "$work/s50k" 50000
time_of() { local s e; s=$(date +%s%N); "$@" >/dev/null; e=$(date +%s%N); echo $(( (e - s) / 1000 )); }
rm -f "$work/s.pak"; t1k=$(time_of "$tarnix" "$work/s1k" "$work/s.pak")
rm -f "$work/s.pak"; t1k=$(time_of "$tarnix" "$work/s1k" "$work/s.pak")
rm -f "$work/s.pak"; t50k=$(time_of "$tarnix" "$work/s50k" "$work/s.pak")
t50k_unchanged=$(time_of "$tarnix" "$work/s50k" "$work/s.pak")

# The state record: an unchanged run against cat of the tree, warm and with the tree's pages
# evicted (vmtouch -e), started directly (a wrapper's start would weigh on a 20 ms run), in
# paired rounds; and 200,000 empty files, older than the record's racy window.
ns_of() { local s e; s=${EPOCHREALTIME/./}; eval "$1" >/dev/null 2>&1; e=${EPOCHREALTIME/./}; echo $(( (e - s) * 1000 )); }  # no clock process in the time
same="$tarnix $neverball $work/same.pak"
catall="find $neverball -type f -print0 | xargs -0 cat"
warm=() evicted=() tu=() tc=()
for ((round = 0; round < runs; round++)); do
  u=$(ns_of "$same"); c=$(ns_of "$catall")
  warm+=("$(echo "$u / $c" | bc -l)"); tu+=("$u"); tc+=("$c")
  vmtouch -qe "$neverball"; u=$(ns_of "$same")
  vmtouch -qe "$neverball"; c=$(ns_of "$catall")
  evicted+=("$(echo "$u / $c" | bc -l)")
done
mkdir -p "$work/e200k"
for ((d = 0; d < 2000; d++)); do mkdir "$work/e200k/d$d"; (cd "$work/e200k/d$d" && touch f{0..99}); done
sleep 2
"$tarnix" "$work/e200k" "$work/e200k.pak" >/dev/null
"$tarnix" "$work/e200k" "$work/e200k.pak" >/dev/null  # the first run after the write proves the racy ones
t200k=(); for i in 1 2 3; do t200k+=("$(ns_of "$tarnix $work/e200k $work/e200k.pak")"); done
rm -rf "$work/e200k" "$work/e200k.pak"

r() { echo "$1" | bc -l | awk '{printf "%.2f", $1}'; }
echo
echo "Targets (neverball unless named)"
echo "1. compressed ÷ tar|pigz:      $(r "${wall[Tarnix]} / ${wall[tar | pigz -6 -p 2]}")   (at most 0.30)"
echo "   compressed ÷ limit:         $(r "${wall[Tarnix]} / ${wall[limit]}")   (at most 1.15)"
echo "   size ÷ tar -czf:            $(echo "${size[Tarnix]} / ${size[tar -czf]}" | bc -l | awk '{printf "%.4f", $1}')   (at most 1.0000)"
echo "2. -v ÷ compressed:            $(r "${wall[Tarnix -v]} / ${wall[Tarnix]}")   (at most 1.25)"
echo "3. 1 core ÷ all cores:         $(r "${wall[Tarnix 1 core]} / ${wall[Tarnix]}")   (at least 1.70)"
echo "4. peak KiB, 1 GiB file:       text $mem_text, text -v $mem_text_v, random $mem_rand, random -v $mem_rand_v   (below 65536)"
echo "5. unchanged ÷ cat:            $(r "${wall[Tarnix unchanged]} / ${wall[cat]}")   (at most 1.50)"
echo "6. -uc ÷ tar -cf:              $(r "${wall[Tarnix -uc]} / ${wall[tar -cf]}")   (at most 2.00)"
echo "7. per-file cost 50k ÷ 1k:     $(r "($t50k / 50000) / ($t1k / 1000)")   (at most 1.50; 50k files: $(r "$t50k / 1000000") s, re-run unchanged $(r "$t50k_unchanged / 1000000") s)"
echo "8. re-pack ÷ full pack:        $(echo "$(paired "Tarnix re-pack" "Tarnix")" | awk '{printf "%.3f", $1}')   (at most 0.25, paired rounds; one byte of $(basename "$largest") changed)"
echo "9. hedgewars ÷ tar|pigz:       $(r "$(paired "hw Tarnix" "hw tar | pigz")")   (at most 0.25)"
echo "   hedgewars ÷ level-6 limit:  $(r "${wall[hw Tarnix]} / ${wall[hw limit]}")   (the level-6 limit itself: $(r "${wall[hw limit]} / ${wall[hw tar | pigz]}") × tar|pigz)"
echo "   hedgewars size:             ${size[hw Tarnix]}   (at most 1.005 × 151,300,443)"
echo "   neverball size:             ${size[Tarnix]}   (at most 1.003 × 50,274,790)"
echo "10. unchanged ÷ cat, warm:    $(r "$(median "${warm[@]}")")   (at most 0.05, paired; $(r "$(median "${tu[@]}") / 1000000") ms ÷ $(r "$(median "${tc[@]}") / 1000000") ms)"
echo "11. unchanged ÷ cat, evicted: $(r "$(median "${evicted[@]}")")   (at most 0.02, paired, the tree's pages evicted before each)"
echo "12. 200,000 empty files unchanged: $(r "$(median "${t200k[@]}") / 1000000000") s   (at most 0.5)"
echo "13. re-pack ÷ full pack:       target 8's figure   (at most 0.12)"
[ -z "$baseline" ] || echo "   neverball ÷ baseline build: $(r "$(paired "Tarnix" "baseline")")   (at most 1.02, paired rounds; $baseline, ${size[baseline]} bytes)"
echo
"$repo/build-bench/bench/tarnix_micro_bench" 2>/dev/null | tail -n +4
