#!/bin/sh
# Benchmarks the sweep on two workloads at three sizes each, and on a
# phone-shaped one and a threaded one (in process, with Google Benchmark; the
# tool without its pauses, fuser -m, lsof and the floor of the tool's reads as
# whole processes, with hyperfine), and the time the tool takes to free a
# mount held by 50 processes. Writes docs/BENCHMARKS.md and docs/sweep-time.png
# in about seven minutes. Everything that may signal runs in a private PID
# namespace.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ libgtest-dev libbenchmark-dev hyperfine psmisc lsof \
  gnuplot-nox python3 util-linux
cmake --preset native >/dev/null
cmake --build --preset native -j"$(nproc)" --target sweep_bench busyumount_no_pause sweep_floor busyumount \
  >/dev/null

build=$PWD/build-native
results=$build/bench
run=tests/in-namespace.sh
rm -rf "$results"
mkdir -p "$results"
echo "== the sweep in process"
$run "$build/sweep_bench" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true \
  --benchmark_time_unit=ms --benchmark_out="$results/sweep.json" --benchmark_out_format=json

# The sizes the sweep benchmark registers.
for size in descriptors/100 descriptors/500 descriptors/2000 maps/100 maps/300 maps/1000 \
  phone/454 threads/300 users/2100; do
  echo "== whole processes: $size"
  # fuser and lsof find nobody here, and say so with status 1.
  $run "$build/sweep_bench" --hold "${size%/*}" "${size#*/}" hyperfine --runs 5 --warmup 1 --ignore-failure \
    --export-json "$results/${size%/*}-${size#*/}.json" \
    -n busyumount "$build/busyumount_no_pause \$DISK" \
    -n "fuser -m" "fuser -m \$DISK" -n lsof "lsof -n -P -w \$DISK" -n floor "$build/sweep_floor"
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
