#!/bin/sh
# Builds the example program against an installed busyumount tree, once with
# find_package() and once with pkg-config, and runs each on a busy tmpfs: the
# helper it spares lives, a holder it doesn't list ends by SIGTERM. Signals
# are sent, so it runs only as the first process of its own PID namespace.
#
#   tests/in-namespace.sh tests/consumer_test.sh INSTALLED_PREFIX EXAMPLES_DIR
set -eu
prefix=$1
examples=$2
if [ "$$" != 1 ]; then
  echo "$0 sends signals: run it through tests/in-namespace.sh" >&2
  exit 1
fi
scratch=$(mktemp -d /tmp/busyumount-consumer-XXXXXX)
trap 'umount -R -l "$scratch"; rmdir "$scratch"' EXIT
mount -t tmpfs consumer-scratch "$scratch"

cmake -S "$examples" -B "$scratch/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/build" >/dev/null
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name busyumount.pc)")
export PKG_CONFIG_PATH
# shellcheck disable=SC2046
cc -Wall -Wextra -Werror -o "$scratch/spare_helper_pc" "$examples/spare_helper.c" \
  $(pkg-config --cflags --libs busyumount)

disk=$scratch/disk
mkdir "$disk"
for program in "$scratch/build/spare_helper" "$scratch/spare_helper_pc"; do
  mount -t tmpfs consumer-disk "$disk"
  (cd "$disk" && exec sleep 600) &
  holder=$!
  until [ "$(readlink "/proc/$holder/cwd")" = "$disk" ]; do sleep 0.01; done
  "$program" "$disk"
  code=0
  wait "$holder" || code=$?
  if [ "$code" -ne 143 ]; then
    echo "$program: the holder did not end by SIGTERM ($code)" >&2
    exit 1
  fi
  umount "$disk"
done
