#!/bin/bash
# The host end on QEMU's virtio-serial device: every host command that
# README.md and the man pages print runs as printed (socket folder and
# file names replaced) against chanpipe in one boot of the Linux guest,
# 0 B, 4097 B and 64 MiB each way, compared byte for byte, and so do
# chanpipe-host's own failures (commands.py has the list).
#
#   tests/host/run.sh CHANPIPE WORK CACHE
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$root/vm/lib.sh"
[ $# -eq 3 ] || qemu_die "usage: $0 CHANPIPE WORK CACHE"
chanpipe=$1 work=$2 cache=$3

qemu_check_tools
qemu_check_program "$chanpipe"
command -v python3 >/dev/null || qemu_die "missing host tools; apt-get install python3"
[ -x "$chanpipe" ] || qemu_die "no chanpipe at $chanpipe"
qemu_fetch_kernel "$cache"
rm -rf "$work"
mkdir -p "$work/stage"
work=$(cd "$work" && pwd)
# Socket paths must stay short (108 bytes), whatever the work folder.
sockets=$(mktemp -d /tmp/chanpipe-host.XXXXXX)
# shellcheck disable=SC2046 # the host side, if it still runs
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$sockets"' EXIT

cp "$chanpipe" "$work/stage/chanpipe"
qemu_make_initramfs "$work/stage" "$here/guest.sh" "$work/initrd.cpio"
rm -rf "$work/stage"
tcp=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')

python3 "$here/commands.py" run "$root" "$sockets" "$work" "$tcp" &
host=$!
qemu_ports_reset
for name in $(python3 "$here/commands.py" ports "$root") inputs logs; do
  case " ${QEMU_ARGS[*]} " in *",name=$name,"*) continue ;; esac
  qemu_port_socket "$name" "$sockets/$name.sock" "$name-port"
done
# One port on TCP, for --tcp.
QEMU_ARGS+=(-chardev "socket,id=c$((QEMU_NPORTS + 1)),host=127.0.0.1,port=$tcp,server=on,wait=off")
qemu_add_port tcpdata tcpdata-port
QEMU_ARGS+=(-qmp "unix:$sockets/qmp.sock,server=on,wait=off")
QEMU_ARGS+=(-chardev "socket,id=control,path=$sockets/control")
qemu_serial control
for _ in $(seq 1 100); do
  [ -S "$sockets/control" ] && break
  sleep 0.1
done
status=0
qemu_run 1500 "$work/initrd.cpio" "$work/console.log" || status=$?
result=0
wait "$host" || result=$?
if [ $status -ne 0 ] || grep '^GUEST-ERROR' "$work/console.log" >&2; then
  echo "the guest failed (QEMU status $status); console:" >&2
  tail -n 30 "$work/console.log" "$work/console.log.qemu" >&2 || true
  exit 1
fi
rm -f "$work"/payload-* "$work/initrd.cpio"
exit $result
