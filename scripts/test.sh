#!/bin/sh
# Builds busyumount and passes every test, stage by stage: natively; for
# aarch64 and armv7, in virtual machines with Debian's Linux 6.1 for ARM
# (scripts/run-in-vm.sh, under qemu's full-system emulation), the end-to-end
# tests again on Linux 5.10, and for aarch64 on Linux 6.12 with 16 KB pages,
# against the glibc tool and a static musl one; for Android, with the NDK
# that ANDROID_NDK names (skipped without one), the README's build checked
# for a device and a static bionic tool under the end-to-end tests on Linux
# 6.1 and 5.10; natively again
# with AddressSanitizer and UndefinedBehaviorSanitizer; then fuzzing each fuzz
# target for a few seconds (FUZZ_SECONDS, default 5), and linting the sources
# with clang-tidy and cppcheck, and Android.bp with bpfmt. The native and ARM
# stages also build the Debian packages and check them. Each stage but
# android, fuzz and lint is a workflow of CMakePresets.json. Installs what it
# lacks.
#
#   scripts/test.sh                  every stage
#   scripts/test.sh aarch64 armv7    only the named stages:
#                                    native aarch64 armv7 android sanitize fuzz lint
#
# Tests that may send a signal run in private PID namespaces of their own.
set -eu
cd "$(dirname "$0")/.."
stages=${*:-native aarch64 armv7 android sanitize fuzz lint}
vm="qemu-system-arm cpio googletest xz-utils zstd"

packages="cmake make g++ libgtest-dev util-linux groff-base strace"
for stage in $stages; do
  case $stage in
    native) packages="$packages valgrind pkg-config libbenchmark-dev lintian devscripts" ;;
    aarch64) packages="$packages g++-aarch64-linux-gnu $vm lintian musl-dev:arm64" ;;
    armv7) packages="$packages g++-arm-linux-gnueabihf $vm lintian" ;;
    android)
      [ -z "${ANDROID_NDK:-}" ] ||
        packages="$packages clang-14 lld-14 llvm-14 g++-aarch64-linux-gnu g++-arm-linux-gnueabihf $vm"
      ;;
    sanitize) ;;
    fuzz) packages="$packages clang libclang-rt-14-dev" ;;
    lint) packages="$packages clang clang-tidy cppcheck blueprint-tools" ;;
    *) echo "unknown stage: $stage (native aarch64 armv7 android sanitize fuzz lint)" >&2; exit 2 ;;
  esac
done
# musl for arm64 comes through dpkg's multiarch.
case " $stages " in
  *" aarch64 "*)
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
      $([ "$(id -u)" -eq 0 ] || echo sudo) dpkg --add-architecture arm64
    fi
    ;;
esac
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
# commands CMake exports, and bpfmt on Android.bp: any finding fails.
lint() {
  cmake --preset lint >/dev/null &&
    clang-tidy -p build-lint --quiet src/*.cpp &&
    cppcheck --project=build-lint/compile_commands.json --enable=all --inline-suppr \
      --suppress=missingIncludeSystem --error-exitcode=1 --quiet || return 1
  [ -z "$(bpfmt -l Android.bp)" ] || { bpfmt -d Android.bp >&2; return 1; }
}

# The C library a tool was built against, told by the note its start files
# leave: bionic's, glibc's, or none (musl).
c_library() {
  case $(readelf -SW "$1") in
    *.note.android.ident*) echo bionic ;;
    *.note.ABI-tag*) echo glibc ;;
    *) echo musl ;;
  esac
}

# Runs the end-to-end tests of cross build $1 in the virtual machine $2 (as
# scripts/run-in-vm.sh names them), once against each tool given after them;
# tells the kernel and each tool's C library.
end_to_end_in_vm() {
  build=$1 machine=$2
  shift 2
  jobs=$build/jobs-$machine
  # The tool with small tables, which the rows past the tables run against.
  grep '^copy .*/busyumount_small$' "$build/vm-jobs" >"$jobs"
  for tool in "$@"; do
    echo "copy $tool" >>"$jobs"
    sed -n "s|^run \(end_to_end[^ ]*\) |run \1-$(c_library "$tool") BUSYUMOUNT_TOOL=$tool |p" \
      "$build/vm-jobs" >>"$jobs"
  done
  scripts/run-in-vm.sh "$machine" "$jobs" >"$jobs.log" || { cat "$jobs.log"; return 1; }
  kernel=$(sed -n 's/^busyumount-vm: kernel //p' "$jobs.log")
  nth=0
  for tool in "$@"; do
    nth=$((nth + 1))
    layouts=$(sed -n 's/^busyumount-vm:   layouts /layouts /p' "$jobs.log" | sed -n "${nth}p")
    echo "== end-to-end tests ran on $kernel against ${tool#"$PWD"/} ($(c_library "$tool")): $layouts"
  done
}

# Besides the suite on Linux 6.1, the end-to-end tests on Linux 5.10, and on
# Linux 6.12 with 16 KB pages against the glibc tool and a static musl one.
aarch64() {
  cmake --workflow --preset aarch64 && check_packages aarch64 &&
    end_to_end_in_vm build-aarch64 aarch64-5.10 "$PWD/build-aarch64/busyumount" &&
    cmake --preset aarch64-musl >/dev/null && cmake --build --preset aarch64-musl >/dev/null &&
    end_to_end_in_vm build-aarch64 aarch64-16k "$PWD/build-aarch64/busyumount" \
      "$PWD/build-aarch64-musl/busyumount"
}

# Besides the suite on Linux 6.1, the end-to-end tests on Linux 5.10.
armv7() {
  cmake --workflow --preset armv7 && check_packages armv7 &&
    end_to_end_in_vm build-armv7 armv7l-5.10 "$PWD/build-armv7/busyumount"
}

# Checks an NDK build of the tool for a device: the dynamic linker $2, libc.so
# alone, a position-independent executable bound at once, RELRO, no text
# relocations, and every segment aligned to $3 bytes at least.
check_device_elf() {
  elf=$(readelf -hldW "$1")
  for want in "interpreter: $2]" "Type: *DYN" "(FLAGS_1).*PIE" "(FLAGS).*BIND_NOW" GNU_RELRO; do
    echo "$elf" | grep -q "$want" || { echo "$1: no $want" >&2; return 1; }
  done
  if echo "$elf" | grep TEXTREL >&2; then return 1; fi
  needed=$(echo "$elf" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' | tr '\n' ' ')
  [ "$needed" = "libc.so " ] || { echo "$1 needs $needed" >&2; return 1; }
  for align in $(echo "$elf" | awk '$1 == "LOAD" { print $NF }'); do
    [ $((align)) -ge "$3" ] || { echo "$1: a segment aligned to $align" >&2; return 1; }
  done
}

# For each ABI: the README's NDK build, as written, with no warning and the
# ELF a device expects; a static bionic build under the end-to-end tests in
# the virtual machine, driven by the cross-built glibc test program.
android() {
  for abi in arm64-v8a armeabi-v7a; do
    case $abi in
      arm64-v8a) preset=aarch64 machine=aarch64 linker=/system/bin/linker64 align=16384 ;;
      armeabi-v7a) preset=armv7 machine=armv7l linker=/system/bin/linker align=4096 ;;
    esac
    for static in OFF ON; do
      build=build-android-$abi-$static
      mkdir -p "$build"
      if ! { cmake -S . -B "$build" -DBUSYUMOUNT_TESTS=OFF -DBUSYUMOUNT_STATIC=$static \
        -DCMAKE_TOOLCHAIN_FILE="$ANDROID_NDK/build/cmake/android.toolchain.cmake" \
        -DANDROID_ABI=$abi -DANDROID_PLATFORM=android-21 && cmake --build "$build"; } \
        >"$build/log" 2>&1 || grep -i warning "$build/log" >&2; then
        cat "$build/log" >&2
        return 1
      fi
    done
    check_device_elf "build-android-$abi-OFF/busyumount" "$linker" "$align" &&
      cmake --preset "$preset" >/dev/null &&
      cmake --build --preset "$preset" --target end_to_end_test >/dev/null 2>&1 &&
      end_to_end_in_vm "build-$preset" "$machine" "$PWD/build-android-$abi-ON/busyumount" &&
      end_to_end_in_vm "build-$preset" "$machine-5.10" "$PWD/build-android-$abi-ON/busyumount" ||
      return 1
  done
}

passed=0
failed=0
skipped=0
for stage in $stages; do
  echo "== $stage"
  run="cmake --workflow --preset $stage"
  check=$stage
  case $stage in
    aarch64 | armv7) run=$stage check="" ;;
    android)
      run=android check=""
      if [ -z "${ANDROID_NDK:-}" ]; then
        echo "== android skipped: ANDROID_NDK names no NDK (r22 or later)"
        skipped=$((skipped + 1))
        continue
      fi
      ;;
    fuzz) run="scripts/fuzz.sh ${FUZZ_SECONDS:-5}" check="" ;;
    lint) run=lint check="" ;;
    sanitize) check="" ;;
  esac
  ok=0
  start=$(date +%s)
  rm -rf "build-$stage/packages"  # only this run's packages are checked
  $run && { [ -z "$check" ] || check_packages "$check"; } || ok=1
  if [ -f "build-$stage/vm-jobs" ]; then
    sed -n 's/^busyumount-vm: kernel /== tests ran on /p' "build-$stage/Testing/Temporary/LastTest.log" |
      tr -d '\r' | head -n 1
  fi
  # The random layouts that the end-to-end tests held the tool to.
  sed -n 's/^\(busyumount-vm:   \)\{0,1\}\(layouts [0-9]* of .*\)/== \2/p' \
    "build-$stage/Testing/Temporary/LastTest.log" 2>/dev/null | tr -d '\r' | head -n 1
  if [ $ok -eq 0 ]; then
    passed=$((passed + 1))
    echo "== $stage passed in $(($(date +%s) - start)) s"
  else
    failed=$((failed + 1))
    echo "== $stage FAILED" >&2
  fi
done
echo
echo "stages: $passed passed, $failed failed$([ $skipped -eq 0 ] || echo ", $skipped skipped")"
[ "$failed" -eq 0 ]
