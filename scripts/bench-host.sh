#!/bin/bash
# Measures the host's end of a channel: chanpipe-host against socat, on a
# real virtio-serial port, with chanpipe in the guest at the other end:
#
#   scripts/bench-host.sh [-n ROUNDS] [-m MIB] [-v NAME=DIR]...
#
# One boot of the x86_64 guest; each round, every host tool sends the same
# MIB MiB payload (default 64) to the guest's `chanpipe r source` and takes
# it from the guest's `chanpipe w sink`, ROUNDS times (default 5) in turn:
# socat, chanpipe-host with --socket, and chanpipe-host with --qmp --port.
# -v adds another chanpipe-host (DIR holds it and its chanpipe_qmp.py, an
# older one, say) as NAME, so that both are measured in the same boot.
# Prints a Markdown table of medians, as ratios to socat in the same round,
# and leaves it with the raw lines in build/bench-host/. Installs and
# builds what it needs, like the demo.
set -eu
cd "$(dirname "$0")/.."
root=$PWD
. vm/lib.sh

rounds=5 mib=64 tools="socat chanpipe-host=$root/host"
while getopts n:m:v: opt; do
  case $opt in
    n) rounds=$OPTARG ;;
    m) mib=$OPTARG ;;
    v) [ -x "${OPTARG#*=}/chanpipe-host" ] || qemu_die "no chanpipe-host in ${OPTARG#*=}"
       tools="$tools $OPTARG" ;;
    *) qemu_die "usage: $0 [-n ROUNDS] [-m MIB] [-v NAME=DIR]..." ;;
  esac
done
out=$root/build/bench-host
mkdir -p "$out"
qemu_setup "$root"

work=$(mktemp -d /tmp/chanpipe-benchhost.XXXXXX)
host_pid=""
cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/stage/data"
head -c $((mib * 1048576)) /dev/urandom >"$work/payload"
cp "$work/payload" "$work/stage/data/payload"
cp "$QEMU_CHANPIPE" "$work/stage/chanpipe"
cp "$QEMU_RUNSTAT" "$work/stage/runstat"
qemu_make_initramfs "$work/stage" vm/agent-guest.sh "$work/initrd.cpio"
rm -rf "$work/stage"

# shellcheck disable=SC2086 # one word a tool
python3 vm/bench-host.py "$work" "$work" "$rounds" $tools >"$out/raw.txt" &
host_pid=$!
for _ in $(seq 1 100); do
  [ -S "$work/ctl" ] && break
  sleep 0.1
done
qemu_ports_reset
qemu_port_socket source "$work/source.sock" source
qemu_port_socket sink "$work/sink.sock" sink
QEMU_ARGS+=(-qmp "unix:$work/qmp,server=on,wait=off" -chardev "socket,id=ctl,path=$work/ctl")
qemu_serial ctl
qemu_run $((600 + rounds * 60 * mib / 16)) "$work/initrd.cpio" "$out/console.log" ||
  qemu_die "the guest failed; see $out/console.log"
# A run that hung ends the rounds; the table has what came before it.
wait "$host_pid" || echo "bench: the host side stopped early; the table has the runs before" >&2
host_pid=""

awk -v title="Host tools" -v base=socat -v mib="$mib" -v rounds="$rounds" -f vm/bench-table.awk \
  "$out/raw.txt" >"$out/results.md"
{
  echo "Measured $(date -u '+%Y-%m-%d %H:%M UTC') on $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1), $(nproc) cores;"
  echo "QEMU $($QEMU_SYSTEM --version | head -n 1 | awk '{print $4}') (TCG), guest $(cat "$QEMU_KERNEL_DIR/package"), 1 vCPU; socat $(socat -V | sed -n 's/^socat version \([^ ]*\).*/\1/p'), $(python3 --version)."
  echo
  cat "$out/results.md"
} | tee "$out/report.md"
echo "raw results: $out/raw.txt, tables: $out/report.md" >&2
