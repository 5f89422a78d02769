#!/bin/sh
# Builds stripped release binaries of busyumount for x86-64, aarch64 and armv7
# into out/: dynamic (glibc alone), static with glibc, and static with musl,
# the small ones for recovery images and initramfs. Checks how each
# is linked, runs each (under qemu for ARM) on a busy tmpfs in a private
# namespace, and prints their sizes. Installs what it lacks, musl for ARM
# through dpkg's multiarch.
set -eu
cd "$(dirname "$0")/.."
for arch in arm64 armhf; do
  dpkg --print-foreign-architectures | grep -qx $arch || dpkg --add-architecture $arch
done
scripts/install-deps.sh cmake make g++ g++-aarch64-linux-gnu g++-arm-linux-gnueabihf \
  qemu-user-static binutils util-linux musl-dev musl-dev:arm64 musl-dev:armhf
mkdir -p out

for target in x86-64 aarch64 armv7; do
  case $target in
    x86-64) toolchain="" musl=x86_64-linux-musl uapi="/usr/include -idirafter /usr/include/x86_64-linux-gnu" ;;
    aarch64) toolchain=cmake/aarch64-linux-gnu.cmake musl=aarch64-linux-musl uapi=/usr/aarch64-linux-gnu/include ;;
    armv7) toolchain=cmake/arm-linux-gnueabihf.cmake musl=arm-linux-musleabihf uapi=/usr/arm-linux-gnueabihf/include ;;
  esac
  for linking in dynamic static musl; do
    build=out/build-$target-$linking
    static=ON cxx_flags="" try_type=""
    [ "$linking" = dynamic ] && static=OFF
    # gcc's specs from Debian's musl-dev point the compiler at musl's headers,
    # start files and libc; the kernel's own headers (linux/loop.h), which
    # musl doesn't carry, come after them from the glibc tree's. The tool uses
    # nothing of the C++ library, which is built for glibc: the compiler check
    # compiles without linking.
    if [ "$linking" = musl ]; then
      cxx_flags="-specs=/usr/lib/$musl/musl-gcc.specs -idirafter $uapi" try_type=STATIC_LIBRARY
    fi
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=MinSizeRel -DBUSYUMOUNT_TESTS=OFF \
      -DBUSYUMOUNT_STATIC=$static -DCMAKE_CXX_FLAGS="$cxx_flags" \
      ${try_type:+-DCMAKE_TRY_COMPILE_TARGET_TYPE=$try_type} \
      ${toolchain:+-DCMAKE_TOOLCHAIN_FILE=$toolchain} >/dev/null
    cmake --build "$build" -j"$(nproc)" >/dev/null
    cmake --install "$build" --component tool --strip --prefix "$build/stage" >/dev/null
    binary=out/busyumount-$target
    [ "$linking" = dynamic ] || binary=$binary-$linking
    cp "$build/stage/sbin/busyumount" "$binary"

    needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    # glibc alone: its C library, and on ARM its dynamic loader too, which
    # holds the stack protector's guard there.
    case "$linking $needed" in
      "dynamic libc.so.6 " | "dynamic libc.so.6 ld-linux-"*" " | static* | musl*) ;;
      *) echo "$binary needs more than glibc: $needed" >&2; exit 1 ;;
    esac
    if [ "$linking" != dynamic ] && { [ -n "$needed" ] || readelf -l "$binary" | grep -q INTERP; }; then
      echo "$binary is not static" >&2
      exit 1
    fi
  done
done

# Each binary frees a tmpfs held by a process of its own, side by side, in a
# private namespace where nothing else can be signalled.
tests/in-namespace.sh sh -c '
  set -eu
  scratch=$(mktemp -d /tmp/busyumount-release-XXXXXX)
  mount -t tmpfs release "$scratch"
  for binary in out/busyumount-*; do
    name=$(basename "$binary")
    mkdir "$scratch/$name"
    mount -t tmpfs "$name" "$scratch/$name"
    (cd "$scratch/$name" && exec sleep 600) &
    run=""
    case $name in
      *aarch64*) run="qemu-aarch64-static -L /usr/aarch64-linux-gnu" ;;
      *armv7*) run="qemu-arm-static -L /usr/arm-linux-gnueabihf" ;;
    esac
    $run "$binary" "$scratch/$name" &
    tools="${tools:-} $!"
  done
  for tool in $tools; do wait "$tool"; done
  failed=0
  for binary in out/busyumount-*; do
    if mountpoint -q "$scratch/$(basename "$binary")"; then
      echo "$binary did not free its mount" >&2
      failed=1
    fi
  done
  umount -R -l "$scratch"
  exit $failed
'

echo "binary                          bytes  needs"
for binary in out/busyumount-*; do
  needed=$(readelf -d "$binary" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
  printf '%-30s %8d  %s\n' "$binary" "$(stat -c %s "$binary")" "${needed:-nothing (static)}"
done
