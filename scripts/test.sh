#!/bin/sh
# Builds busyumount and its tests, and runs them: natively, for aarch64 and
# armv7 under qemu's user-mode emulation, natively again with AddressSanitizer
# and UndefinedBehaviorSanitizer, and then fuzzes each fuzz target for a few
# seconds (FUZZ_SECONDS, default 5). Installs what it lacks.
#
#   scripts/test.sh                  every stage
#   scripts/test.sh aarch64 armv7    only the named stages:
#                                    native aarch64 armv7 sanitize fuzz
#
# Tests that may send a signal run in private PID namespaces of their own.
set -eu
cd "$(dirname "$0")/.."
stages=${*:-native aarch64 armv7 sanitize fuzz}

packages="cmake make g++ libgtest-dev util-linux groff-base strace"
for stage in $stages; do
  case $stage in
    native) packages="$packages valgrind" ;;
    aarch64) packages="$packages g++-aarch64-linux-gnu qemu-user-static googletest" ;;
    armv7) packages="$packages g++-arm-linux-gnueabihf qemu-user-static googletest" ;;
    sanitize) ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    *) echo "unknown stage: $stage (native aarch64 armv7 sanitize fuzz)" >&2; exit 2 ;;
  esac
done
# shellcheck disable=SC2086
scripts/install-deps.sh $packages

passed=0
failed=0
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for stage in $stages; do
  echo "== $stage"
  if [ "$stage" = fuzz ]; then
    if scripts/fuzz.sh "${FUZZ_SECONDS:-5}"; then
      passed=$((passed + 3))
    else
      failed=$((failed + 1))
    fi
    continue
  fi
  cmake --preset "$stage" >/dev/null
  cmake --build --preset "$stage" -j"$(nproc)" >/dev/null
  ctest --preset "$stage" 2>&1 | tee "$log" || true
  # "NN% tests passed, F tests failed out of T"; no such line is a failure.
  summary=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" ||
    echo "0% tests passed, 1 tests failed out of 1")
  total=$(echo "$summary" | sed -E 's/.* out of ([0-9]+).*/\1/')
  bad=$(echo "$summary" | sed -E 's/.*passed, ([0-9]+) tests? failed.*/\1/')
  passed=$((passed + total - bad))
  failed=$((failed + bad))
done
echo
echo "all stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
