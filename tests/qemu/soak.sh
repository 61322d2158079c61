#!/bin/bash
# The soak: one boot of the QEMU guest runs many short transfers, chanpipe
# r and w against dd bs=4096 on the same two ports, each one time-boxed in
# the guest and judged byte for byte on the host.
#
#   tests/qemu/soak.sh [-l] [-r ROUNDS] [-b MIB] [-t BOX] [-q QEMU-ARGS] [-w WORK]
#                      [CHANPIPE RUNSTAT CACHE]
#
# Default: the CI-sized soak (about a minute). -l: the long soak, 210 rounds
# (more than 10,000 transfers, 5,000 per tool) with 256 MiB each way first.
# -r ROUNDS and -b MIB change either. -t BOX: the time box of a run, in
# seconds plus one per MiB (default 30). -q: more QEMU arguments, for
# instance -q "-trace virtio_serial*" (the trace goes to WORK/console.log.qemu).
# Without CHANPIPE, RUNSTAT and CACHE it builds with the guest's preset, like
# the benchmark. The guest is of QEMU_ARCH (vm/lib.sh): x86_64 unless set
# (QEMU_ARCH=arm64 tests/qemu/soak.sh soaks an arm64 guest). WORK (default build/soak) keeps the results, the report
# (WORK/report.md) and the consoles.
#
# Each round moves every size of the list both ways with both tools, with
# stderr to /dev/null and to a file and stdin from a file and from a pipe.
# Every 3rd round (every 2nd in CI) the host keeps one CPU busy; every 5th
# (the 2nd in CI) adds the rough cases: the host going away in the middle of
# a read, and chanpipe w killed in the middle, followed by another write.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/../../vm/lib.sh"

rounds="" big="" box=30 qemu_extra="" work=$root/build/soak long=0
sizes="0 1 4095 4096 4097 65536 262145 1048576 3145728"
busy_every=2 rough_every=2
while getopts lr:b:t:q:w: opt; do
  case $opt in
    l) long=1 ;;
    r) rounds=$OPTARG ;;
    b) big=$((OPTARG * 1048576)) ;;
    t) box=$OPTARG ;;
    q) qemu_extra=$OPTARG ;;
    w) work=$OPTARG ;;
    *) qemu_die "usage: $0 [-l] [-r ROUNDS] [-b MIB] [-t BOX] [-q QEMU-ARGS] [-w WORK] [CHANPIPE RUNSTAT CACHE]" ;;
  esac
done
shift $((OPTIND - 1))
if [ $long = 1 ]; then
  # 12 sizes, each both ways with both tools: 24 transfers per tool and round.
  sizes="0 1 100 4095 4096 4097 65536 262145 1048576 2097152 3145728 4194304"
  busy_every=3 rough_every=5
  rounds=${rounds:-210}
  big=${big:-$((256 * 1048576))}
fi
rounds=${rounds:-5}
big=${big:-0}

if [ $# -eq 3 ]; then
  chanpipe=$1 runstat=$2 cache=$3
elif [ $# -eq 0 ]; then
  qemu_apt_install $(qemu_host_packages) python3
  qemu_build "$root"
  chanpipe=$QEMU_CHANPIPE runstat=$QEMU_RUNSTAT cache=$root/.cache/qemu
else
  qemu_die "give CHANPIPE RUNSTAT CACHE, or none of them"
fi
qemu_check_tools
qemu_check_program "$chanpipe"
qemu_check_program "$runstat"
command -v python3 >/dev/null || qemu_die "missing host tools; apt-get install python3"
qemu_fetch_kernel "$cache"

rm -rf "$work"
mkdir -p "$work/stage" "$work/state"
# Socket paths must stay short (108 bytes), whatever the work folder.
sockets=$(mktemp -d /tmp/chanpipe-soak.XXXXXX)
host_pid=""
cleanup() {
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  rm -rf "$sockets"
}
trap cleanup EXIT

cp "$chanpipe" "$work/stage/chanpipe"
cp "$runstat" "$work/stage/runstat"
cat >"$work/stage/soak.conf" <<EOF
ROUNDS=$rounds
SIZES="$sizes"
BIG=$big
BOX=$box
BUSY_EVERY=$busy_every
ROUGH_EVERY=$rough_every
MAX_HANGS=3
EOF
echo "$big" >"$work/state/big"
qemu_make_initramfs "$work/stage" "$here/soak-guest.sh" "$work/initrd.cpio"
rm -rf "$work/stage"

python3 "$here/soak-host.py" serve "$sockets/control" "$sockets/source" "$work/state" &
host_pid=$!
for _ in $(seq 1 100); do
  [ -S "$sockets/control" ] && break
  sleep 0.1
done

qemu_ports_reset
qemu_port_socket source "$sockets/source"
qemu_port_out sink "$work/sink"
QEMU_ARGS+=(-chardev "socket,id=control,path=$sockets/control")
qemu_serial control
# Split into words, but never expanded as file names ("virtio_serial*").
read -r -a extra <<<"$qemu_extra"
QEMU_ARGS+=("${extra[@]}")
# The guest ends on its own: every run has its box, and after 3 hangs in a
# row it stops. QEMU's own limit only guards against a guest that dies.
limit=$((600 + rounds * 120 + big / 1048576 * 8))
echo "soak: $rounds round(s) of $(echo $sizes | wc -w) sizes, big transfers $((big / 1048576)) MiB" >&2
status=0
started=$(date +%s)
qemu_run $limit "$work/initrd.cpio" "$work/console.log" || status=$?
wait "$host_pid" || true
host_pid=""
echo "soak: the boot took $(($(date +%s) - started)) s (QEMU status $status)" >&2
if [ $status -ne 0 ] || grep '^GUEST-ERROR' "$work/console.log" >&2; then
  echo "soak: the guest failed; console:" >&2
  tail -n 30 "$work/console.log" "$work/console.log.qemu" >&2 || true
fi
result=0
python3 "$here/soak-host.py" judge "$work/state" "$work/sink" "$work/report.md" || result=$?
rm -f "$work/sink" "$work/initrd.cpio"
[ $status -eq 0 ] && [ $result -eq 0 ]
