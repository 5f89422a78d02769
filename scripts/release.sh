#!/bin/sh
# Builds stripped release binaries of busyumount for x86-64, aarch64 and
# armv7, each dynamic (libc alone) and static, into out/, checks how each is
# linked, runs each once (under qemu for ARM), and prints their sizes.
# Installs what it lacks.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh cmake make g++ g++-aarch64-linux-gnu g++-arm-linux-gnueabihf \
  qemu-user-static binutils
mkdir -p out

for target in x86-64 aarch64 armv7; do
  case $target in
    x86-64) toolchain="" run="" ;;
    aarch64) toolchain=cmake/aarch64-linux-gnu.cmake run="qemu-aarch64-static -L /usr/aarch64-linux-gnu" ;;
    armv7) toolchain=cmake/arm-linux-gnueabihf.cmake run="qemu-arm-static -L /usr/arm-linux-gnueabihf" ;;
  esac
  for linking in dynamic static; do
    build=out/build-$target-$linking
    static=OFF
    [ "$linking" = static ] && static=ON
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUSYUMOUNT_TESTS=OFF \
      -DBUSYUMOUNT_STATIC=$static ${toolchain:+-DCMAKE_TOOLCHAIN_FILE=$toolchain} >/dev/null
    cmake --build "$build" -j"$(nproc)" >/dev/null
    cmake --install "$build" --strip --prefix "$build/stage" >/dev/null
    binary=out/busyumount-$target
    [ "$linking" = static ] && binary=$binary-static
    cp "$build/stage/sbin/busyumount" "$binary"

    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    if [ "$linking" = dynamic ] && [ "$needed" != "libc.so.6 " ]; then
      echo "$binary needs more than libc: $needed" >&2
      exit 1
    fi
    if [ "$linking" = static ] && { [ -n "$needed" ] || readelf -l "$binary" | grep -q INTERP; }; then
      echo "$binary is not static" >&2
      exit 1
    fi
    # Called wrongly it only prints its usage line: a safe way to run it.
    status=0
    $run "$binary" >/dev/null 2>&1 || status=$?
    if [ "$status" -ne 255 ]; then
      echo "$binary did not run (status $status)" >&2
      exit 1
    fi
  done
done

echo "binary                          bytes  needs"
for binary in out/busyumount-*; do
  needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf '%-28s %8d  %s\n' "$binary" "$(stat -c %s "$binary")" "${needed:-nothing (static)}"
done
