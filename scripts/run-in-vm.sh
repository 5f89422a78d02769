#!/bin/sh
# Runs test programs built for aarch64 or armv7 on a real ARM kernel, booted by
# qemu's full-system emulation with an initramfs of busybox and the programs:
# Debian 12's own Linux 6.1 (the line of Android's 6.1 kernels), Debian 11's
# Linux 5.10 (that of Android 12 and 13 devices), or for aarch64-16k Debian
# 12's Linux 6.12 with 16 KB pages (as Android 15 devices have). Each program
# runs as the first process of a private PID and mount namespace inside the
# machine, all of them side by side; the machine can signal nothing outside
# itself. Prints the kernel, each program's result and the output of those
# that failed; fails unless every one passed.
#
#   scripts/run-in-vm.sh aarch64|aarch64-5.10|aarch64-16k|armv7l|armv7l-5.10 JOBS
#
# JOBS lists, a line each, "copy FILE" for a file the programs need (the tool)
# and "run NAME [VARIABLE=VALUE...] PROGRAM [ARGUMENT...]". Files keep their
# paths in the machine, and a dynamically linked one gets the libraries it
# names from the cross toolchain. The kernel, the modules the tests need from
# it (loop devices, ext2) and busybox-static come from Debian's archive
# through apt states of the user's cache (apt-get download, not installed),
# once a machine: they are kept there, a directory for each package and
# version.
set -eu
machine=$1 jobs=$2
suite=bookworm
case $machine in
  aarch64*)
    deb=arm64 image=linux-image-arm64 flavour=arm64 linux=6.1 triple=aarch64-linux-gnu
    qemu="qemu-system-aarch64 -M virt -cpu cortex-a57"
    ;;
  armv7l*)
    deb=armhf image=linux-image-armmp flavour=armmp linux=6.1 triple=arm-linux-gnueabihf
    qemu="qemu-system-arm -M virt,highmem=off -cpu cortex-a15"
    ;;
esac
case $machine in
  aarch64 | armv7l) ;;
  *-5.10) suite=bullseye linux=5.10 ;;
  aarch64-16k)
    # A Cortex-A57 has no 16 KB pages; qemu's "max" has every page size.
    image=linux-image-6.12-arm64-16k flavour=arm64-16k linux=6.12 qemu="qemu-system-aarch64 -M virt -cpu max"
    ;;
  *) echo "$0: no virtual machine for $machine" >&2; exit 2 ;;
esac

cache=${XDG_CACHE_HOME:-$HOME/.cache}/busyumount
# Every package comes through an apt state of the cache's own, one per suite
# and architecture, from the archives the machine's sources name: the
# system's sources and lists are only read. A state lists its suites for
# this one architecture, so that another architecture's broken index can't
# hide this one's (apt keeps a repository's indexes all or nothing). For
# bookworm, the suite, its updates and its security suite; for bullseye its
# last point release, since the mirror no longer holds every package that
# bullseye-security lists.
state=$cache/apt-$suite-$deb
mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
touch "$state/status"
# Prints the address of the archive that the machine's sources name for
# suite $1, or $2 when they name none.
archive() {
  address=$(apt-get indextargets --format '$(RELEASE) $(REPO_URI)' 2>/dev/null |
    awk -v suite="$1" '$1 == suite { print $2; exit }')
  echo "${address:-$2}"
}
debian=$(archive bookworm http://deb.debian.org/debian/)
security=$(archive bookworm-security http://deb.debian.org/debian-security/)
echo "deb [arch=$deb] $debian $suite main" >"$state/sources.list"
if [ $suite = bookworm ]; then
  echo "deb [arch=$deb] $debian $suite-updates main
deb [arch=$deb] $security $suite-security main" >>"$state/sources.list"
fi
apt="apt-get -o Dir::Etc::SourceList=$state/sources.list -o Dir::Etc::SourceParts=/dev/null
  -o Dir::State=$state -o Dir::State::status=$state/status -o Dir::Cache=$state/cache
  -o APT::Architectures::=$deb -o Acquire::Languages=none -o APT::Sandbox::User=root"
apt_cache="apt-cache ${apt#apt-get }"

# The lists are brought up to date once an hour at most. A list that can't
# be fetched (a mirror in the middle of a sync, say) fails nothing by itself:
# what the lists that did arrive name is enough, and what they don't name
# comes from the cache, or fails below, by name.
if [ -z "$(find "$state/updated" -mmin -60 2>/dev/null)" ]; then
  if $apt update -qq || $apt update -qq; then
    touch "$state/updated"
  else
    echo "$0: going on with the $suite package lists for $deb there are" >&2
  fi
fi

# Prints the cache directory for the newest version of package $1 that the
# lists know (for the kernel's metapackage, of the kernel it depends on), or
# nothing.
cached() {
  name=$1
  case $name in
    linux-image-*) name=$($apt_cache depends "$name:$deb" 2>/dev/null |
      sed -n 's/.*Depends: \(linux-image-[^:]*\).*/\1/p' | head -n 1) ;;
  esac
  version=$($apt_cache show --no-all-versions "$name:$deb" 2>/dev/null | sed -n 's/^Version: //p')
  [ -z "$name" ] || [ -z "$version" ] || echo "$cache/${name}_${version}_$deb"
}

# Returns whether the cache directory $1 holds what `contents` names: a
# directory filled for an older list of files is filled anew.
whole() {
  [ "$(cat "$1/contents" 2>/dev/null)" = "$contents" ]
}

# Sets `dir` to the cache directory that holds package $1's files, the files
# that `extract` takes from the package (a .deb named as the argument) into
# the current directory, downloading it first if the cache lacks them. When
# no list knows the package, the newest of its versions in the cache matching
# the glob $2 will do.
fetch() {
  dir=$(cached "$1")
  if [ -z "$dir" ]; then
    dir=$(find "$cache" -maxdepth 1 -name "$2" | sort -V | tail -n 1)
    if [ -z "$dir" ]; then
      echo "$0: can't have $1 for $deb: no package list names it, and $cache holds none" >&2
      exit 1
    fi
    echo "$0: no package list names $1 for $deb: taking the newest in the cache, $(basename "$dir")" >&2
  fi
  whole "$dir" && return 0
  # A download cut short is never taken for a whole one: the files go
  # under their name only once all are there.
  download=$(mktemp -d "$dir.XXXXXX")
  package=$(basename "$dir" | cut -d_ -f1)
  version=$(basename "$dir" | cut -d_ -f2)
  (cd "$download" && $apt download -qq "$package:$deb=$version" &&
    mkdir files && cd files && $extract ../*.deb && echo "$contents" >contents) ||
    { rm -rf "$download"; exit 1; }
  rm -rf "$dir"
  mv -T "$download/files" "$dir"
  rm -rf "$download"
}

# The kernel and the modules that loop devices and ext2 need, where they are
# modules, in the order they load (the machine's init names them again).
modules="crc16 crc32c_generic mbcache jbd2 ext4 loop"
kernel_files() {
  dpkg-deb --fsys-tarfile "$1" | tar -x --wildcards './boot/vmlinuz-*' './lib/modules/*.ko*'
  mv boot/vmlinuz-* vmlinuz
  for module in $modules; do
    file=$(find lib/modules -name "$module.ko*" | head -n 1)
    case $file in
      "") ;;
      *.xz) xz -dc "$file" >"$module.ko" ;;
      *.zst) zstd -qdc "$file" >"$module.ko" ;;
      *) mv "$file" "$module.ko" ;;
    esac
  done
  rm -rf boot lib
}
busybox_files() {
  dpkg-deb --fsys-tarfile "$1" | tar -xO ./bin/busybox >busybox
}

mkdir -p "$cache"
extract=kernel_files contents="vmlinuz $modules"
fetch $image "linux-image-$linux[.-]*-${flavour}_*_$deb"
kernel=$dir
extract=busybox_files contents=busybox
fetch busybox-static "busybox-static_*_$deb"
busybox=$dir/busybox

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/bin" "$root/sbin" "$root/usr/bin" "$root/usr/sbin" "$root/lib" "$root/proc" \
  "$root/sys" "$root/dev" "$root/tmp"
chmod 755 "$root"  # the machine's /, which tests enter as other users
cp "$busybox" "$root/bin/busybox"
for module in $modules; do
  [ ! -f "$kernel/$module.ko" ] || cp "$kernel/$module.ko" "$root/lib/"
done
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
# skipped, how many random layouts it ran, and the whole output of any that
# failed.
cat >"$root/init" <<'EOF'
#!/bin/busybox sh
/bin/busybox --install -s
# The initramfs is writable as it is; a tmpfs on /tmp would hide its files.
mount -t proc proc /proc && mount -t sysfs sys /sys && mount -t devtmpfs dev /dev
for module in crc16 crc32c_generic mbcache jbd2 ext4 loop; do
  [ ! -f /lib/$module.ko ] || insmod /lib/$module.ko
done
echo "busyumount-vm: kernel $(uname -srm)"
# Each job's files go by its line number: a name may hold a '/'.
job=0
while read -r name command; do
  job=$((job + 1))
  (
    start=$(date +%s)
    unshare -m -p -f --mount-proc env $command </dev/null >"/tmp/$job.log" 2>&1
    echo "$? $(($(date +%s) - start))" >"/tmp/$job.status"
  ) &
done </jobs
wait
job=0
while read -r name command; do
  job=$((job + 1))
  status=none seconds=0
  read -r status seconds <"/tmp/$job.status"
  result=passed
  [ "$status" = 0 ] || { cat "/tmp/$job.log"; result=FAILED; }
  echo "busyumount-vm: $result $name in $seconds s"
  awk '/: Skipped$/ { getline; print "busyumount-vm:   skipped: " $0 }
    /^layouts [0-9]+ of / { print "busyumount-vm:   " $0 }' "/tmp/$job.log"
done </jobs
echo "busyumount-vm: done"
poweroff -f
EOF
chmod +x "$root/init"
(cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd.gz"

# The kernel's own messages are left out; "quiet" keeps them few.
timeout 900 $qemu -smp 2 -m 1024 -nographic -no-reboot -nic none -kernel "$kernel/vmlinuz" \
  -initrd "$work/initrd.gz" -append "console=ttyAMA0 panic=-1 quiet" </dev/null | tr -d '\r' |
  tee "$work/console" | grep -a -v '^\[ *[0-9.]*\] ' || true
grep -aq "^busyumount-vm: kernel Linux $linux\\." "$work/console" &&
  grep -aq '^busyumount-vm: done' "$work/console" && ! grep -aq '^busyumount-vm: FAILED' "$work/console"
