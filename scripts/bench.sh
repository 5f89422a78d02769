#!/bin/sh
# Benchmarks the sweep and writes docs/BENCHMARKS.md and docs/sweep-time.png.
# On two workloads (processes with many descriptors, processes with many
# memory-map lines) at three sizes each: the sweep in process, with Google
# Benchmark; and with hyperfine, the tool with its pauses removed, fuser -m
# and lsof, as whole processes. Then the time the tool takes to free a mount
# whose 50 holders exit on SIGTERM. Everything that may signal runs in a
# private PID namespace of its own. Installs what it lacks; takes about five
# minutes.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ libgtest-dev libbenchmark-dev hyperfine psmisc lsof \
  gnuplot-nox python3 util-linux
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target sweep_bench busyumount_no_pause busyumount \
  >/dev/null

build=$PWD/build-native
results=$build/bench
run=tests/in-namespace.sh
rm -rf "$results"
mkdir -p "$results"
echo "== the sweep in process"
$run "$build/sweep_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_out="$results/sweep.json" --benchmark_out_format=json

for workload in "descriptors 100 500 2000" "maps 100 300 1000"; do
  # shellcheck disable=SC2086
  set -- $workload
  kind=$1
  shift
  for processes; do
    echo "== whole processes: $processes with $kind"
    # fuser and lsof find nobody here, and say so with status 1.
    $run "$build/sweep_bench" --hold "$kind" "$processes" hyperfine --runs 3 \
      --ignore-failure --export-json "$results/$kind-$processes.json" \
      -n busyumount "$build/busyumount_no_pause \$DISK" \
      -n "fuser -m" "fuser -m \$DISK" -n lsof "lsof -n -P -w \$DISK"
  done
done

echo "== time to free a mount held by 50 processes"
free=$(mktemp -d /tmp/busyumount-free-XXXXXX)
$run hyperfine --runs 3 --export-json "$results/free.json" --prepare "
  mount -t tmpfs free $free
  for i in \$(seq 50); do (cd $free && exec sleep 600) </dev/null >/dev/null 2>&1 & done
  until [ \$(fuser -m $free 2>/dev/null | wc -w) -ge 50 ]; do sleep 0.01; done" \
  -n busyumount "$build/busyumount $free"
rmdir "$free"

python3 bench/report.py "$results" docs/BENCHMARKS.md
gnuplot -e "results='$results'" bench/plot.gp >docs/sweep-time.png
echo "== written: docs/BENCHMARKS.md, docs/sweep-time.png"
