#!/bin/bash
# A VM's life around a transfer, on QEMU's virtio-serial device: a tcp
# chardev, the VM paused and resumed, a host that goes while the VM is
# paused, ports unplugged under a transfer and
# hot-plugged after boot, several transfers at once. One boot runs every
# case; lifecycle-host.py drives the guest (vm/agent-guest.sh) and the VM
# through QMP and judges each run by SHA-256 and status. Every guest run
# has its time box, and so has every wait of the host.
#
#   tests/qemu/lifecycle.sh [-w WORK] [CHANPIPE RUNSTAT CACHE]
#   tests/qemu/lifecycle.sh -m N [-w WORK] [CHANPIPE RUNSTAT CACHE]
#
# -m N: the measuring mode, not a test: what QEMU and the driver do when
# the host reader goes away and connects again, and when the VM migrates
# in the middle of a write (the host reading both QEMUs, or holding the
# source), N times each with chanpipe and with dd bs=4096. It ends on the
# table (WORK/table.md). Without CHANPIPE, RUNSTAT and CACHE it builds with
# the linux preset, like the soak. WORK: build/lifecycle.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
. "$here/../../vm/lib.sh"

measure=0 work=$root/build/lifecycle
while getopts m:w: opt; do
  case $opt in
    m) measure=$OPTARG ;;
    w) work=$OPTARG ;;
    *) qemu_die "usage: $0 [-m N] [-w WORK] [CHANPIPE RUNSTAT CACHE]" ;;
  esac
done
shift $((OPTIND - 1))
qemu_setup "$root" "$@"
chanpipe=$QEMU_CHANPIPE runstat=$QEMU_RUNSTAT

rm -rf "$work"
mkdir -p "$work/stage/data"
# Socket paths must stay short (108 bytes), whatever the work folder.
sockets=$(mktemp -d /tmp/chanpipe-life.XXXXXX)
host_pid="" qemu_pids=""
# stop PID: a qemu_run in the background, given 20 s to end on its own.
stop() {
  local p
  for _ in $(seq 1 200); do
    kill -0 "$1" 2>/dev/null || break
    sleep 0.1
  done
  # QEMU runs under timeout, a child of the background job.
  for p in $(pgrep -P "$1"); do kill "$p" 2>/dev/null || true; done
  wait "$1" 2>/dev/null || true
}
cleanup() {
  local p
  [ -z "$host_pid" ] || kill "$host_pid" 2>/dev/null || true
  for p in $qemu_pids; do stop "$p"; done
  rm -rf "$sockets"
}
trap cleanup EXIT

# The payloads of the guest's writes, kept on the host to judge them.
[ "$measure" -gt 0 ] && payloads="p32:32" || payloads="p8:8 p4a:4 p4b:4"
for p in $payloads; do
  head -c $((${p#*:} * 1048576)) /dev/urandom >"$work/stage/data/${p%:*}"
done
cp "$chanpipe" "$work/stage/chanpipe"
cp "$runstat" "$work/stage/runstat"
qemu_make_initramfs "$work/stage" "$root/vm/agent-guest.sh" "$work/initrd.cpio"
mv "$work/stage/data" "$work/data"
rm -rf "$work/stage"

# vm SIDE PORT...: one QEMU's ports (tcp: on a TCP chardev), its QMP
# socket, and its serial line (qemu_serial), which connects to the host side.
vm() {
  local side=$1 name
  shift
  qemu_ports_reset
  for name in "$@"; do
    if [ "$name" = tcp ]; then
      qemu_port_tcp tcp tcp
    else
      qemu_port_socket "$name" "$sockets/$side-$name" "$name"
    fi
  done
  QEMU_ARGS+=(-qmp "unix:$sockets/$side-qmp,server=on,wait=off"
    -chardev "socket,id=ctl,path=$sockets/$side-ctl")
  qemu_serial ctl
}

# boot SECONDS PORTS HOST-ARGS...: one boot with PORTS, driven by
# lifecycle-host.py HOST-ARGS; with "migrate", a destination QEMU waits
# for the guest too. Its status is the host side's.
boot() {
  local seconds=$1 ports=$2 command=$3 status=0 last p
  shift 3
  rm -f "$sockets"/*
  python3 "$here/lifecycle-host.py" "$command" "$sockets" "$work" "$@" &
  host_pid=$!
  # It listens on the destination's line last.
  [ "$command" = migrate ] && last=dst-ctl || last=src-ctl
  for _ in $(seq 1 100); do
    [ -S "$sockets/$last" ] && break
    sleep 0.1
  done
  if [ "$command" = migrate ]; then
    # shellcheck disable=SC2086 # one word a port
    vm dst $ports
    QEMU_ARGS+=(-incoming "unix:$sockets/mig")
    qemu_run "$seconds" "$work/initrd.cpio" "$work/dst-console.log" &
    qemu_pids=$!
  fi
  # shellcheck disable=SC2086
  vm src $ports
  qemu_run "$seconds" "$work/initrd.cpio" "$work/console.log" &
  qemu_pids="$qemu_pids $!"
  wait "$host_pid" || status=$?
  host_pid=""
  for p in $qemu_pids; do stop "$p"; done
  qemu_pids=""
  if grep -h '^GUEST-ERROR' "$work"/*console.log >&2 || [ $status -ne 0 ]; then
    echo "lifecycle: $command failed (status $status); the consoles:" >&2
    tail -n 20 "$work"/*console.log* >&2 || true
    return 1
  fi
}

if [ "$measure" -eq 0 ]; then
  boot 400 "tcp pause pcchanpipe pcdd u1 u2 u3 par1 par2 par3 par4" cases
  exit
fi
started=$(date +%s)
boot $((120 + measure * 60)) rc reconnect "$measure"
for tool in chanpipe dd; do
  for how in both held; do
    for i in $(seq 1 "$measure"); do
      echo "lifecycle: migration $i of $measure, $tool, $how" >&2
      boot 300 mig migrate $tool $how || true
      # Each run's consoles stay, for the hangs.
      mkdir -p "$work/consoles"
      for log in "$work"/*console.log*; do mv "$log" "$work/consoles/$tool-$how-$i-${log##*/}"; done
    done
  done
done
python3 "$here/lifecycle-host.py" table "$sockets" "$work" | tee "$work/table.md"
echo "lifecycle: $(($(date +%s) - started)) s" >&2
