#!/bin/bash
# chanpipe doing its job on a real virtio-serial port, from a fresh Debian
# machine:
#
#   scripts/demo.sh [--arch x86_64|arm64] [FILE]
#
# Installs what is missing (apt-get), builds chanpipe with the linux preset
# into build/linux, fetches a Debian kernel into .cache/, and boots a small
# Linux guest under QEMU with one port named chan0. With --arch arm64 the
# guest is an arm64 one (qemu-system-aarch64, board virt) and chanpipe is
# the aarch64 build of the linux-arm64 preset, in build/linux-arm64; the
# default is x86_64. The host sends FILE
# (default: 32 MiB of random bytes) on chan0; in the guest
# `chanpipe r chan0` receives it and `chanpipe w chan0` sends it back on the
# same port. The report gives sizes, checksums and throughput. Exit status 0
# when the file came back identical.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. vm/lib.sh

usage="usage: scripts/demo.sh [--arch x86_64|arm64] [FILE]"
while [ $# -gt 0 ]; do
  case $1 in
    --arch) [ $# -ge 2 ] || qemu_die "$usage"; QEMU_ARCH=$2; shift 2 ;;
    --arch=*) QEMU_ARCH=${1#--arch=}; shift ;;
    -h | --help) echo "$usage"; exit 0 ;;
    --) shift; break ;;
    -*) qemu_die "$usage" ;;
    *) break ;;
  esac
done
[ $# -le 1 ] || qemu_die "$usage"
qemu_arch

step() { printf '\n== %s\n' "$*"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
# stat_field LINE NAME: a field of a runstat line.
stat_field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }

echo "guest architecture: $QEMU_ARCH ($QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}}; --arch chooses)"

step "Host packages"
qemu_apt_install $(qemu_host_packages)
qemu_check_tools
echo "$QEMU_SYSTEM $($QEMU_SYSTEM --version | head -n 1 | awk '{print $4}'), socat, busybox-static: present"

step "Building chanpipe ($QEMU_PRESET preset, static) into build/$QEMU_PRESET"
qemu_build "$root"
qemu_check_program "$QEMU_CHANPIPE"
echo "$QEMU_CHANPIPE: $(readelf -h "$QEMU_CHANPIPE" | sed -n 's/^ *Machine: *//p'), static, $(wc -c <"$QEMU_CHANPIPE") bytes"

step "Guest kernel and busybox (cached in .cache/qemu/$QEMU_ARCH)"
qemu_fetch_kernel "$root/.cache/qemu"
echo "$(cat "$QEMU_KERNEL_DIR/package") with virtio_console as a module; busybox $QEMU_BUSYBOX"

work=$(mktemp -d /tmp/chanpipe-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
if [ $# -ge 1 ]; then
  [ -f "$1" ] || qemu_die "no file $1"
  cp "$1" "$work/sent"
  label=$1
else
  head -c $((32 * 1048576)) /dev/urandom >"$work/sent"
  label="32 MiB of random bytes"
fi
sent_size=$(wc -c <"$work/sent")
sent_sum=$(sha256sum "$work/sent" | cut -d' ' -f1)

mkdir "$work/stage"
cp "$QEMU_CHANPIPE" "$work/stage/chanpipe"
cp "$QEMU_RUNSTAT" "$work/stage/runstat"
qemu_make_initramfs "$work/stage" vm/demo-guest.sh "$work/initrd.cpio"

step "Booting the $QEMU_ARCH guest: port chan0 on a unix socket, the host on the other end"
qemu_ports_reset
qemu_port_in chan0 "$work/chan0.sock" "$work/sent"
started=$(date +%s.%N)
qemu_run 180 "$work/initrd.cpio" "$work/console.log" &
qemu=$!
# Once the guest has the whole file, take it back on the same socket.
back=""
for _ in $(seq 1 1500); do
  if grep -q '^DEMO-RECEIVED' "$work/console.log" 2>/dev/null; then
    socat -u "UNIX-CONNECT:$work/chan0.sock" - >"$work/back" 2>/dev/null &
    back=$!
    break
  fi
  kill -0 $qemu 2>/dev/null || break
  sleep 0.1
done
status=0
wait $qemu || status=$?
[ -z "$back" ] || wait $back || true
ended=$(date +%s.%N)
if [ $status -ne 0 ] || ! grep -q '^DEMO-W' "$work/console.log"; then
  echo "the guest did not finish (QEMU status $status); its console:"
  grep -v '^\[' "$work/console.log" || true
  cat "$work/console.log.qemu" 2>/dev/null || true
  exit 1
fi

r=$(sed -n 's/^DEMO-R //p' "$work/console.log" | tr -d '\r')
w=$(sed -n 's/^DEMO-W //p' "$work/console.log" | tr -d '\r')
back_size=$(wc -c <"$work/back" 2>/dev/null || echo 0)
back_sum=$(sha256sum "$work/back" | cut -d' ' -f1)
r_wall=$(stat_field "$r" wall)
w_wall=$(stat_field "$w" wall)
same() { [ "$1" = "$sent_sum" ] && echo "same as sent" || echo "DIFFERENT"; }

step "Report"
cat <<EOF
guest:      $QEMU_ARCH: Linux $(sed -n 's/^GUEST-KERNEL //p' "$work/console.log" | tr -d '\r'), busybox, $QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}} (TCG)
            QEMU virtio-serial; port chan0 is $(sed -n 's/^DEMO-NODE //p' "$work/console.log" | tr -d '\r')
file sent:  $label: $sent_size bytes ($(mib "$sent_size") MiB), sha256 $sent_sum

host -> guest  (host: socat into the socket; guest: chanpipe r chan0 > file)
  received  $(stat_field "$r" size) bytes, sha256 $(stat_field "$r" sha256)  $(same "$(stat_field "$r" sha256)")
  exit status $(stat_field "$r" status), $(stat_field "$r" writes) writes to stdout, each bracketed on stderr
  $(printf '%.3f' "$r_wall") s, $(awk -v b="$sent_size" -v t="$r_wall" 'BEGIN { printf "%.1f", b / 1048576 / t }') MiB/s, CPU $(printf '%.3f' "$(stat_field "$r" user)") s user, $(printf '%.3f' "$(stat_field "$r" sys)") s system

guest -> host  (guest: chanpipe w chan0 < file; host: socat out of the socket)
  received  $back_size bytes, sha256 $back_sum  $(same "$back_sum")
  exit status $(stat_field "$w" status), $(stat_field "$w" writes) writes to the port; stderr starts: $(sed -n 's/^DEMO-STDERR //p' "$work/console.log" | tr -d '\r')
  $(printf '%.3f' "$w_wall") s, $(awk -v b="$sent_size" -v t="$w_wall" 'BEGIN { printf "%.1f", b / 1048576 / t }') MiB/s, CPU $(printf '%.3f' "$(stat_field "$w" user)") s user, $(printf '%.3f' "$(stat_field "$w" sys)") s system

whole run (boot, both transfers, power-off): $(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a }') s
EOF
if cmp -s "$work/sent" "$work/back" && [ "$(stat_field "$r" status)" = 0 ] &&
  [ "$(stat_field "$w" status)" = 0 ]; then
  echo "result:     the file went through chanpipe r and back through chanpipe w unchanged"
else
  echo "result:     FAILED: the file did not come back unchanged"
  exit 1
fi
