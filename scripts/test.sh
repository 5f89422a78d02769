#!/bin/sh
# Builds busyumount and passes every test, stage by stage: natively; for
# aarch64 and armv7, in virtual machines with Debian's Linux 6.1 for ARM
# (scripts/run-in-vm.sh, under qemu's full-system emulation); natively again
# with AddressSanitizer and UndefinedBehaviorSanitizer; then fuzzing each fuzz
# target for a few seconds (FUZZ_SECONDS, default 5), and linting the sources
# with clang-tidy and cppcheck. The native and ARM stages also build the
# Debian packages and check them. Each stage but fuzz and lint is a workflow
# of CMakePresets.json. Installs what it lacks.
#
#   scripts/test.sh                  every stage
#   scripts/test.sh aarch64 armv7    only the named stages:
#                                    native aarch64 armv7 sanitize fuzz lint
#
# Tests that may send a signal run in private PID namespaces of their own.
set -eu
cd "$(dirname "$0")/.."
stages=${*:-native aarch64 armv7 sanitize fuzz lint}

packages="cmake make g++ libgtest-dev util-linux groff-base strace"
for stage in $stages; do
  case $stage in
    native) packages="$packages valgrind pkg-config libbenchmark-dev lintian devscripts" ;;
    aarch64) packages="$packages g++-aarch64-linux-gnu qemu-system-arm cpio googletest lintian" ;;
    armv7) packages="$packages g++-arm-linux-gnueabihf qemu-system-arm cpio googletest lintian" ;;
    sanitize) ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    lint) packages="$packages clang clang-tidy cppcheck" ;;
    *) echo "unknown stage: $stage (native aarch64 armv7 sanitize fuzz lint)" >&2; exit 2 ;;
  esac
done
# shellcheck disable=SC2086
scripts/install-deps.sh $packages

# Checks the Debian packages a stage built: lintian finds no error and no
# warning, and at info level no hardening tag and no needless section; each
# package holds what it must; and the native tool, unpacked into a throwaway
# root, is hardened and prints its usage line.
check_packages() {
  dir=build-$1/packages
  report=$(lintian -I --fail-on error,warning "$dir"/*.deb) || { echo "$report" >&2; return 1; }
  if echo "$report" | grep -E ': (hardening-|binary-has-unneeded-section)' >&2; then return 1; fi
  for path in busyumount_:/usr/sbin/busyumount busyumount_:/usr/share/man/man8/busyumount.8.gz \
    busyumount_:/usr/share/doc/busyumount/copyright \
    libbusyumount-dev_:/usr/include/busyumount/ProcessKiller.h \
    libbusyumount-dev_:/libbusyumount.a libbusyumount-dev_:/busyumountConfig.cmake \
    libbusyumount-dev_:/busyumountConfigVersion.cmake libbusyumount-dev_:/pkgconfig/busyumount.pc \
    libbusyumount-dev_:/usr/share/doc/libbusyumount-dev/copyright; do
    if ! dpkg-deb -c "$dir/${path%%:*}"*.deb | grep "${path#*:}\$" >/dev/null; then
      echo "${path%%:*}*.deb lacks ${path#*:}" >&2
      return 1
    fi
  done
  [ "$1" = native ] || return 0
  root=$(mktemp -d)
  dpkg -x "$dir"/busyumount_*.deb "$root"
  status=0
  "$root/usr/sbin/busyumount" 2>"$root/usage" || status=$?
  usage=$(cat "$root/usage")
  # Debian 12's own start files carry no control-flow marking, so a program
  # linked with them has none, however it was compiled.
  hardening-check --nocfprotection "$root/usr/sbin/busyumount" || status=1
  rm -rf "$root"
  [ "$status" -eq 255 ] && [ "$usage" = "usage: $root/usr/sbin/busyumount  <mount_point>" ]
}

# clang-tidy (as .clang-tidy says) and cppcheck on src/, with the compile
# commands CMake exports: any finding fails.
lint() {
  cmake --preset lint >/dev/null &&
    clang-tidy -p build-lint --quiet src/*.cpp &&
    cppcheck --project=build-lint/compile_commands.json --enable=all --inline-suppr \
      --suppress=missingIncludeSystem --error-exitcode=1 --quiet
}

passed=0
failed=0
for stage in $stages; do
  echo "== $stage"
  run="cmake --workflow --preset $stage"
  check=$stage
  case $stage in
    fuzz) run="scripts/fuzz.sh ${FUZZ_SECONDS:-5}" check="" ;;
    lint) run=lint check="" ;;
    sanitize) check="" ;;
  esac
  ok=0
  rm -rf "build-$stage/packages"  # only this run's packages are checked
  $run && { [ -z "$check" ] || check_packages "$check"; } || ok=1
  if [ -f "build-$stage/vm-jobs" ]; then
    sed -n 's/^busyumount-vm: kernel /== tests ran on /p' "build-$stage/Testing/Temporary/LastTest.log" |
      tr -d '\r' | head -n 1
  fi
  if [ $ok -eq 0 ]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "== $stage FAILED" >&2
  fi
done
echo
echo "stages: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
