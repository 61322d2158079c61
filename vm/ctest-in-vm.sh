#!/bin/bash
# Runs Windows tests that need 32-bit programs on a machine that cannot run
# them (a kernel without IA-32 emulation): inside a QEMU guest whose kernel,
# Debian's generic one, runs them. The guest sees this machine's files as
# they are (its root, read-only, over 9p) and runs the tests on a copy of
# each build tree, so they run the very programs of that tree.
#
#   vm/ctest-in-vm.sh BUILD [CTEST-ARGS...] [-- BUILD [CTEST-ARGS...]]...
#   vm/ctest-in-vm.sh build/windows-x86 -j 2 -L 'wine32|wine32-e2e|wow64-e2e|msi' \
#     -- build/windows-x64 -j 2 -R '^msi_(win32_prefix|x64.win32_refused)$'
#
# QEMU emulates the CPU (no KVM here), so everything is about ten times
# slower: CHANPIPE_TIME_SCALE (10 by default) stretches the tests' time
# limits. The guest makes one Wine prefix of each kind first, side by side,
# and every test's prefix is a copy of one of them
# (CHANPIPE_WINE_TEMPLATES). The trees' tests run side by side, in one
# boot. Prints CTest's output and leaves its log in each BUILD as
# Testing/Temporary/LastTest-vm.log, then where the time went; exits with
# the first failed CTest's status, or another when the guest did not get
# that far. The kernel package (about 70 MB) is downloaded once into
# .cache/vm32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
. "$here/lib.sh"
# Its guest runs 32-bit x86 programs: an x86_64 one, whatever the caller's
# QEMU_ARCH.
QEMU_ARCH=x86_64

[ $# -ge 1 ] || qemu_die "usage: ctest-in-vm.sh BUILD [CTEST-ARGS...] [-- BUILD [CTEST-ARGS...]]..."
# Each tree and its CTest arguments, as lines of the guest's command.
builds=() copies="" runs=""
while [ $# -gt 0 ]; do
  build=$(cd "$1" && pwd)
  shift
  [ -f "$build/CTestTestfile.cmake" ] || qemu_die "$build is not a configured build tree"
  builds+=("$build")
  copies="$copies$(printf 'copy %q' "$build")"$'\n'
  runs="$runs$(printf 'run %d %q' ${#builds[@]} "$build")"
  while [ $# -gt 0 ] && [ "$1" != -- ]; do
    runs="$runs$(printf ' %q' "$1")"
    shift
  done
  runs="$runs"$'\n'
  [ $# -eq 0 ] || shift
done
scale=${CHANPIPE_TIME_SCALE:-10}
minutes=${CHANPIPE_VM_MINUTES:-120}
modules="virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci netfs fscache
  9pnet 9pnet_virtio 9p"
modules=$(echo $modules)
qemu_check_tools
qemu_fetch_kernel "$root/.cache/vm32" linux-image-amd64 "$modules"

work=$(mktemp -d /tmp/chanpipe-vm32.XXXXXX)
qemu_pid=""
# The guest goes with this script, whatever ends it.
trap '[ -z "$qemu_pid" ] || kill "$qemu_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP
mkdir -p "$work/stage/bin" "$work/stage/lib" "$work/stage/proc" "$work/stage/sys" \
  "$work/stage/dev" "$work/stage/newroot" "$work/share"
cp /bin/busybox "$work/stage/bin/busybox"
for m in $modules; do
  cp "$QEMU_KERNEL_DIR/$m.ko" "$work/stage/lib/"
done

# What the guest runs, in this machine's own file system. Each build tree
# is copied into the guest's memory first, without its Wine prefixes (the
# tests make them anew): programs mapped from a 9p mount can read as zeros
# there.
# there. Nor the times of this machine's runs, where these tests were
# skipped and so cheap: CTest would start the longest last. Without them it
# goes by the tests' COST.
{
  printf 'export CHANPIPE_TIME_SCALE=%q wine_run=%q\n' "$scale" "$root/scripts/wine-run.sh"
  cat <<'GUEST'
# Python compiles the sources it imports once, into the guest's memory.
export PYTHONPYCACHEPREFIX=/tmp/pycache HOME=/root XDG_CACHE_HOME=/tmp/cache
templates=/tmp/wine-templates
# The guest's clock at each step, for the host's account of the time.
mark() { echo "$1 $(cut -d ' ' -f 1 /proc/uptime)" >>/tmp/share/phases; }
copy() {
  mkdir -p "/tmp/build$1"
  (cd "$1" && tar -c --exclude='./wineprefix*' --exclude='./tests/wine-e2e/*_e2e' \
    --exclude='./tests/selftest/work-*' --exclude='./tests/msi/win*' --exclude='./tests/msi/msi_*' \
    --exclude='./Testing/Temporary/CTestCostData.txt' \
    --exclude='./Testing/Temporary/LastTestsFailed.log' \
    .) | tar -x -C "/tmp/build$1" || exit 90
  mount --bind "/tmp/build$1" "$1" || exit 91
}
# run N BUILD CTEST-ARGS...: in the background, beside the other trees'
# runs (a tree's last long tests leave a CPU idle); its status goes to
# /tmp/status-N.
run() {
  n=$1 b=$2
  shift 2
  # Linked into the tree's copy: a file is linked only within one mount.
  cp -al "$templates" "/tmp/build$b/.wine-templates"
  (
    s=0
    CHANPIPE_WINE_TEMPLATES=$b/.wine-templates \
      ctest --test-dir "$b" --output-on-failure "$@" >"/tmp/share/ctest-$n.log" 2>&1 || s=$?
    echo "$s" >"/tmp/status-$n"
    mark "tests:${b##*/}"
    report "$n" "$b"
  ) &
}
report() {
  n=$1 b=$2
  cp "$b/Testing/Temporary/LastTest.log" "/tmp/share/LastTest-$n.log"
  ctest --test-dir "$b" --show-only=json-v1 >"/tmp/share/tests-$n.json" 2>/dev/null
}
mark booted
# The templates of the tests' prefixes, both kinds at once.
for arch in win32 win64; do
  WINEARCH=$arch sh "$wine_run" "$templates/$arch" 60 &
done
GUEST
  printf '%s' "$copies"
  cat <<'GUEST'
mark copied
wait
for arch in win32 win64; do
  [ -f "$templates/$arch/.chanpipe-ready-$arch" ] || exit 92
done
mark prefixes
GUEST
  printf '%s' "$runs"
  cat <<'GUEST'
wait
# The first failed tree's status.
status=0
for f in /tmp/status-*; do
  [ "$status" -ne 0 ] || status=$(cat "$f")
done
# A test that wrote into a file of a template in place wrote into every
# prefix copied from it.
for arch in win32 win64; do
  find "$templates/$arch" -type f -newer "$templates/$arch/.chanpipe-ready-$arch" >>/tmp/share/changed
done
[ ! -s /tmp/share/changed ] || exit 93
exit $status
GUEST
} >"$work/share/command"

# The guest covers /tmp, /run and /var/tmp with its own tmpfs; sources or a
# build tree in one of them (a clone in /tmp, say) stay seen through binds.
covered=""
for p in "$root" "${builds[@]}"; do
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
# A long list of tests, cut short.
echo "$runs" | sed -n 's/^run [0-9]* /in-vm: ctest in /p' | cut -c 1-300 >&2
status=0
started=$(date +%s)
# With SMAP or PKU emulated, 32-bit Wine is killed as it starts.
# A throwaway guest needs no mitigations; without the page table switch at
# every system call, the emulated CPU keeps its TLB (Wine calls its server
# all the time).
timeout -k 10 $((minutes * 60)) qemu-system-x86_64 -machine q35 -cpu max,-smap,-pku -smp 2 \
  -m 10240 -nodefaults -display none -no-reboot -serial "file:$work/console" \
  -kernel "$QEMU_KERNEL_DIR/vmlinuz" -initrd "$work/initrd" -append "console=ttyS0 quiet panic=-1 mitigations=off" \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  -virtfs "local,path=$work/share,mount_tag=share,security_model=none,multidevs=remap" \
  </dev/null >"$work/qemu.log" 2>&1 &
qemu_pid=$!
wait "$qemu_pid" || status=$?
qemu_pid=""
n=0
for build in "${builds[@]}"; do
  n=$((n + 1))
  echo "in-vm: $build"
  cat "$work/share/ctest-$n.log" 2>/dev/null || true
  # The tree keeps what its tests said in the guest.
  rm -f "$build/Testing/Temporary/LastTest-vm.log"
  mkdir -p "$build/Testing/Temporary"
  [ ! -f "$work/share/LastTest-$n.log" ] ||
    cp "$work/share/LastTest-$n.log" "$build/Testing/Temporary/LastTest-vm.log"
done
# Where the time went: the guest's steps, then its tests by label.
awk -v wall=$(($(date +%s) - started)) '
  { t[$1] = $2 }
  /^tests:/ { tests = tests sprintf(", tests of %s %.0f s", substr($1, 7), $2 - t["prefixes"]) }
  END {
    printf "in-vm: boot %.0f s, copy %.0f s, Wine prefixes %.0f s more%s; QEMU ran %d s\n",
      t["booted"], t["copied"] - t["booted"], t["prefixes"] - t["copied"], tests, wall
  }' "$work/share/phases" >&2 2>/dev/null || true
n=0
for build in "${builds[@]}"; do
  n=$((n + 1))
  [ ! -f "$work/share/LastTest-$n.log" ] ||
    python3 "$here/ctest-times.py" "$work/share/LastTest-$n.log" "$work/share/tests-$n.json" |
    sed "s|^|in-vm: test time in ${build##*/}, summed: |" >&2 || true
done
if ! grep -q VM-EXIT "$work/console" 2>/dev/null; then
  echo "in-vm: the guest did not finish (QEMU status $status):" >&2
  tail -n 20 "$work/console" "$work/qemu.log" >&2 2>/dev/null || true
  exit 1
fi
if grep VM-ERROR "$work/console" >&2; then exit 1; fi
status=$(cat "$work/share/status")
case $status in
  90 | 91)
    echo "in-vm: the guest could not copy a build tree ($status):" >&2
    cat "$work/share/command.log" >&2 2>/dev/null || true
    ;;
  92)
    echo "in-vm: the guest could not make the Wine prefixes' templates:" >&2
    cat "$work/share/command.log" >&2 2>/dev/null || true
    ;;
  93)
    echo "in-vm: the tests changed files of a Wine prefix's template in place:" >&2
    cat "$work/share/changed" >&2
    ;;
esac
exit "$status"
