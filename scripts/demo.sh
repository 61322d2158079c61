#!/bin/bash
# chanpipe doing its job on a real virtio-serial port, from a fresh Debian
# machine, with both ends of the product: chanpipe in the guest and
# chanpipe-host on the host.
#
#   scripts/demo.sh [--arch x86_64|arm64] [FILE]
#   scripts/demo.sh --libvirt [FILE]            (as root)
#
# Installs what is missing (apt-get), builds chanpipe with the linux preset
# into build/linux, fetches a Debian kernel into .cache/, and boots a small
# Linux guest under QEMU with one port named chan0 and a QMP socket. With
# --arch arm64 the guest is an arm64 one (qemu-system-aarch64, board virt)
# and chanpipe is the aarch64 build of the linux-arm64 preset, in
# build/linux-arm64; the default is x86_64. The host sends FILE (default:
# 32 MiB of random bytes) with `chanpipe-host send --qmp ... --port chan0`
# to the guest's `chanpipe r chan0`; then the guest's `chanpipe w chan0`
# sends it back to `chanpipe-host recv --qmp ... --port chan0`. The report
# gives the commands, sizes, checksums and throughput. Exit status 0 when
# the file came back identical.
#
# With --libvirt the same guest boots as a transient libvirt domain (type
# qemu, x86_64) with a unix channel named chan0, under qemu:///system: the
# host's libvirtd if one runs, else daemons of the demo's own, stopped at
# the end (vm/libvirt_guest.py, vm/demo-libvirt.py). The host side is
# `chanpipe-host send|recv --domain chanpipe-demo --port chan0`, run by
# Debian's python3 (python3-libvirt). It prints the channel's lines of
# `virsh dumpxml`. It needs root, for libvirt's daemons and the
# channel's socket.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. vm/lib.sh

usage="usage: scripts/demo.sh [--arch x86_64|arm64 | --libvirt] [FILE]"
libvirt=""
while [ $# -gt 0 ]; do
  case $1 in
    --arch) [ $# -ge 2 ] || qemu_die "$usage"; QEMU_ARCH=$2; shift 2 ;;
    --arch=*) QEMU_ARCH=${1#--arch=}; shift ;;
    --libvirt) libvirt=1; shift ;;
    -h | --help) echo "$usage"; exit 0 ;;
    --) shift; break ;;
    -*) qemu_die "$usage" ;;
    *) break ;;
  esac
done
[ $# -le 1 ] || qemu_die "$usage"
qemu_arch
if [ -n "$libvirt" ]; then
  [ "$QEMU_ARCH" = x86_64 ] || qemu_die "--libvirt boots the x86_64 guest only"
  [ "$(id -u)" -eq 0 ] || qemu_die "--libvirt needs root: it boots a domain under qemu:///system, \
starting libvirtd and virtlogd if none runs, and opens the channel's socket \
(sudo scripts/demo.sh --libvirt)"
fi

step() { printf '\n== %s\n' "$*"; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }
# stat_field LINE NAME: a field of a runstat line.
stat_field() { printf '%s\n' "$1" | tr ' ' '\n' | sed -n "s/^$2=//p"; }
# line FILE NAME: the line NAME of the guest's or the host's log, its name left out.
line() { sed -n "s/^$2 //p" "$1" | tr -d '\r'; }
# rate BYTES SECONDS
rate() { awk -v b="$1" -v t="$2" 'BEGIN { printf "%.1f", (t > 0 ? b / 1048576 / t : 0) }'; }

if [ -n "$libvirt" ]; then
  echo "guest architecture: x86_64, in a libvirt domain (type qemu)"
else
  echo "guest architecture: $QEMU_ARCH ($QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}}; --arch chooses)"
fi

step "Host packages"
# shellcheck disable=SC2046 # one word a package
qemu_apt_install $(qemu_host_packages) python3 ${libvirt:+libvirt-daemon-system libvirt-clients python3-libvirt}
qemu_check_tools
python=python3
[ -z "$libvirt" ] || python=/usr/bin/python3
$python -c 'import sys; assert sys.version_info >= (3, 8)' 2>/dev/null || qemu_die "chanpipe-host needs Python 3.8 or later ($python)"
[ -z "$libvirt" ] || /usr/bin/python3 -c 'import libvirt' 2>/dev/null ||
  qemu_die "Debian's python3 has no libvirt module; apt-get install python3-libvirt"
echo "$QEMU_SYSTEM $($QEMU_SYSTEM --version | head -n 1 | awk '{print $4}'), $($python --version) ($(command -v $python)), busybox-static${libvirt:+, libvirt $(libvirtd --version | awk '{print $NF}')}: present"

step "Building chanpipe ($QEMU_PRESET preset, static) into build/$QEMU_PRESET"
qemu_build "$root"
qemu_check_program "$QEMU_CHANPIPE"
echo "$QEMU_CHANPIPE: $(readelf -h "$QEMU_CHANPIPE" | sed -n 's/^ *Machine: *//p'), static, $(wc -c <"$QEMU_CHANPIPE") bytes"

step "Guest kernel and busybox (cached in .cache/qemu/$QEMU_ARCH)"
qemu_fetch_kernel "$root/.cache/qemu"
echo "$(cat "$QEMU_KERNEL_DIR/package") with virtio_console as a module; busybox $QEMU_BUSYBOX"

work=$(mktemp -d /tmp/chanpipe-demo.XXXXXX)
pids=""
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
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
started=$(date +%s.%N)

if [ -n "$libvirt" ]; then
  step "Booting the guest in a transient libvirt domain: a unix channel chan0, chanpipe-host --domain on the host"
  boot="with" checksum=""
  host_send="/usr/bin/python3 host/chanpipe-host send --domain chanpipe-demo --port chan0 < FILE"
  host_recv="/usr/bin/python3 host/chanpipe-host recv --domain chanpipe-demo --port chan0 > back"
  /usr/bin/python3 vm/demo-libvirt.py "$work" "$QEMU_CHANPIPE" "$QEMU_RUNSTAT" "$root/.cache/qemu" ||
    qemu_die "the libvirt demo failed"
  guest_log=$work/guest.log
  machine="libvirt $(libvirtd --version | awk '{print $NF}'), transient domain chanpipe-demo of type qemu, $QEMU_SYSTEM (TCG)"
else
  mkdir "$work/stage"
  cp "$QEMU_CHANPIPE" "$work/stage/chanpipe"
  cp "$QEMU_RUNSTAT" "$work/stage/runstat"
  qemu_make_initramfs "$work/stage" vm/demo-guest.sh "$work/initrd.cpio"

  step "Booting the $QEMU_ARCH guest: port chan0 on a unix socket, chanpipe-host --qmp on the host"
  boot="with the boot and" checksum="the guest's checksum before its writer, and "
  host_send="host/chanpipe-host send --qmp qmp.sock --port chan0 < FILE"
  host_recv="host/chanpipe-host recv --qmp qmp.sock --port chan0 > back"
  qemu_ports_reset
  qemu_port_socket chan0 "$work/chan0.sock" chan0
  QEMU_ARGS+=(-qmp "unix:$work/qmp.sock,server=on,wait=off")
  qemu_run 300 "$work/initrd.cpio" "$work/console.log" &
  qemu=$!
  pids=$qemu
  for _ in $(seq 1 300); do
    [ -S "$work/qmp.sock" ] || ! kill -0 $qemu 2>/dev/null && break
    sleep 0.1
  done
  # host COMMAND REDIRECTION...: chanpipe-host COMMAND on chan0, timed, its
  # status and seconds into host.log.
  host() {
    local command=$1 began status=0
    shift
    echo "host:  host/chanpipe-host $command --qmp $work/qmp.sock --port chan0 --progress --wait 120" >&2
    began=$(date +%s.%N)
    python3 host/chanpipe-host "$command" --qmp "$work/qmp.sock" --port chan0 --progress \
      --wait 120 "$@" 2>"$work/$command.err" || status=$?
    echo "HOST-${command^^} status=$status seconds=$(awk -v a="$began" -v b="$(date +%s.%N)" \
      'BEGIN { printf "%.3f", b - a }')" >>"$work/host.log"
  }
  host send <"$work/sent" >/dev/null
  host recv </dev/null >"$work/back"
  status=0
  wait $qemu || status=$?
  pids=""
  guest_log=$work/console.log
  if [ $status -ne 0 ] || ! grep -q '^DEMO-W' "$guest_log"; then
    echo "the guest did not finish (QEMU status $status); its console:"
    grep -v '^\[' "$guest_log" || true
    cat "$guest_log.qemu" 2>/dev/null || true
    cat "$work/send.err" "$work/recv.err" 2>/dev/null || true
    exit 1
  fi
  machine="$QEMU_SYSTEM${QEMU_MACHINE[*]:+ ${QEMU_MACHINE[*]}} (TCG)"
fi
ended=$(date +%s.%N)

r=$(line "$guest_log" DEMO-R)
w=$(line "$guest_log" DEMO-W)
hs=$(line "$work/host.log" HOST-SEND)
hr=$(line "$work/host.log" HOST-RECV)
back_size=$(wc -c <"$work/back" 2>/dev/null || echo 0)
back_sum=$(sha256sum "$work/back" | cut -d' ' -f1)
r_wall=$(stat_field "$r" wall)
r_first=$(stat_field "$r" first_byte)
# From the first byte on: before it, chanpipe-host was waiting to see the
# reader hold the port open.
r_data=$(awk -v w="$r_wall" -v f="$r_first" 'BEGIN { printf "%.2f", (f > 0 ? w - f : w) }')
w_wall=$(stat_field "$w" wall)
same() { [ "$1" = "$sent_sum" ] && echo "same as sent" || echo "DIFFERENT"; }
last() { tail -n 1 "$work/$1.err" 2>/dev/null | sed 's/^chanpipe-host [a-z]*: //'; }

step "Report"
cat <<EOF
guest:      $QEMU_ARCH: Linux $(line "$guest_log" GUEST-KERNEL), busybox, $machine
            QEMU virtio-serial; port chan0 is $(line "$guest_log" DEMO-NODE)
file sent:  $label: $sent_size bytes ($(mib "$sent_size") MiB), sha256 $sent_sum

host -> guest
  host:     $host_send
            status $(stat_field "$hs" status), $(printf '%.1f' "$(stat_field "$hs" seconds)") s from its start to its end ($boot the wait for the guest's reader): "$(last send)"
  guest:    chanpipe r chan0 > file
            received $(stat_field "$r" size) bytes, sha256 $(stat_field "$r" sha256)  $(same "$(stat_field "$r" sha256)")
            exit status $(stat_field "$r" status), $(stat_field "$r" writes) writes to stdout, each bracketed on stderr
            first byte about $(printf '%.2f' "$r_first") s after its start (chanpipe-host sends once the reader has held the port open for 1.3 s)
            then $r_data s, $(rate "$sent_size" "$r_data") MiB/s; CPU $(printf '%.3f' "$(stat_field "$r" user)") s user, $(printf '%.3f' "$(stat_field "$r" sys)") s system

guest -> host
  guest:    chanpipe w chan0 < file
            exit status $(stat_field "$w" status), $(stat_field "$w" writes) writes to the port; stderr starts: $(line "$guest_log" DEMO-STDERR)
            $(printf '%.3f' "$w_wall") s, $(rate "$sent_size" "$w_wall") MiB/s, CPU $(printf '%.3f' "$(stat_field "$w" user)") s user, $(printf '%.3f' "$(stat_field "$w" sys)") s system
  host:     $host_recv
            received $back_size bytes, sha256 $back_sum  $(same "$back_sum")
            status $(stat_field "$hr" status), $(printf '%.1f' "$(stat_field "$hr" seconds)") s from its start to its end (with ${checksum}a second's quiet after the guest's close): "$(last recv)"

whole run ($([ -n "$libvirt" ] && echo "libvirt's daemons, boot, both transfers, the domain's end" ||
  echo "boot, both transfers, power-off")): $(awk -v a="$started" -v b="$ended" 'BEGIN { printf "%.1f", b - a }') s
EOF
if cmp -s "$work/sent" "$work/back" && [ "$(stat_field "$r" status)" = 0 ] &&
  [ "$(stat_field "$w" status)" = 0 ] && [ "$(stat_field "$hs" status)" = 0 ] &&
  [ "$(stat_field "$hr" status)" = 0 ]; then
  echo "result:     the file went through chanpipe-host send and chanpipe r, and back through chanpipe w and chanpipe-host recv, unchanged"
else
  echo "result:     FAILED: the file did not come back unchanged"
  exit 1
fi
