#!/bin/bash
# Shows busyumount at work: in a private namespace, a tmpfs held busy by a few
# processes is listed (-n) and freed (-v), and each holder's end is shown.
# Installs what it lacks and builds the tool first.
set -eu
cd "$(dirname "$0")/.."

if [ "${BUSYUMOUNT_DEMO_INSIDE:-}" != 1 ]; then
  scripts/install-deps.sh cmake make g++ util-linux mount netcat-openbsd
  cmake -S . -B build-demo -DBUSYUMOUNT_TESTS=OFF >/dev/null
  cmake --build build-demo -j"$(nproc)" --target busyumount >/dev/null
  # Everything below runs in a PID namespace of its own: the tool can signal
  # nothing outside it.
  BUSYUMOUNT_DEMO_INSIDE=1 exec tests/in-namespace.sh "$BASH" "$0"
fi

tool=$PWD/build-demo/busyumount
base=$(mktemp -d /tmp/busyumount-demo-XXXXXX)
view=$(mktemp -d /tmp/busyumount-view-XXXXXX)
trap 'umount -l "$base"; rmdir "$base" "$view"' EXIT
mount -t tmpfs demo-scratch "$base"
# Shared, as Android's storage is: a mount on it gets a copy in every mount
# namespace that receives from it, at whatever path that namespace binds it.
mount --make-shared "$base"
disk=$base/disk
mkdir -p "$disk" "$base/disk2" "$base/elsewhere"

names=()
pids=()
# Starts a process (the rest of the arguments, run by bash) that is known by
# the name given first.
start() {
  local name=$1
  shift
  bash -c "$*" &
  names+=("$name")
  pids+=("$!")
}
# Waits until process $1's link $2 points to $3 (the process has reached it).
reached() {
  for _ in $(seq 200); do
    [ "$(readlink "/proc/$1/$2" 2>/dev/null)" = "$3" ] && return 0
    sleep 0.01
  done
  echo "process $1 never reached $3" >&2
  return 1
}
# Waits until the socket $1 is bound.
bound() {
  for _ in $(seq 200); do
    [ -S "$1" ] && return 0
    sleep 0.01
  done
  echo "nobody bound $1" >&2
  return 1
}
# Waits until process $1 has the file $2 mapped.
mapped() {
  for _ in $(seq 200); do
    grep -q " $2\$" "/proc/$1/maps" 2>/dev/null && return 0
    sleep 0.01
  done
  echo "process $1 never mapped $2" >&2
  return 1
}

# Working in the directory before the mount covers it, it holds nothing there.
start "bystander: cwd in the directory it covers" "cd $disk && exec sleep 600"
reached "${pids[-1]}" cwd "$disk"
mount -t tmpfs demo-disk "$disk"
mkdir -p "$disk/work/deep" "$disk/bin" "$disk/lib"
cp /bin/sleep "$disk/bin/sleep"
echo "a log line" >"$disk/work/deep/log.txt"
# Any shared library will do as one loaded from the mount.
library=$(ldd /bin/sleep | awk '$3 ~ /^\// { print $3; exit }')
cp "$library" "$disk/lib/"
library=$disk/lib/$(basename "$library")

start "open file deep under the mount" "exec 3<$disk/work/deep/log.txt; cd / && exec sleep 600"
reached "${pids[-1]}" fd/3 "$disk/work/deep/log.txt"
start "open directory: the mount itself" "exec 3<$disk; cd / && exec sleep 600"
reached "${pids[-1]}" fd/3 "$disk"
start "library mapped from the mount" "cd / && LD_PRELOAD=$library exec sleep 600"
mapped "${pids[-1]}" "$library"
start "cwd under the mount" "cd $disk/work/deep && exec sleep 600"
reached "${pids[-1]}" cwd "$disk/work/deep"
start "executable under the mount" "cd / && exec $disk/bin/sleep 600"
reached "${pids[-1]}" exe "$disk/bin/sleep"
start "cwd under the mount, ignores SIGTERM" "trap '' TERM; cd $disk && exec sleep 600"
reached "${pids[-1]}" cwd "$disk"
start "bystander: cwd in a sibling, disk2" "cd $base/disk2 && exec sleep 600"
reached "${pids[-1]}" cwd "$base/disk2"
start "bystander: cwd in the mount's parent" "cd $base && exec sleep 600"
reached "${pids[-1]}" cwd "$base"
start "control socket bound under the mount" "cd / && exec nc.openbsd -lU $disk/work/ctl.sock"
bound "$disk/work/ctl.sock"
start "bystander: pipes only" "cd / && exec sleep 600 </dev/null | cat"
start "bystander: socket bound in disk2" "cd / && exec nc.openbsd -lU $base/disk2/ctl.sock"
bound "$base/disk2/ctl.sock"
# An app in a mount namespace of its own that sees the storage at $view, as
# an Android app sees it at /storage; and one whose namespace keeps a private
# copy of the mount, which never keeps the mount busy.
start "app: log open through its own view" "exec unshare --mount --propagation slave bash -c \
  'mount --rbind $base $view && exec 3<$view/disk/work/deep/log.txt && cd / && exec sleep 600'"
reached "${pids[-1]}" fd/3 "$view/disk/work/deep/log.txt"
start "bystander: cwd on a private copy" "exec unshare --mount --propagation private bash -c \
  'cd $disk && exec sleep 600'"
reached "${pids[-1]}" cwd "$disk"

echo "== busyumount -n $disk: what holds it"
"$tool" -n "$disk" | sed 's/^/   /'
echo
echo "== busyumount -v $disk"
start_ns=$(date +%s%N)
# From here on bash would note each holder that dies on its standard error;
# the report below says it better. Without -v the tool writes nothing.
exec 2>/dev/null
"$tool" -v "$disk" 2>&1 | sed 's/^/   /'
status=${PIPESTATUS[0]}
end_ns=$(date +%s%N)
elapsed=$(((end_ns - start_ns) / 1000000))
printf '   exit status %d after %d.%03d s\n' "$status" $((elapsed / 1000)) $((elapsed % 1000))
if mountpoint -q "$disk"; then
  echo "   $disk is STILL mounted"
else
  echo "   $disk is no longer a mount point"
fi
echo
echo "== how each process ended"
for i in "${!pids[@]}"; do
  pid=${pids[$i]}
  if kill -0 "$pid" 2>/dev/null; then
    kill "$pid"
    wait "$pid" 2>/dev/null || true
    printf '   %-45s still running: untouched\n' "${names[$i]}"
  else
    code=0
    wait "$pid" 2>/dev/null || code=$?
    if [ "$code" -gt 128 ]; then
      printf '   %-45s ended by SIG%s\n' "${names[$i]}" "$(kill -l $((code - 128)))"
    else
      printf '   %-45s exited with status %d\n' "${names[$i]}" "$code"
    fi
  fi
done
