#!/bin/sh
# Benchmarks the sweep and writes the results to docs/BENCHMARKS.md:
#  - one sweep against fuser -m and lsof on the same workload of processes
#    that each hold descriptors outside the mount (default 500 x 64), with the
#    system calls of one sweep against the algorithm's own count;
#  - the same at three workload sizes (--sizes, default "100 500 2000");
#  - the time the tool takes to free a mount held by processes that exit on
#    SIGTERM, and its peak resident size;
#  - what the tool allocates, under valgrind.
# Every run happens in a private PID namespace. Installs what it lacks.
#
#   scripts/bench.sh [--processes N] [--descriptors M] [--repetitions R] [--sizes "A B C"]
set -eu
cd "$(dirname "$0")/.."
processes=500
descriptors=64
repetitions=7
sizes="100 500 2000"
while [ $# -gt 0 ]; do
  case $1 in
    --processes) processes=$2; shift 2 ;;
    --descriptors) descriptors=$2; shift 2 ;;
    --repetitions) repetitions=$2; shift 2 ;;
    --sizes) sizes=$2; shift 2 ;;
    *) echo "usage: $0 [--processes N] [--descriptors M] [--repetitions R] [--sizes \"A B C\"]" >&2
       exit 2 ;;
  esac
done

scripts/install-deps.sh cmake make g++ libgtest-dev util-linux psmisc lsof strace valgrind
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target sweep_bench busyumount >/dev/null
bench=build-native/sweep_bench
tool=$PWD/build-native/busyumount
run=tests/in-namespace.sh
results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT

echo "== one sweep, fuser and lsof: $processes processes x $descriptors descriptors"
$run $bench --processes "$processes" --descriptors "$descriptors" \
  --repetitions "$repetitions" | tee "$results/default"
grep '^ROW' "$results/default" >"$results/rows"
for n in $sizes; do
  [ "$n" = "$processes" ] && continue
  echo "== $n processes x $descriptors descriptors"
  $run $bench --processes "$n" --descriptors "$descriptors" --repetitions "$repetitions" |
    tee "$results/size-$n" | grep -E '^one sweep|^fuser'
  grep '^ROW' "$results/size-$n" >>"$results/rows"
done

echo "== time to free"
$run $bench --time-to-free "$tool" --holders 50 --repetitions 3 | tee "$results/free"

echo "== allocations, under valgrind"
# A mount held by 20 processes: every allocation the tool makes is listed.
$run sh -c '
  set -eu
  dir=$(mktemp -d /tmp/busyumount-bench-XXXXXX)
  mount -t tmpfs bench "$dir"
  for i in $(seq 20); do (cd "$dir" && exec sleep 600) & done
  for pid in $(jobs -p); do until [ "$(readlink /proc/$pid/cwd)" = "$dir" ]; do sleep 0.01; done; done
  valgrind --trace-malloc=yes --log-file="$1" "$2" "$dir"
  umount -l "$dir" 2>/dev/null || true
  rmdir "$dir"
' sh "$results/valgrind" "$tool"
total=$(grep 'total heap usage' "$results/valgrind" | sed 's/.*total heap usage: //')
kinds=$(grep -E '^--[0-9]+-- (malloc|calloc|realloc|memalign)\(' "$results/valgrind" |
  sed -E 's/^--[0-9]+-- ([a-z]+)\(([0-9]+)\).*/\1 of \2 bytes/' | sort | uniq -c |
  sed -E 's/^ *([0-9]+) (.*)/\1 x \2/' | paste -sd ';' | sed 's/;/; /g')
opens=$(grep -c 'malloc(472)' "$results/valgrind" || true)
echo "heap: $total"
echo "allocations: $kinds"

machine=$(lscpu | sed -n 's/^Model name: *//p' | head -n 1)
{
  echo "# Benchmarks"
  echo
  echo "Made by \`scripts/bench.sh\` on $(date -u +%Y-%m-%d): $machine, $(nproc) cores,"
  echo "Linux $(uname -r), $(ldd --version | head -n 1 | sed 's/^ldd //'), $(fuser -V 2>&1 | head -n 1),"
  echo "lsof $(lsof -v 2>&1 | sed -n 's/^ *revision: *//p'). Every run is in a private PID namespace,"
  echo "so the workload is the only thing in \`/proc\`. Times are medians of $repetitions runs."
  echo "Run the command again to reproduce them; the numbers move with the machine."
  echo
  echo "## One sweep against fuser and lsof"
  echo
  echo "Each workload process holds $descriptors descriptors on a file outside the mount;"
  echo "nobody holds the mount, so every process goes through all five probes. The"
  echo "sweep is one call of \`KillProcessesWithOpenFiles\` from \`bench/sweep_bench.cpp\`;"
  echo "\`fuser -m\` and \`lsof -n -P -w\` run on the same mount and workload, as"
  echo "separate processes (their times include starting up)."
  echo
  echo "| processes | descriptors | sweep (ms) | fuser -m (ms) | lsof (ms) | fuser / sweep | lsof / sweep | per process (us) | per descriptor (ns) |"
  echo "|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  sort -t'|' -k2 -n "$results/rows" | while IFS='|' read -r _ n m p d sweep fuser lsof waste; do
    awk -v p="$p" -v d="$d" -v s="$sweep" -v f="$fuser" -v l="$lsof" 'BEGIN {
      printf "| %d | %d | %.2f | %.2f | %.2f | %.2f | %.2f | %.1f | %.0f |\n",
        p, d, s, f, l, f / s, l / s, s * 1000 / p, s * 1e6 / d }'
  done
  echo
  echo "\"processes\" and \"descriptors\" count everything in the namespace: the"
  echo "workload, the benchmark itself, and the descriptors each process inherits."
  echo "The last two columns divide the sweep's time by them; at about 70 descriptors"
  echo "a process, the descriptors' two calls each make most of the cost."
  echo
  echo "## System calls of one sweep ($processes x $descriptors)"
  echo
  echo "Counted with strace on a process that does one sweep and nothing else in"
  echo "between two markers, and set against the algorithm's own count: per"
  echo "descriptor one status call and one link read; per process the descriptor"
  echo "directory's open, listing and close, the maps file's open, reads and close,"
  echo "and three named links (a status call and a link read each)."
  echo
  echo '```'
  sed -n '/^system calls/,/^calls beyond/p' "$results/default"
  echo '```'
  echo
  echo "## Time to free a mount"
  echo
  echo "A tmpfs held by 50 processes (working directory) that exit on SIGTERM, freed by"
  echo "the tool itself. The designed floor is the five pauses before the first sweep."
  echo
  echo '```'
  grep -v '^FREE' "$results/free"
  echo '```'
  echo
  echo "The sixth attempt follows the SIGTERM sweep at once, by design. When the"
  echo "signalled processes have not finished exiting by then, it fails, and the"
  echo "seventh attempt frees the mount one pause later; so most runs with many"
  echo "holders take six seconds, not five. The sweeps themselves cost milliseconds."
  echo
  echo "## Memory"
  echo
  echo "The tool's peak resident size is in the section above. Under valgrind"
  echo "(\`--trace-malloc=yes\`), against a mount held by 20 processes:"
  echo
  echo "- heap: $total"
  echo "- every allocation: $kinds"
  echo
  echo "The only allocations are the streams \`fopen()\` makes for the memory maps"
  echo "(472 bytes each with this libc, $opens here), each freed by \`fclose()\`"
  echo "before the probe returns. Directory listings, paths, links and map lines"
  echo "live in fixed buffers on the stack."
} >docs/BENCHMARKS.md
echo "== written to docs/BENCHMARKS.md"
