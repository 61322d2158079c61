#!/bin/bash
# The self-test kit on a real virtio-serial port: a Linux guest under QEMU
# runs chanpipe-selftest.sh, the host side runs against the port's socket
# with QMP, and check-result.py judges the host side's JSON.
#
#   qemu-selftest.sh KIT CHANPIPE WORK CACHE [good|noqmp|drop|nocopy|denied|killed|sigkill]
#
# KIT is the selftest/ folder. With "drop" or "nocopy" the guest runs a
# broken stand-in for chanpipe, which the host side must catch (with
# "drop" the guest side must then give up on the host that stopped); "noqmp" is
# a good run whose host side has no QMP and waits its settle time instead.
# "denied" runs the guest side as a user without rights to the port: first
# on a node of root's alone (it must stop at once, saying so), then on one
# the user may write but not read (it must stop and tell the host, whose
# verdict names it); then, as root with no host left, it is stopped by a
# signal and must leave no folder behind. "killed" stops the host side with
# SIGINT, then SIGTERM, while it has the VM paused: the VM must be running
# afterwards, and the host side must say so, without a traceback. "sigkill"
# kills it there, and lets the VM go on by hand, as a user would: the
# guest's read, left blocked by a host that went while the VM was paused,
# must give up.
# The guest is of QEMU_ARCH (vm/lib.sh), x86_64 unless set; CHANPIPE must
# be built for it.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../vm/lib.sh"
[ $# -ge 4 ] || qemu_die "usage: $0 KIT CHANPIPE WORK CACHE [good|noqmp|drop|nocopy|denied|killed|sigkill]"
kit=$1 chanpipe=$2 work=$3 cache=$4 mode=${5:-good}
name=org.chanpipe.selftest
big=16
qmp=--qmp
case $mode in
  noqmp) qmp=--settle ;;
  drop | nocopy) big=2 fast=--fail-fast ;;
  killed | sigkill) env="CHANPIPE_SELFTEST_GIVE_UP=10 " ;;
esac

qemu_check_tools
qemu_check_program "$chanpipe"
qemu_fetch_kernel "$cache"
rm -rf "$work"
mkdir -p "$work/stage/selftest"
# Socket paths must stay short (108 bytes), whatever the build folder.
sockets=$(mktemp -d /tmp/chanpipe-selftest.XXXXXX)
qemu_pid=""
# stop_guest: QEMU runs under timeout, a child of the background job.
stop_guest() {
  local p
  [ -n "$qemu_pid" ] || return 0
  for p in $(pgrep -P "$qemu_pid"); do kill "$p" 2>/dev/null || true; done
  kill "$qemu_pid" 2>/dev/null || true
  wait "$qemu_pid" 2>/dev/null || true
  qemu_pid=""
}
cleanup() {
  stop_guest
  rm -rf "$sockets"
}
trap cleanup EXIT

cp "$kit/chanpipe-selftest.sh" "$chanpipe" "$work/stage/selftest/"
stand_in=""
case $mode in
  good | noqmp | denied | killed | sigkill) ;;
  drop)
    env="CHANPIPE_SELFTEST_GIVE_UP=10 "
    # Loses the second 4096-byte chunk of what it reads from the port.
    stand_in='if [ "$1" = r ]; then
  /selftest/chanpipe "$@" >/tmp/stand-in.bin; s=$?
  head -c 4096 /tmp/stand-in.bin; tail -c +8193 /tmp/stand-in.bin; rm -f /tmp/stand-in.bin
  exit $s
fi' ;;
  nocopy)
    # Reads the port but copies nothing to its output, and says all is well.
    stand_in='if [ "$1" = r ]; then /selftest/chanpipe "$@" >/dev/null; exit 0; fi' ;;
  *) qemu_die "no mode $mode" ;;
esac
if [ -n "$stand_in" ]; then
  printf '#!/bin/sh\n%s\nexec /selftest/chanpipe "$@"\n' "$stand_in" >"$work/stage/stand-in"
  chmod 755 "$work/stage/stand-in"
  env="${env:-}CHANPIPE=/stand-in "
fi
# Memory for the payloads, as a Debian guest has it.
echo 'mkdir -p /dev/shm && mount -t tmpfs tmpfs /dev/shm' >"$work/guest.sh"
if [ "$mode" = denied ]; then
  cat >>"$work/guest.sh" <<GUEST
mkdir -p /etc
echo 'root:x:0:0::/:/bin/sh' >/etc/passwd
echo 'user:x:1000:1000::/tmp:/bin/sh' >>/etc/passwd
printf 'root:x:0:\nuser:x:1000:\n' >/etc/group
chmod 1777 /tmp
node=\$(port_node $name)
chmod 600 "\$node"
su -s /bin/sh user -c "sh /selftest/chanpipe-selftest.sh $name" >/tmp/root-only.log 2>&1
echo "SELFTEST-ROOT-ONLY-EXIT \$?"
sed 's/^/SELFTEST-ROOT-ONLY: /' /tmp/root-only.log
chmod 622 "\$node"
su -s /bin/sh user -c "sh /selftest/chanpipe-selftest.sh $name" >/tmp/selftest.log 2>&1
GUEST
else
  echo "${env:-}sh /selftest/chanpipe-selftest.sh $name >/tmp/selftest.log 2>&1" >>"$work/guest.sh"
fi
cat >>"$work/guest.sh" <<GUEST
echo "SELFTEST-EXIT \$?"
sed 's/^/SELFTEST: /' /tmp/selftest.log
GUEST
if [ "$mode" = denied ]; then
  # The host side is gone by now: the first message waits, until a signal.
  cat >>"$work/guest.sh" <<GUEST
sh /selftest/chanpipe-selftest.sh $name >/dev/null 2>&1 &
sleep 2
kill -TERM \$!
wait \$!
echo "SELFTEST-SIGNAL-EXIT \$? left: \$(ls -d /dev/shm/chanpipe-selftest.* /tmp/chanpipe-selftest.* 2>/dev/null)"
GUEST
fi
qemu_make_initramfs "$work/stage" "$work/guest.sh" "$work/initrd.cpio"

qemu_ports_reset
qemu_port_socket "$name" "$sockets/port" selftest0
# A second monitor for this script: QEMU takes several.
QEMU_ARGS+=(-qmp "unix:$sockets/qmp,server=on,wait=off" -qmp "unix:$sockets/watch,server=on,wait=off")
qemu_run 300 "$work/initrd.cpio" "$work/console.log" &
qemu_pid=$!
tries=0
until [ -S "$sockets/port" ] && [ -S "$sockets/qmp" ]; do
  tries=$((tries + 1))
  [ $tries -le 300 ] || qemu_die "QEMU made no sockets within 30 s: $(cat "$work/console.log.qemu" 2>/dev/null)"
  sleep 0.1
done
host=0
# (--settle 2 in place of --qmp PATH without QMP)
[ $qmp = --qmp ] && qmp_arg=$sockets/qmp || qmp_arg=2
python3 "$kit/chanpipe-selftest-host.py" --socket "$sockets/port" $qmp "$qmp_arg" \
  --big $big ${fast:-} --json "$work/result.json" --timeout 60 --wait 240 >"$work/host.out" 2>"$work/host.err" &
kit=$!
case $mode in
  # At the first pause: SIGINT, then SIGTERM while it lets the VM go on.
  killed) python3 "$here/watch-vm.py" "$sockets/watch" stopped "$kit" SIGINT SIGTERM || kill "$kit" ;;
  sigkill) python3 "$here/watch-vm.py" "$sockets/watch" stopped "$kit" SIGKILL || kill "$kit" ;;
esac
wait "$kit" || host=$?
case $mode in
  killed) vm_status=$(python3 "$here/watch-vm.py" "$sockets/watch" status) ;;
  sigkill) python3 "$here/watch-vm.py" "$sockets/watch" cont ;;
esac
cat "$work/host.out"
# A guest that ran to the end powers off; one left waiting is stopped (with
# a broken chanpipe the host side stops at the first failure).
if [ "$mode" != nocopy ]; then
  for _ in $(seq 1 300); do
    kill -0 "$qemu_pid" 2>/dev/null || break
    sleep 0.1
  done
fi
stop_guest
echo "guest side:"
grep '^SELFTEST' "$work/console.log" | tr -d '\r' | sed 's/^/  /' || echo "  (no output)"
status=0
# Killed, the host side leaves no result.
[ "$mode" = sigkill ] || python3 "$here/check-result.py" "$work/result.json" "$host" "$mode" linux || status=1
# The guest side's own ends: at once without rights, with the signal's status and nothing left.
if [ "$mode" = drop ]; then
  for want in "SELFTEST-EXIT 4" "SELFTEST: .*has had no host for 10 s"; do
    tr -d '\r' <"$work/console.log" | grep -q "^$want" || { echo "FAIL: the guest printed no \"$want\""; status=1; }
  done
fi
if [ "$mode" = killed ]; then
  echo "the VM after the host side ended: ${vm_status:-?}"
  [ "${vm_status:-}" = running ] || { echo "FAIL: the VM was left ${vm_status:-?}"; status=1; }
  ! grep -q Traceback "$work/host.err" || { echo "FAIL: a traceback:"; cat "$work/host.err"; status=1; }
  grep -q "stopped by SIGINT while the VM was paused: it was let go on" "$work/host.err" ||
    { echo "FAIL: the host side did not say that it let the VM go on"; status=1; }
fi
if [ "$mode" = sigkill ]; then
  for want in "SELFTEST-EXIT 4" "SELFTEST: .*chanpipe r .* has received nothing for 10 s"; do
    tr -d '\r' <"$work/console.log" | grep -q "^$want" || { echo "FAIL: the guest printed no \"$want\""; status=1; }
  done
fi
if [ "$mode" = denied ]; then
  for want in "SELFTEST-ROOT-ONLY-EXIT 3" "SELFTEST-ROOT-ONLY: .*CreateFile error 13" \
    "SELFTEST-ROOT-ONLY: .*may open /dev/vport[0-9]*p[0-9]* (root:root, crw-------)" \
    "SELFTEST-ROOT-ONLY: .*see exit status 3 in chanpipe's README" \
    "SELFTEST-EXIT 3" "SELFTEST: .*files in /dev/shm/chanpipe-selftest\." "SELFTEST-SIGNAL-EXIT 143 left: \$"; do
    tr -d '\r' <"$work/console.log" | grep -q "^$want" || { echo "FAIL: the guest printed no \"$want\""; status=1; }
  done
fi
exit $status
