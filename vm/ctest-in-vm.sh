#!/bin/bash
# Runs Windows tests that need 32-bit programs on a machine that cannot run
# them (a kernel without IA-32 emulation): inside a QEMU guest whose kernel,
# Debian's generic one, runs them. The guest sees this machine's files as
# they are (its root, read-only, over 9p) and runs the tests on a copy of
# the build tree, so they run the very programs of that tree.
#
#   vm/ctest-in-vm.sh BUILD [CTEST-ARGS...]
#   vm/ctest-in-vm.sh build/windows-x86 -j 2 -L 'wine32|wine32-e2e|wow64-e2e'
#
# QEMU emulates the CPU (no KVM here), so everything is about ten times
# slower: CHANPIPE_TIME_SCALE (10 by default) stretches the tests' time
# limits, and a run of the three 32-bit labels takes 20 to 30 minutes.
# Prints CTest's output and leaves its log in BUILD as
# Testing/Temporary/LastTest-vm.log, and the 32-bit probe's answer as
# probe-32bit.txt; exits with CTest's status, or another when the guest did
# not get that far. The kernel package (about 70 MB) is downloaded once into
# .cache/vm32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$here/lib.sh"
# Its guest runs 32-bit x86 programs: an x86_64 one, whatever the caller's
# QEMU_ARCH.
QEMU_ARCH=x86_64

[ $# -ge 1 ] || qemu_die "usage: ctest-in-vm.sh BUILD [CTEST-ARGS...]"
build=$(cd "$1" && pwd)
shift
[ -f "$build/CTestTestfile.cmake" ] || qemu_die "$build is not a configured build tree"
scale=${CHANPIPE_TIME_SCALE:-10}
minutes=${CHANPIPE_VM_MINUTES:-120}
modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
  9pnet 9pnet_virtio 9p"
modules=$(echo $modules)
qemu_check_tools
qemu_fetch_kernel "$root/.cache/vm32" linux-image-amd64 "$modules"

work=$(mktemp -d /tmp/chanpipe-vm32.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/stage/bin" "$work/stage/lib" "$work/stage/proc" "$work/stage/sys" \
  "$work/stage/dev" "$work/stage/newroot" "$work/share"
cp /bin/busybox "$work/stage/bin/busybox"
for m in $modules; do
  cp "$QEMU_KERNEL_DIR/$m.ko" "$work/stage/lib/"
done

# What the guest runs, in this machine's own file system. The build tree is
# copied into the guest's memory first, without its Wine prefixes (the tests
# make them anew): programs mapped from a 9p mount can read as zeros there.
# The copy is configured again with the longer time limits, which builds
# nothing.
{
  printf 'b=%q scale=%q\nset --' "$build" "$scale"
  printf ' %q' "$@"
  printf '\n'
  cat <<'GUEST'
# The guest's clock at each step, for the host's account of the time.
mark() { echo "$1 $(cut -d ' ' -f 1 /proc/uptime)" >>/tmp/share/phases; }
mark booted
mkdir -p /tmp/build
(cd "$b" && tar -c --exclude='./wineprefix*' --exclude='./tests/wine-e2e/*_e2e' \
  --exclude='./tests/selftest/work-*' --exclude='./tests/msi/win*' --exclude='./tests/msi/msi_*' \
  .) | tar -x -C /tmp/build || exit 90
mount --bind /tmp/build "$b" || exit 91
mark copied
cmake -DCHANPIPE_TIME_SCALE="$scale" "$b" >/tmp/share/configure.log 2>&1 || exit 92
mark configured
status=0
env CHANPIPE_TIME_SCALE="$scale" PYTHONDONTWRITEBYTECODE=1 HOME=/root XDG_CACHE_HOME=/tmp/cache \
  ctest --test-dir "$b" --output-on-failure "$@" >/tmp/share/ctest.log 2>&1 || status=$?
mark tested
cp "$b/Testing/Temporary/LastTest.log" "$b/probe-32bit.txt" /tmp/share/ 2>/dev/null
ctest --test-dir "$b" --show-only=json-v1 >/tmp/share/tests.json 2>/dev/null
exit $status
GUEST
} >"$work/share/command"

# The guest covers /tmp, /run and /var/tmp with its own tmpfs; sources or a
# build tree in one of them (a clone in /tmp, say) stay seen through binds.
covered=""
for p in "$root" "$build"; do
  case $p in "$root"/*) continue ;; esac # seen with the sources
  case $p in /tmp/* | /run/* | /var/tmp/*) covered="$covered $p" ;; esac
done

cat >"$work/stage/init" <<EOF
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
for m in $modules; do
  insmod /lib/\$m.ko || echo "VM-ERROR insmod \$m"
done
o=trans=virtio,version=9p2000.L,msize=512000
n=/newroot
mount -t 9p -o \$o,ro,cache=loose hostroot \$n || echo "VM-ERROR mount /"
mount -t proc proc \$n/proc
mount -t sysfs sysfs \$n/sys
mount -t devtmpfs devtmpfs \$n/dev
mkdir -p \$n/dev/pts \$n/dev/shm
mount -t devpts devpts \$n/dev/pts
mount -t tmpfs tmpfs \$n/dev/shm
i=0
for p in $covered; do
  i=\$((i + 1)); mkdir -p /keep/\$i; mount --bind \$n\$p /keep/\$i || echo "VM-ERROR keep \$p"
done
for d in tmp run var/tmp; do mount -t tmpfs -o size=8g tmpfs \$n/\$d; done
i=0
for p in $covered; do
  i=\$((i + 1)); mkdir -p \$n\$p; mount --bind /keep/\$i \$n\$p || echo "VM-ERROR bind \$p"
done
mkdir -p \$n/tmp/share
mount -t 9p -o \$o,cache=mmap share \$n/tmp/share || echo "VM-ERROR mount share"
echo VM-READY
chroot \$n /bin/sh -c 'export PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin;
  sh /tmp/share/command >/tmp/share/command.log 2>&1; echo \$? >/tmp/share/status'
sync
echo "VM-EXIT \$(cat \$n/tmp/share/status)"
poweroff -f
EOF
chmod 755 "$work/stage/init" "$work/stage/bin/busybox"
(cd "$work/stage" && find . | LC_ALL=C sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) \
  >"$work/initrd"

echo "in-vm: $(cat "$QEMU_KERNEL_DIR/package") under QEMU (TCG), 2 vCPUs; time scale $scale" >&2
echo "in-vm: ctest$(printf ' %q' "$@"), on a copy of $build" >&2
status=0
started=$(date +%s)
# With SMAP or PKU emulated, 32-bit Wine is killed as it starts.
timeout -k 10 $((minutes * 60)) qemu-system-x86_64 -machine q35 -cpu max,-smap,-pku -smp 2 \
  -m 10240 -nodefaults -display none -no-reboot -serial "file:$work/console" \
  -kernel "$QEMU_KERNEL_DIR/vmlinuz" -initrd "$work/initrd" -append "console=ttyS0 quiet panic=-1" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$work/share,mount_tag=share,security_model=none,multidevs=remap" \
  </dev/null >"$work/qemu.log" 2>&1 || status=$?
cat "$work/share/ctest.log" 2>/dev/null || true
# Where the time went: the guest's steps, then its tests by label.
awk -v wall=$(($(date +%s) - started)) '
  { t[$1] = $2 }
  END {
    printf "in-vm: boot %.0f s, copy %.0f s, configure %.0f s, tests %.0f s; QEMU ran %d s\n",
      t["booted"], t["copied"] - t["booted"], t["configured"] - t["copied"],
      t["tested"] - t["configured"], wall
  }' "$work/share/phases" >&2 2>/dev/null || true
# The tree keeps what its tests said in the guest.
mkdir -p "$build/Testing/Temporary"
[ ! -f "$work/share/LastTest.log" ] ||
  cp "$work/share/LastTest.log" "$build/Testing/Temporary/LastTest-vm.log"
[ ! -f "$work/share/probe-32bit.txt" ] || cp "$work/share/probe-32bit.txt" "$build/"
[ ! -f "$work/share/LastTest.log" ] ||
  python3 "$here/ctest-times.py" "$build/Testing/Temporary/LastTest-vm.log" "$work/share/tests.json" |
  sed 's/^/in-vm: test time, summed: /' >&2 || true
if ! grep -q VM-EXIT "$work/console" 2>/dev/null; then
  echo "in-vm: the guest did not finish (QEMU status $status):" >&2
  tail -n 20 "$work/console" "$work/qemu.log" >&2 2>/dev/null || true
  exit 1
fi
if grep VM-ERROR "$work/console" >&2; then exit 1; fi
status=$(cat "$work/share/status")
case $status in
  90 | 91 | 92)
    echo "in-vm: the guest could not prepare its copy of $build ($status):" >&2
    cat "$work/share/command.log" "$work/share/configure.log" >&2 2>/dev/null || true
    ;;
esac
exit "$status"
