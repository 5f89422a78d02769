#!/bin/sh
# Runs busyumount under valgrind's memcheck against a busy tmpfs: no memory
# error, no leak, no descriptor left open at exit, and the mount freed.
# Signals are sent, so it runs only as the first process of its own PID
# namespace: call it through tests/in-namespace.sh.
#
#   tests/in-namespace.sh tests/valgrind_test.sh path/to/busyumount
set -eu
tool=$1
if [ "$$" != 1 ] || [ "$(readlink /proc/self)" = "" ]; then
  echo "$0 sends signals: run it through tests/in-namespace.sh" >&2
  exit 1
fi

scratch=$(mktemp -d /tmp/busyumount-valgrind-XXXXXX)
trap 'umount -l "$scratch"; rmdir "$scratch"' EXIT
mount -t tmpfs valgrind-scratch "$scratch"
mkdir "$scratch/disk"
mount -t tmpfs valgrind-disk "$scratch/disk"
mkdir "$scratch/disk/deep"
(cd "$scratch/disk/deep" && exec sleep 600) &
holder=$!
until [ "$(readlink "/proc/$holder/cwd")" = "$scratch/disk/deep" ]; do sleep 0.01; done

log=$scratch/memcheck.log
status=0
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full --track-fds=yes \
  --log-file="$log" "$tool" "$scratch/disk" </dev/null >/dev/null 2>&1 </dev/null || status=$?

failed=0
if [ "$status" -ne 0 ]; then echo "exit status $status" >&2; failed=1; fi
if ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then echo "memcheck found errors" >&2; failed=1; fi
# Every descriptor open at exit must be one the tool was started with.
open=$(grep -c "Open file descriptor" "$log" || true)
inherited=$(grep -c "<inherited from parent>" "$log" || true)
if [ "$open" -ne "$inherited" ]; then echo "descriptors left open" >&2; failed=1; fi
if mountpoint -q "$scratch/disk"; then echo "the mount is still there" >&2; failed=1; fi
code=0
wait "$holder" || code=$?
if [ "$code" -ne 143 ]; then echo "the holder did not end by SIGTERM ($code)" >&2; failed=1; fi
if [ "$failed" -ne 0 ]; then
  cat "$log" >&2
  exit 1
fi
grep -E "ERROR SUMMARY|in use at exit|total heap usage" "$log"
echo "descriptors open at exit: $open, all inherited"
