#!/bin/sh
# Fuzzes the matcher, the pid parser, the memory-map handling, the noting of
# bound sockets from the socket listing, the mount tables' parser and the
# rule over them, and a ring's fdinfo with libFuzzer, each for the given
# number of seconds (default 60), starting from the seed corpora in
# fuzz/corpus. Each target checks a property, not only
# that nothing crashes. Prints each target's executions; a failing input is
# kept in build-fuzz/. Installs what it lacks.
#
#   scripts/fuzz.sh [seconds]
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh cmake make clang libclang-rt-14-dev
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j"$(nproc)" >/dev/null

failed=0
for target in matcher pid maps sockets rule ring; do
  corpus=build-fuzz/corpus/$target
  mkdir -p "$corpus"
  cp fuzz/corpus/$target/* "$corpus/"
  log=build-fuzz/$target.log
  if build-fuzz/${target}_fuzz -max_total_time="$seconds" -max_len=12000 -print_final_stats=1 \
    -artifact_prefix=build-fuzz/$target- "$corpus" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $target: $runs executions in $seconds s, no failure"
  else
    failed=$((failed + 1))
    echo "fuzz $target: FAILED" >&2
    tail -n 30 "$log" >&2
  fi
done
[ "$failed" -eq 0 ]
