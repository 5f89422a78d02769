#!/bin/sh
# Runs test programs built for aarch64 or armv7 on a real ARM kernel: Debian
# 12's own (Linux 6.1, the line of Android's 6.1 kernels), or for aarch64-16k
# its Linux 6.12 with 16 KB pages (as Android 15 devices have), booted by
# qemu's full-system emulation with an initramfs of busybox and the programs.
# Each program runs as the first process of a private PID and mount namespace
# inside the machine, all of them side by side; the machine can signal
# nothing outside itself. Prints the kernel, each program's result and the
# output of those that failed; fails unless every one passed.
#
#   scripts/run-in-vm.sh aarch64|aarch64-16k|armv7l JOBS CACHE
#
# JOBS lists, a line each, "copy FILE" for a file the programs need (the tool)
# and "run NAME [VARIABLE=VALUE...] PROGRAM [ARGUMENT...]". Files keep their
# paths in the machine, and a dynamically linked one gets the libraries it
# names from the cross toolchain. The kernel and busybox-static of the
# architecture come from Debian's archive (apt-get download, not installed)
# and are kept in CACHE.
set -eu
arch=$1 jobs=$2 cache=$3
case $arch in
  aarch64)
    deb=arm64 image=linux-image-arm64 linux=6.1 triple=aarch64-linux-gnu
    qemu="qemu-system-aarch64 -M virt -cpu cortex-a57"
    ;;
  aarch64-16k)
    # A Cortex-A57 has no 16 KB pages; qemu's "max" has every page size.
    deb=arm64 image=linux-image-6.12-arm64-16k linux=6.12 triple=aarch64-linux-gnu
    qemu="qemu-system-aarch64 -M virt -cpu max"
    ;;
  armv7l)
    deb=armhf image=linux-image-armmp linux=6.1 triple=arm-linux-gnueabihf
    qemu="qemu-system-arm -M virt,highmem=off -cpu cortex-a15"
    ;;
  *) echo "$0: no virtual machine for $arch" >&2; exit 2 ;;
esac

mkdir -p "$cache"
if [ ! -s "$cache/vmlinuz" ] || [ ! -s "$cache/busybox" ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  dpkg --print-foreign-architectures | grep -qx $deb || $sudo dpkg --add-architecture $deb
  $sudo apt-get update -qq
  kernel=$(apt-cache depends "$image:$deb" | sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p')
  download=$(mktemp -d)
  chmod 777 "$download"  # apt's download user writes there
  (cd "$download" && apt-get download -qq "$kernel:$deb" "busybox-static:$deb")
  dpkg-deb --fsys-tarfile "$download"/linux-image-*.deb | tar -xO --wildcards './boot/vmlinuz-*' >"$cache/vmlinuz"
  dpkg-deb --fsys-tarfile "$download"/busybox-static_*.deb | tar -xO ./bin/busybox >"$cache/busybox"
  rm -rf "$download"
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib" "$root/proc" \
  "$root/dev" "$root/tmp"
chmod 755 "$root"  # the machine's /, which tests enter as other users
cp "$cache/busybox" "$root/bin/busybox"
chmod +x "$root/bin/busybox"
# Copies a file to its own path in the machine, with what it needs to run,
# once however many jobs name it.
place() {
  [ -e "$root$1" ] && return 0
  mkdir -p "$root$(dirname "$1")"
  cp "$1" "$root$1"
  interpreter=$(readelf -lW "$1" | sed -n 's/.*interpreter: \(.*\)]$/\1/p')
  for library in $interpreter $(readelf -dW "$1" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'); do
    cp -L "/usr/$triple/lib/$(basename "$library")" "$root/lib/"
  done
}

while read -r verb name command; do
  case $verb in
    copy) place "$name" ;;
    run)
      for word in $command; do
        case $word in *=*) ;; *) place "$word" && break ;; esac
      done
      echo "$name $command" >>"$root/jobs"
      ;;
  esac
done <"$jobs"
# The machine's init runs every program at once, each the first process of
# its own namespaces; then it tells each one's result and time, why any test
# skipped, and the whole output of any that failed.
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s
# The initramfs is writable as it is; a tmpfs on /tmp would hide its files.
mount -t proc proc /proc && mount -t devtmpfs dev /dev
echo "busyumount-vm: kernel $(uname -srm)"
while read -r name command; do
  (
    start=$(date +%s)
    unshare -m -p -f --mount-proc env $command </dev/null >"/tmp/$name.log" 2>&1
    echo "$? $(($(date +%s) - start))" >"/tmp/$name.status"
  ) &
done </jobs
wait
while read -r name command; do
  read -r status seconds <"/tmp/$name.status"
  result=passed
  [ "$status" = 0 ] || { cat "/tmp/$name.log"; result=FAILED; }
  echo "busyumount-vm: $result $name in $seconds s"
  awk '/: Skipped$/ { getline; print "busyumount-vm:   skipped: " $0 }' "/tmp/$name.log"
done </jobs
echo "busyumount-vm: done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The kernel's own messages are left out; "quiet" keeps them few.
timeout 900 $qemu -smp 2 -m 1024 -nographic -no-reboot -nic none -kernel "$cache/vmlinuz" \
  -initrd "$work/initrd.gz" -append "console=ttyAMA0 panic=-1 quiet" </dev/null | tr -d '\r' |
  tee "$work/console" | grep -a -v '^\[ *[0-9.]*\] ' || true
grep -aq "^busyumount-vm: kernel Linux $linux\\." "$work/console" &&
  grep -aq '^busyumount-vm: done' "$work/console" && ! grep -aq '^busyumount-vm: FAILED' "$work/console"
